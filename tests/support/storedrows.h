// A device's stored records as rows of text, read the same way from a log file and
// from a central database, so that a test can compare the two whole.
#pragma once

#include "tests/support/postgresserver.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>
#include <QString>
#include <QStringList>

// Each record of the log file at `path` as "i|count|type|time|event|DATAHEX", in the
// order stored.
inline QStringList fileLogRows(const QString &path)
{
    QStringList result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("rows reader"));
        db.setDatabaseName(path);
        QSqlQuery query(db);
        if (db.open()
            && query.exec(QStringLiteral(
                "SELECT i, count, type, DATETIME(dt, 'unixepoch'), event, hex(data) FROM Log ORDER BY id"))) {
            while (query.next()) {
                QStringList columns;
                for (int c = 0; c < 6; ++c)
                    columns << query.value(c).toString();
                result << columns.join(QLatin1Char('|'));
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("rows reader"));
    return result;
}

// The records of `device` on `server`'s database `database`, as fileLogRows reads them.
inline QStringList serverLogRows(PostgresServer &server, const QString &database, const QString &device)
{
    QString name = device;
    name.replace(QLatin1Char('\''), QStringLiteral("''"));
    const QString rows = server.psql(
        database,
        QStringLiteral("SELECT i, count, type, to_char(dt AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS'), "
                       "event, upper(encode(data, 'hex')) FROM khronar.log WHERE device = (SELECT id "
                       "FROM khronar.device WHERE name = '%1') ORDER BY id")
            .arg(name));
    return rows.isEmpty() ? QStringList() : rows.split(QLatin1Char('\n'));
}
