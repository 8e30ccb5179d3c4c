// Several logs opened together for one CSV export merged on one time axis: log files,
// or devices of one central database, all read on one connection to it.
#pragma once

#include "logaccess/csvexport.h"
#include "logaccess/logfilter.h"
#include "logaccess/openlog.h"
#include "serverstore/serverurl.h"
#include "store/storeerror.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <vector>

class ServerConnection;

class MergedLogs
{
public:
    ~MergedLogs();
    MergedLogs(const MergedLogs &) = delete;
    MergedLogs &operator=(const MergedLogs &) = delete;

    // The name a log file's device goes by in a merged export: the file's name without
    // its folder and its extension ("site-3" for /var/lib/khronar/site-3.db).
    static QString deviceNameOfFile(const QString &path);

    // Opens the log files at `paths` to read them (each must exist and is only read).
    // Fails with the error of the first that cannot be opened, its path in *failedPath.
    static StoreResult<std::unique_ptr<MergedLogs>> openFiles(const QStringList &paths, const OpenLogSettings &settings,
                                                              QString *failedPath = nullptr);
    // Opens the devices named `names` of the server at `url`, or when `names` is empty,
    // every device whose name is LIKE `pattern`, on one connection (as settings.program),
    // to read them. Fails with the server's error, or NotFound for a device not there or
    // a pattern no device matches.
    static StoreResult<std::unique_ptr<MergedLogs>> openServer(const ServerUrl &url, const QStringList &names,
                                                               const QString &pattern, const OpenLogSettings &settings);

    // The names of the devices, in the order given (a pattern's by name).
    QStringList names() const;
    // Whether the logs are devices of a server.
    bool onServer() const { return connection != nullptr; }
    // The clock offsets the server keeps for its devices, in the order of the logs (none
    // for files: theirs are kept by the window's settings).
    StoreResult<QVector<int>> serverClockOffsets() const;
    // The logs, in that order, each read on its own connection (a file's) or all on one.
    const std::vector<MergedLog> &mergedLogs() const { return logs; }
    // Where the failures of the log `index` are said to be: the file's path, or the server
    // (never with the URL's password).
    QString place(int index) const;

    // The records of every log that pass `filter`, merged as exportMergedLogCsvFile
    // merges them, into the file at `path`, replaced; with one device, the single log's
    // export byte for byte. On a failure to read a log, *failedLog is its index (-1 for
    // one of the file written).
    // `progress` is asked between two records, as writeMergedLogCsv asks it.
    StoreStatus exportCsv(const QString &path, const LogFilter &filter, int *failedLog = nullptr,
                          const CsvExportProgress &progress = {}) const;

private:
    MergedLogs() = default;

    // Declared before `logs`, which read on their connections and go first.
    std::vector<std::unique_ptr<OpenLog>> files;
    std::unique_ptr<ServerConnection> connection;
    QString serverPlace;
    QVector<qint64> serverIds; // the devices' keys on the server, in the order of `logs`
    std::vector<MergedLog> logs;
};
