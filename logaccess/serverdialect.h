// The central database's SQL of the read side: the log view's dialect for one device's
// rows, and the reads of the command line's --follow.
#pragma once

#include <QString>

struct LogViewDialect;

// The read side, for one device by name: the four columns of the log file's log view
// query (type, time text "YYYY-MM-DD HH:MM:SS" of the device's clock, caption or NULL,
// data) and the row id fifth, of the records after the id ":after", in the order stored.
extern const QString ServerLogViewAfterSql;
// The row id of the device's newest record; NULL for an empty log.
extern const QString ServerNewestRowIdSql;

// The log view's SQL for one device's rows, the device's id bound to ":device": the
// same rows, times and captions as a log file holding the same records.
const LogViewDialect &serverLogViewDialect();
