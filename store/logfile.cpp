// Creating and opening log files.

#include "store/logfile.h"

#include "store/logschema.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

LogFileOutcome failure(const QString &message)
{
    return LogFileOutcome{false, message};
}

} // namespace

LogFileOutcome createLogFile(QSqlDatabase &database, const QString &path)
{
    // Closed before the delete: the file being replaced may be the one open now.
    database.close();

    if (QFile::exists(path) && !QFile::remove(path))
        return failure(QStringLiteral("Не удается заменить файл"));

    database.setDatabaseName(path);
    if (!database.open())
        return failure(database.lastError().text());

    // No transaction: each statement stands on its own, and a failure stops the
    // rest with the file left as far as it got.
    QSqlQuery query(database);
    for (const QString *statement :
         {&CreateInfoTableSql, &CreateEventsTableSql, &CreateLogTableSql, &InsertEmptyInfoSql}) {
        if (!query.exec(*statement))
            return failure(query.lastError().text());
    }
    return LogFileOutcome{true, QString()};
}

LogFileOutcome openLogFile(QSqlDatabase &database, const QString &path)
{
    if (!QFile::exists(path))
        return failure(QStringLiteral("Не удается найти файл \"") + path + QLatin1Char('"'));

    database.setDatabaseName(path);
    if (!database.open())
        return failure(database.lastError().text());
    return LogFileOutcome{true, QString()};
}
