// Writing a download into the open log file: fingerprints, captions and records.
// Each function is one statement and reports the query's error; it commits by itself
// unless the caller has opened a transaction (a batch of the command line).
#pragma once

#include "store/storeerror.h"

#include <QByteArray>
#include <QString>

#include <cstdint>

class QSqlDatabase;
class QSqlQuery;

// The fingerprints kept in the Info row.
struct StoredFingerprints {
    bool known = false; // false for a new file: no row, or a NULL in either column
    std::uint32_t idHash = 0;
    std::uint32_t captionHash = 0;
};

// What a device's info reply means for the captions of the open log file.
enum class CaptionDecision {
    UpToDate,      // same fingerprints: nothing to read
    TextsChanged,  // same event set, other texts: read them again without asking
    EventsChanged, // another event set: ask the user first
    NewFile,       // nothing known yet: read them
};

StoreResult<StoredFingerprints> readFingerprints(const QSqlDatabase &database);
CaptionDecision decideCaptions(const StoredFingerprints &stored, std::uint32_t idHash, std::uint32_t captionHash);
StoreStatus writeFingerprints(const QSqlDatabase &database, std::uint32_t idHash, std::uint32_t captionHash);

// Stores (or replaces) the caption of `eventId`; `text` is the device's 0-terminated
// text in its code page.
StoreStatus storeCaption(const QSqlDatabase &database, std::uint32_t eventId, const char *text);

// Where a download continues: the index after the newest stored record (newest by
// arrival, not by index), or `first` when the log is empty.
StoreResult<std::uint32_t> resumePoint(const QSqlDatabase &database, std::uint32_t first);

// Appends one record; `deviceTime` is in seconds since 2000-01-01.
StoreStatus storeRecord(const QSqlDatabase &database, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                        std::uint32_t deviceTime, std::uint32_t eventId, const QByteArray &data);
// The same on `insert`, already prepared with InsertRecordSql: a batch of records
// parses the statement once.
StoreStatus storeRecord(QSqlQuery &insert, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                        std::uint32_t deviceTime, std::uint32_t eventId, const QByteArray &data);
