// The import policy of a download: when captions are read, when the fingerprints are
// written, where records resume, and the record insert, for every front end and store.
#pragma once

#include "store/logstore.h"

#include <QString>

#include <cstdint>

// Follows one download into one store. The owner forwards the transfer's callbacks
// here and routes every failure (the store's error); the configuration question is
// the owner's to ask.
class LogImporter
{
public:
    explicit LogImporter(LogStore *store = nullptr) : store(store) {}

    // The store the statements run on; without one, each fails.
    void setStore(LogStore *target) { store = target; }
    LogStore *currentStore() const { return store; }

    enum class InfoVerdict {
        SkipCaptions,     // the store knows this configuration: go to the records
        ReadCaptions,     // same event set, other texts: read them again, no question
        NewConfiguration, // nothing known yet: read the captions (then acceptConfiguration)
        AskUser,          // another event set: the owner asks whether to update
    };

    // An info reply: remembers its caption count and fingerprints and says what to do;
    // fails when the store's fingerprints cannot be read.
    StoreResult<InfoVerdict> takeInfo(std::uint16_t captionCount, std::uint32_t idHash, std::uint32_t captionHash);
    // The device's configuration is to replace the store's (a new file, or the user
    // agreed): with no captions to read, the fingerprints are written now.
    StoreStatus acceptConfiguration();
    // One caption; after the last one the fingerprints are written, so that a download
    // broken off half-way reads every caption again next time.
    StoreStatus storeCaption(std::uint16_t position, std::uint32_t eventId, const char *text);
    // The index after the newest stored record, or `first` for an empty log.
    StoreResult<std::uint32_t> resumeIndex(std::uint32_t first);
    StoreStatus storeRecord(const DeviceRecord &record);
    // Writes the fingerprints of the last info reply.
    StoreStatus writeFingerprints();

    std::uint16_t captionCount() const { return deviceCaptionCount; }

private:
    LogStore *store;
    std::uint16_t deviceCaptionCount = 0;
    std::uint32_t deviceIdHash = 0;
    std::uint32_t deviceCaptionHash = 0;
};
