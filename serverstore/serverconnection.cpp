// Connections to the central log database.

#include "serverstore/serverconnection.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QSqlDriver>
#include <QSqlError>
#include <QSysInfo>
#include <QVariant>

#include <libpq-fe.h>

#include <cstring>

namespace {

QAtomicInt connectionCount;

// libpq's handle of the connection QtSql opened; nullptr when there is none.
PGconn *libpqHandle(const QSqlDatabase &connection)
{
    const QSqlDriver *driver = connection.driver();
    const QVariant handle = driver != nullptr ? driver->handle() : QVariant();
    if (!handle.isValid() || std::strcmp(handle.typeName(), "PGconn*") != 0)
        return nullptr;
    return *static_cast<PGconn *const *>(handle.constData());
}

// Called by libpq, on the thread that uses the connection, for each notice or warning
// the server sends, and for the message of a server that ends the session while no
// statement runs. Routine notices ("relation already exists, skipping") are dropped.
void keepNotice(void *notices, const PGresult *notice)
{
    const char *severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    const char *message = PQresultErrorField(notice, PG_DIAG_MESSAGE_PRIMARY);
    if (severity == nullptr || message == nullptr)
        return;
    static const char *const serious[] = {"WARNING", "ERROR", "FATAL", "PANIC"};
    for (const char *kind : serious) {
        if (std::strcmp(severity, kind) == 0) {
            static_cast<ServerConnection::Notices *>(notices)->lastWarning = QString::fromUtf8(message).simplified();
            return;
        }
    }
}

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
    if (!connection.open())
        return Failure(serverError(connection.lastError()));
    notices = std::make_unique<Notices>();
    if (PGconn *handle = libpqHandle(connection))
        PQsetNoticeReceiver(handle, keepNotice, notices.get());
    return {};
}

StoreError ServerConnection::error(const QSqlError &failure) const
{
    StoreError result = serverError(failure);
    PGconn *handle = libpqHandle(connection);
    const bool lost = handle == nullptr || PQstatus(handle) == CONNECTION_BAD;
    if (!lost)
        return result;
    // Whatever the statement's own words, a connection that is gone is the server's.
    result.kind = StoreError::Kind::Unreachable;
    if (notices && !notices->lastWarning.isEmpty() && !result.text.contains(notices->lastWarning))
        result.text = notices->lastWarning + QStringLiteral("; ") + result.text;
    return result;
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
    // libpq forgets the receiver with the connection it closes.
    connection.close();
    notices.reset();
}

QString serverErrorText(const QSqlError &error)
{
    QString server = error.databaseText().simplified();
    // The driver puts the statement's SQLSTATE after the text in parentheses, and empty
    // ones where there is none (a connection that broke): those say nothing.
    if (server.endsWith(QLatin1String("()")))
        server = server.chopped(2).trimmed();
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
