// A device's log on the central database as the log view's source.

#include "logaccess/serverlogsource.h"

#include "logaccess/serverdialect.h"
#include "serverstore/serverdevices.h"

#include <QSqlDriver>
#include <QThread>

namespace {

// The first word of the sessions of the view's background passes.
const QString ServerViewProgram = QStringLiteral("khronar");

class ServerLogReader final : public LogReader
{
public:
    explicit ServerLogReader(const ServerUrl &url) { failure = connection.open(url, ServerViewProgram); }

    QSqlDatabase database() const override { return connection.database(); }
    StoreStatus opened() const override { return failure; }

private:
    mutable ServerConnection connection;
    StoreStatus failure;
};

} // namespace

ServerLogSource::ServerLogSource(std::unique_ptr<ServerConnection> connection, const ServerUrl &url,
                                 const QString &device, qint64 deviceId)
    : connection(connection->database()),
      serverUrl(url),
      device(device),
      id(deviceId)
{
    owner = std::shared_ptr<ServerConnection>(std::move(connection));
}

ServerLogSource::ServerLogSource(const QSqlDatabase &database, std::shared_ptr<void> owner, const ServerUrl &url,
                                 const QString &device, qint64 deviceId)
    : owner(std::move(owner)),
      connection(database),
      serverUrl(url),
      device(device),
      id(deviceId)
{}

QSqlDatabase ServerLogSource::database() const
{
    return connection;
}

void ServerLogSource::moveToThread(QThread *thread)
{
    if (QSqlDriver *driver = connection.driver())
        driver->moveToThread(thread);
}

bool ServerLogSource::lostTheStore(const QSqlError &failure) const
{
    return !connection.isOpen() || serverError(failure).kind == StoreError::Kind::Unreachable;
}

StoreResult<LogViewStatements> ServerLogSource::statements() const
{
    return serverLogStatements(id);
}

LogReaderFactory ServerLogSource::readers() const
{
    // The URL with its password, held in memory only: the passes log in as the view did.
    const ServerUrl url = serverUrl;
    return [url]() -> std::unique_ptr<LogReader> { return std::make_unique<ServerLogReader>(url); };
}

QString ServerLogSource::displayName() const
{
    return QStringLiteral("%1: %2").arg(serverUrl.displayName(), device);
}
