// The log file as the log view's source.

#include "logaccess/logsource.h"

#include <QSqlDriver>
#include <QSqlError>

#include <atomic>

const QString NoLogText = QStringLiteral("Файл журнала не открыт");

namespace {

// A read-only connection that lives on the thread that made it, and goes with it.
class LogFileReader final : public LogReader
{
public:
    explicit LogFileReader(const QString &path)
    {
        static std::atomic<int> made{0};
        name = QStringLiteral("khronar-view-scan-%1").arg(made.fetch_add(1));
        connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        connection.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        connection.setDatabaseName(path);
        if (!connection.open())
            failure = Failure(logFileError(connection.lastError()));
    }
    ~LogFileReader() override
    {
        connection.close();
        connection = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    LogFileReader(const LogFileReader &) = delete;
    LogFileReader &operator=(const LogFileReader &) = delete;

    QSqlDatabase database() const override { return connection; }
    StoreStatus opened() const override { return failure; }

private:
    QString name;
    QSqlDatabase connection;
    StoreStatus failure;
};

} // namespace

namespace {

class NoLogReader final : public LogReader
{
public:
    QSqlDatabase database() const override { return QSqlDatabase(); }
    StoreStatus opened() const override { return storeFailure(StoreError::Kind::NotFound, NoLogText); }
};

} // namespace

StoreResult<LogViewStatements> NoLogSource::statements() const
{
    return storeFailure(StoreError::Kind::NotFound, NoLogText);
}

LogReaderFactory NoLogSource::readers() const
{
    return []() -> std::unique_ptr<LogReader> { return std::make_unique<NoLogReader>(); };
}

QSqlDatabase LogFileSource::database() const
{
    return QSqlDatabase::database(connectionName, false);
}

StoreResult<LogViewStatements> LogFileSource::statements() const
{
    return LogViewStatements::ofLogFile(database());
}

LogReaderFactory LogFileSource::readers() const
{
    // The path now: the connection may be pointed at another file before a pass begins.
    const QString path = database().databaseName();
    return [path]() -> std::unique_ptr<LogReader> { return std::make_unique<LogFileReader>(path); };
}

StoreResult<std::shared_ptr<LogFileThreadSource>> LogFileThreadSource::open(const QString &path,
                                                                            std::shared_ptr<const void> keep)
{
    static std::atomic<int> made{0};
    std::shared_ptr<LogFileThreadSource> source(new LogFileThreadSource);
    source->kept = std::move(keep);
    source->name = QStringLiteral("khronar-view-thread-%1").arg(made.fetch_add(1));
    source->connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), source->name);
    source->connection.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    source->connection.setDatabaseName(path);
    if (!source->connection.open())
        return Failure(logFileError(source->connection.lastError()));
    source->fileStatements = LogViewStatements::ofLogFile(source->connection);
    return source;
}

LogFileThreadSource::~LogFileThreadSource()
{
    connection.close();
    connection = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

LogReaderFactory LogFileThreadSource::readers() const
{
    const QString path = connection.databaseName();
    return [path]() -> std::unique_ptr<LogReader> { return std::make_unique<LogFileReader>(path); };
}

void LogFileThreadSource::moveToThread(QThread *thread)
{
    if (QSqlDriver *driver = connection.driver())
        driver->moveToThread(thread);
}
