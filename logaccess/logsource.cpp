// The log file as the log view's source.

#include "logaccess/logsource.h"

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
            error = connection.lastError().text();
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
    QString openError() const override { return error; }

private:
    QString name;
    QSqlDatabase connection;
    QString error;
};

} // namespace

namespace {

class NoLogReader final : public LogReader
{
public:
    QSqlDatabase database() const override { return QSqlDatabase(); }
    QString openError() const override { return NoLogText; }
};

} // namespace

bool NoLogSource::readStatements(LogViewStatements *, QString *error) const
{
    *error = NoLogText;
    return false;
}

LogReaderFactory NoLogSource::readers() const
{
    return []() -> std::unique_ptr<LogReader> { return std::make_unique<NoLogReader>(); };
}

QSqlDatabase LogFileSource::database() const
{
    return QSqlDatabase::database(connectionName, false);
}

bool LogFileSource::readStatements(LogViewStatements *statements, QString *error) const
{
    return LogViewStatements::forLog(database(), statements, error);
}

LogReaderFactory LogFileSource::readers() const
{
    // The path now: the connection may be pointed at another file before a pass begins.
    const QString path = database().databaseName();
    return [path]() -> std::unique_ptr<LogReader> { return std::make_unique<LogFileReader>(path); };
}
