// The central database's SQL of the read side: the log view's dialect for one device's
// rows.
#pragma once

#include <QString>

#include "logaccess/logviewstatements.h"

// The log view's SQL for one device's rows, the device's id bound to ":device": the
// same rows, times and captions as a log file holding the same records.
const LogViewDialect &serverLogViewDialect();

// The log view's statements over the rows of the device with id `deviceId`.
LogViewStatements serverLogStatements(qint64 deviceId);
