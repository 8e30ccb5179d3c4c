// Creating and opening log files on the application's database connection.
#pragma once

#include <QString>

class QSqlDatabase;

// What a create or open came to: on failure, the text to show the user.
struct LogFileOutcome {
    bool ok = false;
    QString message;
};

// Makes `path` a new, empty log file and leaves `database` open on it. A file
// already at `path` is replaced, even the one open now (the connection is closed
// first). Fails with "Не удается заменить файл" when the old file cannot be
// deleted and with the driver's text when the file cannot be opened (the
// connection then stays closed); a failing statement leaves the connection open
// on the partly built file, with the query's error text.
LogFileOutcome createLogFile(QSqlDatabase &database, const QString &path);

// Points `database` at the existing log file `path` and opens it. A missing file
// fails with "Не удается найти файл "<path>"" and leaves the connection as it
// was; a file that cannot be opened fails with the driver's text. The content is
// not checked: a file that is no log file shows its errors when it is read.
LogFileOutcome openLogFile(QSqlDatabase &database, const QString &path);
