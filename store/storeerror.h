// Why a store failed, kept as the store said it: what kind of failure it is (which is
// what a caller acts on), the store's own code, and the words the user is told.
#pragma once

#include "result/result.h"

#include <QString>

#include <cstdint>

class QSqlError;

struct StoreError {
    enum class Kind : std::uint8_t {
        // The server cannot be reached, or the connection to it was lost: another try
        // later may succeed (SQLSTATE class 08, a server shutting down, libpq's own
        // connection failures).
        Unreachable,
        // Held by someone else: a file another program keeps locked, a device whose
        // lock another collector holds, a transaction that lost a conflict.
        Busy,
        // What was written was refused: a constraint or a value the store does not take
        // (SQLITE_CONSTRAINT, SQLSTATE classes 22 and 23). Trying again changes nothing.
        Refused,
        // Not a log this program can use: not a database, a table missing, a schema of a
        // newer Khronar.
        NotALog,
        // No such file, or no such device on the server.
        NotFound,
        // The file cannot be opened, read, replaced or written (permissions, a full
        // disk); for a CSV export, the file or stream written to.
        Io,
        // Given up on request (a stop signal while waiting for a lock).
        Cancelled,
        // Any other failure of a statement.
        Failed,
    };

    Kind kind = Kind::Failed;
    // SQLite's result code or the server's SQLSTATE, as the driver gave it; empty when
    // the failure is the program's own (a missing file, a lock held).
    QString code;
    // What the user is told: the store's message, or the program's words.
    QString text;

    // Worth trying again later, as a collector that follows its devices does.
    bool isTransient() const { return kind == Kind::Unreachable || kind == Kind::Busy; }
};

template<typename T> using StoreResult = Result<T, StoreError>;
using StoreStatus = Result<void, StoreError>;

inline Failure<StoreError> storeFailure(StoreError::Kind kind, const QString &text, const QString &code = QString())
{
    return Failure(StoreError{kind, code, text});
}

// A failure of the log file's driver (SQLite), classified by its result code; the text
// is the driver's, as it always was shown.
StoreError logFileError(const QSqlError &error);
