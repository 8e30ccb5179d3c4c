// Reading one device's log from the central database: the rows the log view and the
// CSV export read, as a log file gives them, and the list of the server's devices.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class QIODevice;
class QSqlDatabase;
class QSqlQuery;

// Every device name on the server, sorted. A database no collector has used yet has
// none. A failed query leaves its error in `error`.
QStringList listServerDevices(const QSqlDatabase &database, QString *error = nullptr);

// Runs the log view query for the device `device` on `query` (forward only): the
// columns type, time text, caption or NULL, data, in the order stored, exactly as a
// log file's log view query gives them, so that LogCsvWriter and the table read both
// alike. False (the error in the query) when it fails.
bool runServerLogView(QSqlQuery &query, const QString &device);

// The log file's CSV functions over the device's rows on the server; the lines are
// those of a log file with the same records, byte for byte.
bool writeServerLogCsv(const QSqlDatabase &database, const QString &device, QIODevice &out,
                       QString *queryError = nullptr);
bool exportServerLogCsvFile(const QSqlDatabase &database, const QString &device, const QString &path,
                            QString *queryError = nullptr);
bool writeServerLogCsvAfter(const QSqlDatabase &database, const QString &device, QIODevice &out, qint64 afterId,
                            qint64 *lastId);
qint64 newestServerLogRowId(const QSqlDatabase &database, const QString &device);
