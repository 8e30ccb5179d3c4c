// The log file and the central database as the logs of khronar-fetch.

#include "fetch/fetchlog.h"

#include "presentation/csvexport.h"
#include "presentation/logfilter.h"
#include "serverstore/serverlogstore.h"
#include "serverstore/serverlogview.h"
#include "store/logfile.h"
#include "store/logfilestore.h"

#include <QAtomicInt>
#include <QFileInfo>
#include <QSqlDatabase>

namespace {

QAtomicInt fileConnections;

class FileLog final : public FetchLog
{
public:
    FileLog()
        : name(QStringLiteral("khronar-fetch-%1").arg(fileConnections.fetchAndAddRelaxed(1))),
          database(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name))
    {
        fileStore.setDatabase(database);
    }
    ~FileLog() override
    {
        database.close();
        fileStore.setDatabase(QSqlDatabase());
        database = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }

    // An existing file is continued, never replaced.
    LogFileOutcome open(const QString &path)
    {
        return QFileInfo::exists(path) ? openLogFile(database, path) : createLogFile(database, path);
    }

    LogStore &store() override { return fileStore; }
    bool exportCsv(const QString &path, QString *queryError) override
    {
        return exportLogCsvFile(database, path, queryError);
    }
    bool writeCsvAfter(QIODevice &out, qint64 afterId, qint64 *lastId) override
    {
        return writeLogCsvAfter(database, out, afterId, lastId);
    }
    qint64 newestRowId() override { return newestLogRowId(database); }

private:
    QString name;
    QSqlDatabase database;
    LogFileStore fileStore;
};

class ServerLog final : public FetchLog
{
public:
    ServerOpenOutcome open(const ServerUrl &url, const QString &device, const ServerStoreSettings &settings)
    {
        where = url.displayName();
        return serverStore.open(url, device, settings);
    }

    LogStore &store() override { return serverStore; }
    // The URL's password is never shown; the server's message names no password.
    QString failureText(const QString &error) const override { return QStringLiteral("%1: %2").arg(where, error); }
    bool exportCsv(const QString &path, QString *queryError) override
    {
        return exportServerLogCsvFile(serverStore.database(), serverStore.deviceName(), path, LogFilter(), queryError);
    }
    bool writeCsvAfter(QIODevice &out, qint64 afterId, qint64 *lastId) override
    {
        return writeServerLogCsvAfter(serverStore.database(), serverStore.deviceName(), out, afterId, lastId);
    }
    qint64 newestRowId() override { return newestServerLogRowId(serverStore.database(), serverStore.deviceName()); }

private:
    ServerLogStore serverStore;
    QString where; // the server's host, port and database
};

OpenedFetchLog openServerLog(const StoreTarget &target, int lockWaitSeconds, const std::function<bool()> &cancelled)
{
    OpenedFetchLog opened;
    const ServerUrl url = parseServerUrl(target.db).url;
    const QString &device = target.device;
    ServerStoreSettings settings;
    settings.program = QStringLiteral("khronar-fetch");
    settings.lockWait = std::chrono::seconds(lockWaitSeconds);
    settings.cancelled = cancelled;
    auto log = std::make_unique<ServerLog>();
    const ServerOpenOutcome outcome = log->open(url, device, settings);
    switch (outcome.result) {
    case ServerOpenOutcome::Opened:
        opened.log = std::move(log);
        break;
    case ServerOpenOutcome::Cancelled:
        opened.exitCode = ExitInterrupted;
        break;
    case ServerOpenOutcome::Failed:
        opened.exitCode = ExitLogFileError;
        opened.error = log->failureText(outcome.error);
        break;
    }
    return opened;
}

} // namespace

StoreTarget storeTargetFor(const FetchOptions &options, std::uint8_t address)
{
    StoreTarget target;
    target.db = fetchesToServer(options) ? options.db : pathForAddress(options.db, address);
    target.device = pathForAddress(options.device, address);
    return target;
}

OpenedFetchLog openStore(const StoreTarget &target, int lockWaitSeconds, const std::function<bool()> &cancelled)
{
    if (isServerUrl(target.db))
        return openServerLog(target, lockWaitSeconds, cancelled);
    OpenedFetchLog opened;
    const QString &path = target.db;
    auto log = std::make_unique<FileLog>();
    const LogFileOutcome outcome = log->open(path);
    if (outcome.ok) {
        opened.log = std::move(log);
    } else {
        opened.exitCode = ExitLogFileError;
        opened.error = QStringLiteral("%1: %2").arg(path, outcome.message);
    }
    return opened;
}
