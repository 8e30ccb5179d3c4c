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

StoreOutcome ServerConnection::open(const ServerUrl &url, const QString &program)
{
    if (!connection.isValid())
        return StoreOutcome{false, QStringLiteral("Драйвер PostgreSQL для Qt (QPSQL) не установлен")};
    close();
    applyServerUrl(url, connection, applicationName(program));
    if (connection.open())
        return StoreOutcome{};
    return StoreOutcome{false, serverErrorText(connection.lastError())};
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
