// Reading one device's log from the central database: the rows the log view and the
// CSV export read, as a log file gives them.
#pragma once

#include "logaccess/logviewstatements.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

class QIODevice;
class QSqlDatabase;
struct LogFilter;

// The log view's statements over the rows of the device with id `deviceId`.
LogViewStatements serverLogStatements(qint64 deviceId);

// The log file's CSV functions over the device's rows on the server (the records
// that pass `filter`); the lines are those of a log file with the same records, byte
// for byte.
bool writeServerLogCsv(const QSqlDatabase &database, const QString &device, QIODevice &out,
                       QString *queryError = nullptr);
bool writeServerLogCsv(const QSqlDatabase &database, const QString &device, QIODevice &out, const LogFilter &filter,
                       QString *queryError = nullptr);
bool exportServerLogCsvFile(const QSqlDatabase &database, const QString &device, const QString &path,
                            const LogFilter &filter, QString *queryError = nullptr);
bool writeServerLogCsvAfter(const QSqlDatabase &database, const QString &device, QIODevice &out, qint64 afterId,
                            qint64 *lastId);
qint64 newestServerLogRowId(const QSqlDatabase &database, const QString &device);
