// One connection of its own to the central log database, for the life of the object.
#pragma once

#include "serverstore/serverurl.h"
#include "store/storeerror.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

#include <memory>

class QThread;

// Each object adds a QtSql connection under a name of its own and removes it when it
// goes, so that several stores and readers (and threads, each with its own) never share
// one. The server knows the session as "PROGRAM HOST PID" (its application_name), which
// is how a collector that waits for a device's lock learns who holds it.
class ServerConnection
{
public:
    ServerConnection();
    ~ServerConnection();
    ServerConnection(const ServerConnection &) = delete;
    ServerConnection &operator=(const ServerConnection &) = delete;

    // Connects as `program` ("khronar-fetch"). On failure the server's (or libpq's)
    // message, which never holds the password.
    StoreStatus open(const ServerUrl &url, const QString &program);
    void close();
    bool isOpen() const { return connection.isOpen(); }
    QSqlDatabase &database() { return connection; }

    // Hands the connection to `thread`, which uses it from now on: a connection is made
    // where a slow server cannot hold anyone up, then used where it is needed. Called on
    // the thread that has it, which must not use it afterwards.
    void moveToThread(QThread *thread);

    // What the server calls this program's sessions: "PROGRAM HOST PID".
    static QString applicationName(const QString &program);

    // `failure`, a statement of this connection's that failed, as serverError reads it;
    // when the server went away, Unreachable, with what it said last before it went
    // ("terminating connection due to immediate shutdown command") in front.
    StoreError error(const QSqlError &failure) const;

    // The server's warnings and notices, which libpq would print on standard error in
    // the middle of the program's own lines, are kept here instead; the last warning
    // (or error) of the server is all that is kept.
    struct Notices {
        QString lastWarning;
    };

private:
    QString name;
    QSqlDatabase connection;
    std::unique_ptr<Notices> notices;
};

// The server's message of a failed statement or connect, on one line: what libpq got
// from the server (or its own words when it got nothing), else the driver's text.
QString serverErrorText(const QSqlError &error);
// The same failure with its kind, told by its SQLSTATE (class 08 and a server shutting
// down: unreachable; classes 22 and 23: refused) or, where libpq had none to give, by
// the connection being gone.
StoreError serverError(const QSqlError &error);
