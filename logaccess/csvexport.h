// The log as a CSV table: "time";"type";"message" per record, in the order stored.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>

#include "messagetext/recordtypes.h"
#include "store/storeerror.h"

class QIODevice;
class QString;
class QSqlDatabase;
class QSqlError;
class QSqlQuery;
class LogSource;
class LogViewStatements;
struct LogFilter;

// Writes CSV lines to `out`, which the caller has opened (in text mode, so that line
// ends follow the platform). The whole export and the lines of records that arrive
// later are written by this one writer, so that they agree byte for byte.
class LogCsvWriter
{
public:
    explicit LogCsvWriter(QIODevice &out);

    // The line of the row `row` stands on, a row of the log view query (columns type,
    // time text, caption, data). False when the write fails.
    bool writeRow(const QSqlQuery &row);
    // The same, with the message already rendered from the row's caption and data.
    bool writeRow(const QSqlQuery &row, const QString &message);

private:
    bool writeLine(const QSqlQuery &row, const QString *message);

    QIODevice &out;
    // Converted once: they are the same for every row.
    QByteArray typeFields[RecordTypeCount];
    QByteArray unknownEvent;
    QByteArray line;
};

// Runs the log view query on `database` and writes one line per record to `out`.
// Rows are read and written one at a time; the table is never held whole. A query
// that finds nothing writes nothing. A query that fails (a file that is not a log
// file, a locked one) writes nothing more and leaves its error text in
// `queryError`, when given. Returns false when a write fails.
bool writeLogCsv(const QSqlDatabase &database, QIODevice &out, QString *queryError = nullptr);

// Writes the lines of the records that pass `filter`, the rows the log view shows with
// it, in the same format. An empty filter writes exactly what writeLogCsv writes.
bool writeLogCsv(const QSqlDatabase &database, QIODevice &out, const LogFilter &filter, QString *queryError = nullptr);

// The lines of the records that pass `filter` of any log, read with `statements` (of
// its kind) on `database`: byte for byte those of a log file holding the same records.
bool writeLogCsv(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                 const LogFilter &filter, QSqlError *queryError);
// The same for the log a view shows.
bool writeLogCsv(const LogSource &source, QIODevice &out, const LogFilter &filter, QString *queryError = nullptr);

// A file that cannot be written (a CSV export): "Не удается записать файл "<path>"".
QString cannotWriteFileText(const QString &path);

// The lines of the records that pass `filter` (every record with an empty one, exactly
// as the log view query yields them) of the log `statements` read on `database`. Fails
// with the store's error when the log cannot be read, or Io when a write fails.
StoreStatus writeLogCsv(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                        const LogFilter &filter);
// The same into the file at `path`, replaced (write-only, truncated, text mode); a file
// that cannot be written fails Io, "Не удается записать файл "<path>"".
StoreStatus exportLogCsvFile(const QSqlDatabase &database, const LogViewStatements &statements, const QString &path,
                             const LogFilter &filter);

// Opens the file at `path` as an export does (write-only, truncated, text mode), lets
// `write` fill it and closes it. False when it cannot be opened or written.
bool writeCsvFile(const QString &path, const std::function<bool(QIODevice &)> &write);

// Writes the whole log to the file at `path`, replacing it: opened write-only,
// truncated and in text mode. False when the file cannot be opened or written; the
// caller reports that, with the path. A failed query is as in writeLogCsv.
bool exportLogCsvFile(const QSqlDatabase &database, const QString &path, QString *queryError = nullptr);
// The same for the records that pass `filter`.
bool exportLogCsvFile(const QSqlDatabase &database, const QString &path, const LogFilter &filter,
                      QString *queryError = nullptr);
// The same for the log a view shows.
bool exportLogCsvFile(const LogSource &source, const QString &path, const LogFilter &filter,
                      QString *queryError = nullptr);

// Writes the lines of the records stored after row id `afterId`, in the order stored,
// of the log `statements` read on `database`. Gives the row id of the last one written
// (`afterId` when there was none), or the store's error when the query fails, or an Io
// error (with the device's own words) when a write fails.
StoreResult<qint64> writeLogCsvAfter(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                                     qint64 afterId);

// The row id of the newest stored record (0 for an empty log): what writeLogCsvAfter
// starts after to write only what arrives from now on. A failed query is an error,
// never a 0 that would pass the whole log off as new.
StoreResult<qint64> newestLogRowId(const QSqlDatabase &database, const LogViewStatements &statements);
