// Fills a log file with made-up but plausible device data, for measuring the
// view and the export on logs of a realistic size.
#pragma once

#include <QString>

class QSqlDatabase;

struct LogFillOutcome {
    bool ok = true;
    QString error; // the failing statement's error text when not ok
};

// Stores about twenty captions in the device's caption language and appends
// `records` records that use them, with data bytes that fit each caption, all
// four record types, increasing device times and a few records of an event
// without a caption. The same `records` always gives the same file content.
// Unlike the tool's import, the records go in as one transaction through one
// prepared statement: a million single-statement commits would take hours.
LogFillOutcome fillLogFile(QSqlDatabase &database, qint64 records);
