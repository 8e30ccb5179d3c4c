// SQLite's result codes as the kinds of a store failure.

#include "store/storeerror.h"

#include <QSqlError>

StoreError logFileError(const QSqlError &error)
{
    StoreError result;
    result.code = error.nativeErrorCode();
    result.text = error.text();
    bool known = false;
    // Qt's SQLite driver hands on the primary result code of the call that failed.
    switch (result.code.toInt(&known)) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        result.kind = StoreError::Kind::Busy;
        break;
    case 19: // SQLITE_CONSTRAINT
    case 20: // SQLITE_MISMATCH
    case 18: // SQLITE_TOOBIG
        result.kind = StoreError::Kind::Refused;
        break;
    case 11: // SQLITE_CORRUPT
    case 26: // SQLITE_NOTADB
        result.kind = StoreError::Kind::NotALog;
        break;
    case 3:  // SQLITE_PERM
    case 8:  // SQLITE_READONLY
    case 10: // SQLITE_IOERR
    case 13: // SQLITE_FULL
    case 14: // SQLITE_CANTOPEN
        result.kind = StoreError::Kind::Io;
        break;
    default:
        // A table or column that is not there is SQLITE_ERROR with the reason in words:
        // the file is a database, but not a log file.
        result.kind = error.databaseText().startsWith(QLatin1String("no such ")) ? StoreError::Kind::NotALog
                                                                                 : StoreError::Kind::Failed;
        break;
    }
    if (!known)
        result.code.clear();
    return result;
}
