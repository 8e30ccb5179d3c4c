// Connections to the central log database.

#include "serverstore/serverconnection.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QSqlDriver>
#include <QSqlError>
#include <QSysInfo>

namespace {

QAtomicInt connectionCount;

} // namespace

ServerConnection::ServerConnection()
    : name(QStringLiteral("khronar-server-%1").arg(connectionCount.fetchAndAddRelaxed(1))),
      connection(QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name))
{}

ServerConnection::~ServerConnection()
{
    connection.close();
    // No copy of the connection may be alive when it is removed.
    connection = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

QString ServerConnection::applicationName(const QString &program)
{
    return QStringLiteral("%1 %2 %3").arg(program, QSysInfo::machineHostName()).arg(QCoreApplication::applicationPid());
}

StoreStatus ServerConnection::open(const ServerUrl &url, const QString &program)
{
    if (!connection.isValid())
        return storeFailure(StoreError::Kind::Failed,
                            QStringLiteral("Драйвер PostgreSQL для Qt (QPSQL) не установлен"));
    close();
    applyServerUrl(url, connection, applicationName(program));
    if (connection.open())
        return {};
    return Failure(serverError(connection.lastError()));
}

void ServerConnection::moveToThread(QThread *thread)
{
    // QtSql ties a connection to the thread of its driver object; the driver of a
    // connection that is not in use has nothing else tied to its thread.
    if (QSqlDriver *driver = connection.driver())
        driver->moveToThread(thread);
}

void ServerConnection::close()
{
    connection.close();
}

QString serverErrorText(const QSqlError &error)
{
    const QString server = error.databaseText().simplified();
    return server.isEmpty() ? error.text().simplified() : server;
}

StoreError serverError(const QSqlError &error)
{
    StoreError result;
    result.code = error.nativeErrorCode();
    result.text = serverErrorText(error);
    const QString sqlState = result.code;
    if (sqlState.startsWith(QLatin1String("08")) || sqlState.startsWith(QLatin1String("57P"))
        || sqlState.startsWith(QLatin1String("53"))) {
        // Connection failures, a server shutting down or restarting, a server out of
        // connections or memory.
        result.kind = StoreError::Kind::Unreachable;
    } else if (sqlState.startsWith(QLatin1String("22")) || sqlState.startsWith(QLatin1String("23"))) {
        result.kind = StoreError::Kind::Refused;
    } else if (sqlState.startsWith(QLatin1String("40")) || sqlState == QLatin1String("55P03")) {
        // A serialization failure or deadlock, a lock not available.
        result.kind = StoreError::Kind::Busy;
    } else if (sqlState == QLatin1String("42P01") || sqlState == QLatin1String("3F000")) {
        result.kind = StoreError::Kind::NotALog;
    } else if (sqlState.isEmpty()) {
        // No SQLSTATE: libpq's own failure, which is the connection's (a connect that
        // failed, a server that closed the connection or was never reached).
        result.kind = StoreError::Kind::Unreachable;
    }
    return result;
}
