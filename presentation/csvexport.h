// The log as a CSV table: "time";"type";"message" per record, in the order stored.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <functional>

#include "presentation/recordtypes.h"

class QIODevice;
class QString;
class QVariant;
class QSqlDatabase;
class QSqlError;
class QSqlQuery;
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
    // The line of a record of type `type` (as stored) and time `time` (as the log view
    // query gives it) whose message is `message` ("Неизвестное событие" for a record
    // without caption).
    bool writeRecord(const QVariant &type, const QVariant &time, const QString &message);

private:
    QIODevice &out;
    // Converted once: they are the same for every row.
    QByteArray typeFields[RecordTypeCount];
    QByteArray line;
};

// Asked between two records of an export with the lines written so far; false stops
// the export there (the user cancelled it).
using CsvExportProgress = std::function<bool(qint64 lines)>;

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
// The log is read a few records at a time, each batch in a statement of its own, so that
// a download writing the log meanwhile waits for one batch at most. `progress`, when
// given, may stop it; it returns false then, as for a failed write.
bool writeLogCsv(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                 const LogFilter &filter, QSqlError *queryError, const CsvExportProgress &progress = {});

// Opens the file at `path` as an export does (write-only, truncated, text mode), lets
// `write` fill it and closes it. False when it cannot be opened or written.
bool writeCsvFile(const QString &path, const std::function<bool(QIODevice &)> &write);

// The same, except that the file at `path` is replaced only once `write` has succeeded:
// the lines go to a temporary file beside it, which then takes its place, so that an
// export that fails or is stopped leaves the file as it was (and makes none where there
// was none). A file the user may not write is not replaced either. A path that names no
// file but a device (/dev/stdout) is written to directly.
bool replaceCsvFile(const QString &path, const std::function<bool(QIODevice &)> &write);

// Writes the whole log to the file at `path`, replacing it: opened write-only,
// truncated and in text mode. False when the file cannot be opened or written; the
// caller reports that, with the path. A failed query is as in writeLogCsv.
bool exportLogCsvFile(const QSqlDatabase &database, const QString &path, QString *queryError = nullptr);
// The same for the records that pass `filter`.
bool exportLogCsvFile(const QSqlDatabase &database, const QString &path, const LogFilter &filter,
                      QString *queryError = nullptr);

// Writes the lines of the records stored after row id `afterId`, in the order stored,
// and sets `*lastId` to the row id of the last one written (`afterId` when there was
// none). A query that fails writes nothing. Returns false when a write fails.
bool writeLogCsvAfter(const QSqlDatabase &database, QIODevice &out, qint64 afterId, qint64 *lastId);
// The same with `query`, prepared for another kind of store with its other values bound:
// it takes ":after" and gives the view's columns with the row id fifth.
bool writeLogCsvAfter(QSqlQuery &query, QIODevice &out, qint64 afterId, qint64 *lastId);

// The row id of the newest stored record: what writeLogCsvAfter starts after to write
// only what arrives from now on. 0 for an empty log or a failed query.
qint64 newestLogRowId(const QSqlDatabase &database);
