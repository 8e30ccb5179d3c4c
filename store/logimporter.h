// The import policy of a download: when captions are read, when the fingerprints are
// written, where records resume, and the record insert, for the window and the
// command line alike.
#pragma once

#include "store/logimport.h"

#include <QSqlDatabase>

#include <cstdint>

// Follows one download into one log file. The owner forwards the transfer's callbacks
// here and reports every failed outcome (the statement's error text) as it sees fit;
// the configuration question is the owner's to ask.
class LogImporter
{
public:
    explicit LogImporter(const QSqlDatabase &database = QSqlDatabase());

    // The connection the statements run on.
    void setDatabase(const QSqlDatabase &database) { connection = database; }

    enum class InfoVerdict {
        SkipCaptions,     // the file knows this configuration: go to the records
        ReadCaptions,     // same event set, other texts: read them again, no question
        NewConfiguration, // a new file: read the captions (then acceptConfiguration)
        AskUser,          // another event set: the owner asks whether to update
        Failed,           // the Info row could not be read (see error())
    };

    // An info reply: remembers its caption count and fingerprints and says what to do.
    InfoVerdict takeInfo(std::uint16_t captionCount, std::uint32_t idHash, std::uint32_t captionHash);
    // The device's configuration is to replace the file's (a new file, or the user
    // agreed): with no captions to read, the fingerprints are written now.
    StoreOutcome acceptConfiguration();
    // One caption; after the last one the fingerprints are written, so that a download
    // broken off half-way reads every caption again next time.
    StoreOutcome storeCaption(std::uint16_t position, std::uint32_t eventId, const char *text);
    // The index after the newest stored record, or `first` for an empty log.
    ResumePoint resumeIndex(std::uint32_t first, std::uint32_t span);
    StoreOutcome storeRecord(std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t deviceTime,
                             std::uint32_t eventId, const std::uint8_t *data, std::int32_t length);
    // Writes the fingerprints of the last info reply into the Info row.
    StoreOutcome writeFingerprints();

    std::uint16_t captionCount() const { return deviceCaptionCount; }
    std::uint32_t idHash() const { return deviceIdHash; }
    std::uint32_t captionHash() const { return deviceCaptionHash; }
    // The error text of the last failed readout of takeInfo.
    const QString &error() const { return lastError; }

private:
    QSqlDatabase connection;
    std::uint16_t deviceCaptionCount = 0;
    std::uint32_t deviceIdHash = 0;
    std::uint32_t deviceCaptionHash = 0;
    QString lastError;
};
