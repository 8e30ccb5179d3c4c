// Opening a log file or a server's device, and what a front end does with it.

#include "logaccess/openlog.h"

#include "logaccess/serverdialect.h"
#include "logaccess/serverlogsource.h"
#include "serverstore/serverdevices.h"
#include "serverstore/serverlogstore.h"
#include "store/logfile.h"

#include <QAtomicInt>
#include <QFile>
#include <QSqlDriver>
#include <QThread>

namespace {

QAtomicInt fileConnections;

} // namespace

LogLocation LogLocation::file(const QString &path)
{
    LogLocation where;
    where.path = path;
    return where;
}

LogLocation LogLocation::serverDevice(const ServerUrl &url, const QString &device)
{
    LogLocation where;
    where.server = url;
    where.device = device;
    where.onServer = true;
    return where;
}

QString LogLocation::displayName() const
{
    return onServer ? QStringLiteral("%1: %2").arg(server.displayName(), device) : path;
}

QString LogLocation::place() const
{
    return onServer ? server.displayName() : path;
}

OpenLog::OpenLog(const LogLocation &where) : where(where) {}

OpenLog::~OpenLog()
{
    // What reads the log goes before the connections it reads on.
    logSource.reset();
    serverSource.reset();
    useDeviceStore(nullptr);
    deviceStore.reset();
    if (!connectionName.isEmpty()) {
        fileStore.setDatabase(QSqlDatabase());
        database.close();
        database = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    }
}

StoreResult<std::unique_ptr<OpenLog>> OpenLog::open(const LogLocation &where, Purpose purpose,
                                                    const OpenLogSettings &settings)
{
    std::unique_ptr<OpenLog> log(new OpenLog(where));
    StoreStatus opened = where.onServer
        ? log->openServer(purpose, settings)
        // An existing file is continued, never replaced.
        : log->openFile(settings.connectionName, purpose == Purpose::Download && !QFile::exists(where.path),
                        purpose == Purpose::Read);
    if (!opened)
        return Failure(opened.error());
    if (!where.onServer && purpose == Purpose::Read && settings.viewOnThread) {
        StoreResult<std::shared_ptr<LogFileThreadSource>> threaded = LogFileThreadSource::open(where.path,
                                                                                               settings.viewKeeps);
        if (!threaded)
            return Failure(threaded.error());
        log->logSource = std::move(threaded).value();
    }
    return log;
}

StoreResult<std::unique_ptr<OpenLog>> OpenLog::create(const QString &path, const OpenLogSettings &settings)
{
    std::unique_ptr<OpenLog> log(new OpenLog(LogLocation::file(path)));
    StoreStatus created = log->openFile(settings.connectionName, true);
    if (!created)
        return Failure(created.error());
    return log;
}

StoreStatus OpenLog::openFile(const QString &connection, bool create, bool readOnly)
{
    connectionName = connection.isEmpty() ? QStringLiteral("khronar-log-%1").arg(fileConnections.fetchAndAddRelaxed(1))
                                          : connection;
    database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (readOnly)
        database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    fileStore.setDatabase(database);
    logSource = std::make_shared<LogFileSource>(connectionName);
    return create ? createLogFile(database, where.path) : openLogFile(database, where.path);
}

StoreStatus OpenLog::openServer(Purpose purpose, const OpenLogSettings &settings)
{
    if (purpose == Purpose::Download) {
        auto store = std::make_shared<ServerLogStore>();
        StoreStatus opened = store->open(where.server, where.device,
                                         ServerStoreSettings{settings.program, settings.lockWait, settings.cancelled});
        if (!opened)
            return opened;
        serverSource = std::make_shared<ServerLogSource>(store->database(), store, where.server, where.device,
                                                         store->deviceRowId());
        deviceStore = std::move(store);
    } else {
        auto connection = std::make_unique<ServerConnection>();
        StoreStatus opened = connection->open(where.server, settings.program);
        if (!opened)
            return opened;
        const StoreResult<qint64> id = findServerDevice(connection->database(), where.device);
        if (!id)
            return Failure(id.error());
        serverSource = std::make_shared<ServerLogSource>(std::move(connection), where.server, where.device, *id);
    }
    logSource = serverSource;
    return {};
}

LogStore *OpenLog::store()
{
    if (where.onServer)
        return queuedStore ? static_cast<LogStore *>(queuedStore.get()) : deviceStore.get();
    return &fileStore;
}

StoreResult<std::shared_ptr<QueuedLogStore>> OpenLog::openDeviceStore(const LogLocation &where,
                                                                      const OpenLogSettings &settings)
{
    auto store = std::make_shared<ServerLogStore>();
    const StoreStatus opened = store->open(
        where.server, where.device, ServerStoreSettings{settings.program, settings.lockWait, settings.cancelled});
    if (!opened)
        return Failure(opened.error());
    return QueuedLogStore::open(store, [store](QThread *thread) { store->moveToThread(thread); });
}

void OpenLog::useDeviceStore(std::shared_ptr<QueuedLogStore> store)
{
    // Whoever listened for the failures of the store let go hears nothing more of it.
    if (queuedStore)
        queuedStore->setFailureHook(nullptr);
    queuedStore = std::move(store);
}

StoreResult<LogViewStatements> OpenLog::statements() const
{
    if (where.onServer)
        return serverLogStatements(serverSource->deviceId());
    return LogViewStatements::ofLogFile(database);
}

QSqlDatabase OpenLog::readConnection() const
{
    // A file's view may read on a thread of its own, on a connection of its own.
    return where.onServer ? logSource->database() : database;
}

StoreStatus OpenLog::exportCsv(const QString &path, const LogFilter &filter)
{
    const StoreResult<LogViewStatements> read = statements();
    if (!read)
        return Failure(read.error());
    return exportLogCsvFile(readConnection(), *read, path, filter);
}

StoreResult<qint64> OpenLog::writeCsvAfter(QIODevice &out, qint64 afterId)
{
    const StoreResult<LogViewStatements> read = statements();
    if (!read)
        return Failure(read.error());
    return writeLogCsvAfter(readConnection(), *read, out, afterId);
}

StoreResult<qint64> OpenLog::recordsAfter(qint64 afterId, const std::function<void(const ShownRecord &)> &take)
{
    const StoreResult<LogViewStatements> read = statements();
    if (!read)
        return Failure(read.error());
    return readLogRecordsAfter(readConnection(), *read, afterId, take);
}

StoreResult<qint64> OpenLog::newestRowId()
{
    const StoreResult<LogViewStatements> read = statements();
    if (!read)
        return Failure(read.error());
    return newestLogRowId(readConnection(), *read);
}

void OpenLog::moveToThread(QThread *thread)
{
    if (QSqlDriver *driver = database.driver())
        driver->moveToThread(thread);
    if (deviceStore)
        deviceStore->moveToThread(thread);
    else if (serverSource)
        serverSource->moveToThread(thread);
}
