// Builds log files for tests: a new file in a temporary directory, with the
// captions and records a test names, written with the tool's own statements.
#pragma once

#include "store/logfile.h"
#include "store/logschema.h"
#include "protocol/devicetime.h"

#include <QByteArray>
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

} // namespace LogFixture
