// The CSV of a log file as the window and khronar-fetch export it, for tests that
// compare it with what they expect.
#pragma once

#include "logaccess/csvexport.h"
#include "logaccess/logfilter.h"
#include "logaccess/logviewstatements.h"

#include <QBuffer>
#include <QSqlDatabase>

namespace CsvFixture {

// Lines written in text mode with "\n" for their ends: on Windows each is CR LF, which is
// checked here and given back as "\n", so that the tests compare the same lines on
// every system.
inline QByteArray withNewlines(QByteArray written)
{
#ifdef Q_OS_WIN
    const QByteArray bare = QByteArray(written).replace("\r\n", "");
    if (bare.contains('\n') || bare.contains('\r'))
        return QByteArray("line ends other than CR LF: ") + written;
    written.replace("\r\n", "\n");
#endif
    return written;
}

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
    return withNewlines(buffer.data());
}

} // namespace CsvFixture
