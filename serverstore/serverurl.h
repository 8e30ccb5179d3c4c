// Where a central log database is: a libpq connection URI, parsed, and turned into the
// settings of a QtSql connection.
#pragma once

#include <QList>
#include <QPair>
#include <QString>

class QSqlDatabase;

// postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME[?PARAM=VALUE&...]
struct ServerUrl {
    QString user;     // empty: libpq's default (the system user name)
    QString password; // empty: PGPASSWORD or ~/.pgpass, as libpq finds it; never shown
    QString host;     // a name, an IPv4 address or an IPv6 address (without its brackets)
    int port = -1;    // -1: libpq's default, 5432
    QString database;
    // The query's connection parameters, in their order (sslmode and the like).
    QList<QPair<QString, QString>> parameters;

    // Host, port and database, for messages: never the user's password.
    QString displayName() const;
    // The URL as text without its password, which libpq then finds as it does for a
    // URL without one: what may be shown again or kept.
    QString withoutPassword() const;
};

struct ServerUrlParse {
    ServerUrl url;
    QString error; // empty when the URL is sound; never holds the password
};

// Whether a --db value names a server (postgresql:// or postgres://) rather than a file.
bool isServerUrl(const QString &text);
// Whether `text` has the form SCHEME://... of any scheme: a file path never does, so
// a URL of another scheme is a mistake, not a file name.
bool looksLikeUrl(const QString &text);

ServerUrlParse parseServerUrl(const QString &text);

// Points `database` (a QPSQL connection, not open) at `url`. `applicationName` is what
// the server shows other sessions as this one's name (in pg_stat_activity).
void applyServerUrl(const ServerUrl &url, QSqlDatabase &database, const QString &applicationName);
