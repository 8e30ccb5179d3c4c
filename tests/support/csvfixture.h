// The CSV of a log file as the window and khronar-fetch export it, for tests that
// compare it with what they expect.
#pragma once

#include "logaccess/csvexport.h"
#include "logaccess/logfilter.h"
#include "logaccess/logviewstatements.h"

#include <QBuffer>
#include <QSqlDatabase>

namespace CsvFixture {

// The lines of the records of the log file open on `db` that pass `filter`.
inline StoreStatus writeFileCsv(const QSqlDatabase &db, QIODevice &out, const LogFilter &filter = LogFilter())
{
    const StoreResult<LogViewStatements> statements = LogViewStatements::ofLogFile(db);
    if (!statements)
        return Failure(statements.error());
    return writeLogCsv(db, *statements, out, filter);
}

// Those lines as bytes; what was written before a failure, if one came.
inline QByteArray fileCsv(const QSqlDatabase &db, const LogFilter &filter = LogFilter())
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    (void)writeFileCsv(db, buffer, filter);
    return buffer.data();
}

} // namespace CsvFixture
