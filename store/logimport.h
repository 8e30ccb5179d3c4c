// Writing a download into the open log file: fingerprints, captions and records.
// Each function is one statement and reports the query's error text; it commits by
// itself unless the caller has opened a transaction (a batch of the command line).
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

class QSqlDatabase;
class QSqlQuery;

struct StoreOutcome {
    bool ok = true;
    QString error; // the query's error text when not ok
};

// The fingerprints kept in the Info row.
struct StoredFingerprints {
    StoreOutcome outcome;
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

StoredFingerprints readFingerprints(const QSqlDatabase &database);
CaptionDecision decideCaptions(const StoredFingerprints &stored, std::uint32_t idHash, std::uint32_t captionHash);
StoreOutcome writeFingerprints(const QSqlDatabase &database, std::uint32_t idHash, std::uint32_t captionHash);

// Stores (or replaces) the caption of `eventId`; `text` is the device's 0-terminated
// text in its code page.
StoreOutcome storeCaption(const QSqlDatabase &database, std::uint32_t eventId, const char *text);

// Where a download continues: the index after the newest stored record (newest by
// arrival, not by index), or `first` when the log is empty. On error the result is
// first + span, so that nothing is read.
struct ResumePoint {
    StoreOutcome outcome;
    std::uint32_t index = 0;
};
ResumePoint resumePoint(const QSqlDatabase &database, std::uint32_t first, std::uint32_t span);

// Appends one record; `deviceTime` is in seconds since 2000-01-01.
StoreOutcome storeRecord(const QSqlDatabase &database, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                         std::uint32_t deviceTime, std::uint32_t eventId, const QByteArray &data);
// The same on `insert`, already prepared with InsertRecordSql: a batch of records
// parses the statement once.
StoreOutcome storeRecord(QSqlQuery &insert, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                         std::uint32_t deviceTime, std::uint32_t eventId, const QByteArray &data);
