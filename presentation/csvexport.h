// The log as a CSV table: "time";"type";"message" per record, in the order stored.
#pragma once

class QIODevice;
class QSqlDatabase;

// Runs the log view query on `database` and writes one line per record to `out`,
// which the caller has opened (in text mode, so that line ends follow the
// platform). Rows are read and written one at a time; the table is never held
// whole. A query that fails or finds nothing writes nothing. Returns false when
// a write fails.
bool writeLogCsv(const QSqlDatabase &database, QIODevice &out);
