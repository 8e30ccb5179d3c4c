// Where khronar-fetch keeps a device's log: a log file, or the device's rows in a
// central database. The one place that chooses between them.
#pragma once

#include "fetch/fetchoptions.h"
#include "store/logstore.h"

#include <QString>
#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <memory>

class QIODevice;

// One device's log, open for a download, and the reads khronar-fetch makes of it.
class FetchLog
{
public:
    virtual ~FetchLog() = default;

    virtual LogStore &store() = 0;
    // What the user is told of a failure of this log's (`error`, as the store or the
    // export says it): a server's names the server first, as its failure to open does.
    virtual QString failureText(const QString &error) const { return error; }
    // --csv: the window's export of the whole log; false when the file cannot be
    // written, `queryError` set when the log could not be read.
    virtual bool exportCsv(const QString &path, QString *queryError) = 0;
    // --follow: the CSV lines of the records after the row id `afterId`.
    virtual bool writeCsvAfter(QIODevice &out, qint64 afterId, qint64 *lastId) = 0;
    virtual qint64 newestRowId() = 0;
};

struct OpenedFetchLog {
    std::unique_ptr<FetchLog> log; // null when it could not be opened
    int exitCode = ExitDone;
    QString error; // where and why, after "адрес N: "
};

// Where one device's log goes: a log file's path, or a server's URL and the device's
// name there.
struct StoreTarget {
    QString db;     // a file path, or a server URL (isServerUrl)
    QString device; // with a server: the device's name there
};

// Where --db and --device put the device at `address` of a command line.
StoreTarget storeTargetFor(const FetchOptions &options, std::uint8_t address);

// Opens (or creates) the log `target` names, taking the device's lock on a server (for
// at most `lockWaitSeconds`). `cancelled` ends a wait for the lock (ExitInterrupted).
OpenedFetchLog openStore(const StoreTarget &target, int lockWaitSeconds, const std::function<bool()> &cancelled);
