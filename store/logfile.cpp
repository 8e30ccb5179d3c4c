// Creating and opening log files.

#include "store/logfile.h"

#include "store/logschema.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

StoreStatus createLogFile(QSqlDatabase &database, const QString &path)
{
    // Closed before the delete: the file being replaced may be the one open now.
    database.close();

    if (QFile::exists(path) && !QFile::remove(path))
        return storeFailure(StoreError::Kind::Io, QStringLiteral("Не удается заменить файл"));

    database.setDatabaseName(path);
    if (!database.open())
        return Failure(logFileError(database.lastError()));

    // No transaction: each statement stands on its own, and a failure stops the
    // rest with the file left as far as it got.
    QSqlQuery query(database);
    for (const QString *statement :
         {&CreateInfoTableSql, &CreateEventsTableSql, &CreateLogTableSql, &InsertEmptyInfoSql}) {
        if (!query.exec(*statement))
            return Failure(logFileError(query.lastError()));
    }
    return {};
}

StoreStatus openLogFile(QSqlDatabase &database, const QString &path)
{
    if (!QFile::exists(path))
        return storeFailure(StoreError::Kind::NotFound,
                            QStringLiteral("Не удается найти файл \"") + QDir::toNativeSeparators(path)
                                + QLatin1Char('"'));

    database.setDatabaseName(path);
    if (!database.open())
        return Failure(logFileError(database.lastError()));
    return {};
}
