// Creating and opening log files on the application's database connection.
#pragma once

#include "store/storeerror.h"

#include <QString>

class QSqlDatabase;

// Makes `path` a new, empty log file and leaves `database` open on it. A file
// already at `path` is replaced, even the one open now (the connection is closed
// first). Fails with "Не удается заменить файл" when the old file cannot be
// deleted (Io) and with the driver's error when the file cannot be opened (the
// connection then stays closed); a failing statement leaves the connection open
// on the partly built file, with the query's error text.
StoreStatus createLogFile(QSqlDatabase &database, const QString &path);

// Points `database` at the existing log file `path` and opens it. A missing file
// fails with "Не удается найти файл "<path>"" (NotFound) and leaves the connection as
// it was; a file that cannot be opened fails with the driver's error. The content is
// not checked: a file that is no log file shows its errors when it is read.
StoreStatus openLogFile(QSqlDatabase &database, const QString &path);
