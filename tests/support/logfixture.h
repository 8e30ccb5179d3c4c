// Builds log files for tests: a new file in a temporary directory, with the
// captions and records a test names, written with the tool's own statements.
#pragma once

#include "protocol/devicetime.h"
#include "store/logfile.h"
#include "store/logschema.h"

#include <QByteArray>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QString>
#include <QVariant>

namespace LogFixture {

// Device time of 2024-03-15 13:45:30 (seconds since 2000-01-01).
constexpr quint32 March15th2024 = 763825530;

// Every row of `sql`, each as its columns joined by "|", NULL as "NULL"; a failed
// query gives one row starting "error: ".
inline QStringList rows(const QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        return {QStringLiteral("error: ") + query.lastError().text()};
    QStringList result;
    while (query.next()) {
        QStringList columns;
        for (int c = 0; c < query.record().count(); ++c)
            columns << (query.value(c).isNull() ? QStringLiteral("NULL") : query.value(c).toString());
        result << columns.join(QLatin1Char('|'));
    }
    return result;
}

inline QString addCaption(const QSqlDatabase &db, quint32 id, const QVariant &caption, int type = 0)
{
    QSqlQuery query(db);
    query.prepare(UpsertCaptionSql);
    query.bindValue(QStringLiteral(":id"), id);
    query.bindValue(QStringLiteral(":type"), type);
    query.bindValue(QStringLiteral(":caption"), caption);
    return query.exec() ? QString() : query.lastError().text();
}

// `type` is bound as given, so tests can store values the device never sends.
inline QString addRecord(const QSqlDatabase &db, quint32 event, const QVariant &type, const QByteArray &data,
                         quint32 deviceTime = March15th2024, quint32 index = 0, int count = 1)
{
    QSqlQuery query(db);
    query.prepare(InsertRecordSql);
    query.bindValue(QStringLiteral(":i"), index);
    query.bindValue(QStringLiteral(":count"), count);
    query.bindValue(QStringLiteral(":dt"), qint64(deviceTime) + DeviceEpochUnixSeconds);
    query.bindValue(QStringLiteral(":type"), type);
    query.bindValue(QStringLiteral(":event"), event);
    query.bindValue(QStringLiteral(":data"), data);
    return query.exec() ? QString() : query.lastError().text();
}

// Every record of a log file as its fields read back: index, count, type, time text,
// event and data in hexadecimal, in the order stored.
inline const QString RecordRowsSql = QStringLiteral(
    "SELECT i, count, type, DATETIME(dt, 'unixepoch'), event, hex(data) FROM Log ORDER BY id");

// Every row of `sql` in the log file at `path`, read on a connection of its own that
// never creates the file ("no file" when there is none).
inline QStringList fileRows(const QString &path, const QString &sql)
{
    QStringList result;
    if (!QFile::exists(path))
        return {QStringLiteral("no file")};
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(path);
        if (db.open())
            result = rows(db, sql);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return result;
}

// Runs `sql` on the log file at `path` on a connection of its own, as another program
// would; false when it fails.
inline bool fileExec(const QString &path, const QString &sql)
{
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("writer"));
        db.setDatabaseName(path);
        done = db.open() && QSqlQuery(db).exec(sql);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("writer"));
    return done;
}

// How many records the log file at `path` holds; 0 when there is none to read.
inline int recordCount(const QString &path)
{
    const QStringList count = fileRows(path, QStringLiteral("SELECT count(*) FROM Log"));
    return count.size() == 1 ? count.first().toInt() : 0;
}

} // namespace LogFixture
