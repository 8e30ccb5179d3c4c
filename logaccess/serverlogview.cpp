// The read side of the central database.

#include "logaccess/serverlogview.h"

#include "logaccess/csvexport.h"
#include "logaccess/logfilter.h"
#include "logaccess/serverdialect.h"
#include "serverstore/serverconnection.h"
#include "serverstore/serverdevices.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

void keepError(const QSqlError &failure, QString *error)
{
    if (error != nullptr && failure.type() != QSqlError::NoError)
        *error = serverErrorText(failure);
}

} // namespace

LogViewStatements serverLogStatements(qint64 deviceId)
{
    return LogViewStatements(serverLogViewDialect(), deviceId);
}

bool writeServerLogCsv(const QSqlDatabase &database, const QString &device, QIODevice &out, const LogFilter &filter,
                       QString *queryError)
{
    const StoreResult<qint64> id = findServerDevice(database, device);
    if (!id) {
        if (queryError != nullptr)
            *queryError = id.error().text;
        return true;
    }
    QSqlError failure;
    const bool written = writeLogCsv(database, serverLogStatements(*id), out, filter, &failure);
    keepError(failure, queryError);
    return written;
}

bool writeServerLogCsv(const QSqlDatabase &database, const QString &device, QIODevice &out, QString *queryError)
{
    return writeServerLogCsv(database, device, out, LogFilter(), queryError);
}

bool exportServerLogCsvFile(const QSqlDatabase &database, const QString &device, const QString &path,
                            const LogFilter &filter, QString *queryError)
{
    return writeCsvFile(path,
                        [&](QIODevice &out) { return writeServerLogCsv(database, device, out, filter, queryError); });
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
    return writeLogCsvAfter(query, out, afterId, lastId);
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
