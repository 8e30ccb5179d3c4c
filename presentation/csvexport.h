// The log as a CSV table: "time";"type";"message" per record, in the order stored.
#pragma once

class QIODevice;
class QSqlDatabase;
class QString;

// Runs the log view query on `database` and writes one line per record to `out`,
// which the caller has opened (in text mode, so that line ends follow the
// platform). Rows are read and written one at a time; the table is never held
// whole. A query that finds nothing writes nothing. A query that fails (a file
// that is not a log file, a locked one) writes nothing more and leaves its error
// text in `queryError`, when given. Returns false when a write fails.
bool writeLogCsv(const QSqlDatabase &database, QIODevice &out, QString *queryError = nullptr);
