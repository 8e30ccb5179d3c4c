// The read side of the central database.

#include "serverstore/serverlogview.h"

#include "presentation/csvexport.h"
#include "serverstore/serverconnection.h"
#include "serverstore/serverschema.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

void keepError(const QSqlQuery &query, QString *error)
{
    if (error != nullptr && query.lastError().type() != QSqlError::NoError)
        *error = serverErrorText(query.lastError());
}

} // namespace

QStringList listServerDevices(const QSqlDatabase &database, QString *error)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(SchemaPresentSql) || !query.next()) {
        keepError(query, error);
        return {};
    }
    if (!query.value(0).toBool())
        return {};
    QStringList names;
    if (!query.exec(ListDevicesSql)) {
        keepError(query, error);
        return {};
    }
    while (query.next())
        names << query.value(0).toString();
    keepError(query, error);
    return names;
}

bool runServerLogView(QSqlQuery &query, const QString &device)
{
    query.setForwardOnly(true);
    if (!query.prepare(ServerLogViewSql))
        return false;
    query.bindValue(QStringLiteral(":name"), device);
    return query.exec();
}

bool writeServerLogCsv(const QSqlDatabase &database, const QString &device, QIODevice &out, QString *queryError)
{
    QSqlQuery query(database);
    if (!runServerLogView(query, device)) {
        keepError(query, queryError);
        return true;
    }
    LogCsvWriter writer(out);
    while (query.next()) {
        if (!writer.writeRow(query))
            return false;
    }
    keepError(query, queryError);
    return true;
}

bool exportServerLogCsvFile(const QSqlDatabase &database, const QString &device, const QString &path,
                            QString *queryError)
{
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)
        && writeServerLogCsv(database, device, file, queryError) && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

bool writeServerLogCsvAfter(const QSqlDatabase &database, const QString &device, QIODevice &out, qint64 afterId,
                            qint64 *lastId)
{
    *lastId = afterId;
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.prepare(ServerLogViewAfterSql))
        return true;
    query.bindValue(QStringLiteral(":name"), device);
    query.bindValue(QStringLiteral(":after"), afterId);
    if (!query.exec())
        return true;
    LogCsvWriter writer(out);
    while (query.next()) {
        if (!writer.writeRow(query))
            return false;
        *lastId = query.value(4).toLongLong();
    }
    return true;
}

qint64 newestServerLogRowId(const QSqlDatabase &database, const QString &device)
{
    QSqlQuery query(database);
    if (!query.prepare(ServerNewestRowIdSql))
        return 0;
    query.bindValue(QStringLiteral(":name"), device);
    if (!query.exec() || !query.next())
        return 0;
    return query.value(0).toLongLong();
}
