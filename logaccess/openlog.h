// One log open for a front end, a log file or one device's log on the central database,
// with everything a front end does with it: the store a download writes to, the source
// the view reads, the CSV export, the newest row and the rows after it. The window and
// khronar-fetch open their logs here and nowhere else.
#pragma once

#include "logaccess/csvexport.h"
#include "logaccess/logfilter.h"
#include "logaccess/logsource.h"
#include "logaccess/logviewstatements.h"
#include "serverstore/serverurl.h"
#include "store/logfilestore.h"
#include "store/queuedlogstore.h"
#include "store/storeerror.h"

#include <QSqlDatabase>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class QIODevice;
class QThread;
class ServerLogSource;
class ServerLogStore;

// Where a log is: a log file's path, or a server and the name of a device there.
struct LogLocation {
    QString path;
    ServerUrl server;
    QString device;
    bool onServer = false;

    static LogLocation file(const QString &path);
    static LogLocation serverDevice(const ServerUrl &url, const QString &device);
    // The file's path, or "db.example:5432/khronar: ПС-12" (never with the password).
    QString displayName() const;
    // Where the log's failures are said to be: the path, or the server without the device.
    QString place() const;
};

struct OpenLogSettings {
    // The first word of the server sessions' names ("khronar-fetch").
    QString program = QStringLiteral("khronar");
    // How long a download's store waits for the lock of a device that another
    // collector is reading.
    std::chrono::milliseconds lockWait{0};
    // Asked between two attempts at that lock: true ends the wait (Cancelled).
    std::function<bool()> cancelled;
    // A log file's connection; empty: a name of its own.
    QString connectionName;
    // A log file opened to read: its view reads it on a thread of its own
    // (LogFileThreadSource), for a file of millions of records; `viewKeeps` lives until
    // that view's connection is closed (the temporary file's owner).
    bool viewOnThread = false;
    std::shared_ptr<const void> viewKeeps;
};

/*
 * An open log belongs to the thread that opened it, until moveToThread hands it on:
 * a server's device is opened off the user-interface thread and then used on it.
 *
 *   purpose    log file                          server's device
 *   Read       must exist; opened read-only      must be known there; read, no lock
 *   View       must exist; opened as it is       must be known there; read, no lock
 *   Download   created when missing              registered when new; its lock taken
 *                                                and held until the log is closed
 *
 * A device opened to view it can be downloaded into too: openDeviceStore takes its
 * lock (slowly, off the user-interface thread), useDeviceStore hands that store to the
 * log, and useDeviceStore(nullptr) gives the lock back.
 */
class OpenLog
{
public:
    enum class Purpose { Read, View, Download };

    // Opens the log on the calling thread: as slow as the server, at most its
    // connect_timeout (and the lock wait). A file is not checked here: one that is no log
    // file shows its errors when it is read.
    static StoreResult<std::unique_ptr<OpenLog>> open(const LogLocation &where, Purpose purpose,
                                                      const OpenLogSettings &settings = OpenLogSettings());
    // Makes `path` a new, empty log file, replacing a file there (which no log may have
    // open), and opens it.
    static StoreResult<std::unique_ptr<OpenLog>> create(const QString &path,
                                                        const OpenLogSettings &settings = OpenLogSettings());
    ~OpenLog();
    OpenLog(const OpenLog &) = delete;
    OpenLog &operator=(const OpenLog &) = delete;

    const LogLocation &location() const { return where; }

    // The store a download writes to: a file's own; a server device's while its lock is
    // held; otherwise null.
    LogStore *store();
    // A store with the lock of the device at `where`, for a download into a device opened
    // to view it, opened on the calling thread. It writes on a thread of its own: the
    // window's download never waits for the server.
    static StoreResult<std::shared_ptr<QueuedLogStore>> openDeviceStore(const LogLocation &where,
                                                                        const OpenLogSettings &settings);
    // The store a download into this server's device writes to from now on; null lets
    // the device's lock go (once no one else holds the store and what it queued is written).
    void useDeviceStore(std::shared_ptr<QueuedLogStore> store);

    // What the view reads.
    std::shared_ptr<LogSource> source() const { return logSource; }

    // The records that pass `filter` (all of them with an empty one) as a CSV file at
    // `path`, replaced, as the window exports them. Fails with the store's error, or
    // with Io "Не удается записать файл "<path>"".
    StoreStatus exportCsv(const QString &path, const LogFilter &filter = LogFilter());
    // The CSV lines of the records stored after row id `afterId` (see writeLogCsvAfter).
    StoreResult<qint64> writeCsvAfter(QIODevice &out, qint64 afterId);
    // The records stored after row id `afterId` (see readLogRecordsAfter).
    StoreResult<qint64> recordsAfter(qint64 afterId, const std::function<void(const ShownRecord &)> &take);
    // The row id of the newest stored record, 0 for an empty log.
    StoreResult<qint64> newestRowId();

    // Hands every connection of the log to `thread`, which uses the log from then on.
    // Called on the thread that has it.
    void moveToThread(QThread *thread);

private:
    explicit OpenLog(const LogLocation &where);
    StoreStatus openFile(const QString &connection, bool create, bool readOnly = false);
    StoreStatus openServer(Purpose purpose, const OpenLogSettings &settings);
    StoreResult<LogViewStatements> statements() const;
    // The connection this object reads the log on, on the thread that has it.
    QSqlDatabase readConnection() const;

    LogLocation where;
    // A log file.
    QString connectionName;
    QSqlDatabase database;
    LogFileStore fileStore;
    // A server's device: the store that holds its lock, when it is held (opened to
    // download into it, or handed over by useDeviceStore).
    std::shared_ptr<ServerLogStore> deviceStore;
    std::shared_ptr<QueuedLogStore> queuedStore;
    std::shared_ptr<ServerLogSource> serverSource;
    std::shared_ptr<LogSource> logSource;
};
