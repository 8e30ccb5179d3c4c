// Where a download's import writes: one device's configuration and records, in a log
// file or in another store behind the same operations.
#pragma once

#include "store/logimport.h"

#include <QByteArray>

#include <cstdint>

// One record as the device sent it.
struct DeviceRecord {
    std::uint32_t index = 0;      // its index in the device log
    std::uint8_t count = 1;       // index positions it occupies
    std::uint8_t type = 0;        // 0 information, 1 warning, 2 error, 3 change, or any other code
    std::uint32_t deviceTime = 0; // seconds since 2000-01-01 on the device's clock
    std::uint32_t eventId = 0;
    QByteArray data; // 0 to 236 bytes
};

// The statements of one download, on the thread that runs it. Every operation
// reports the store's own error when it fails; what was written before stays.
class LogStore
{
public:
    virtual ~LogStore() = default;

    // The fingerprints of the configuration the store knows, if any.
    virtual StoreResult<StoredFingerprints> readFingerprints() = 0;
    virtual StoreStatus writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash) = 0;
    // Stores (or replaces) the caption of `eventId`; `text` is the device's 0-terminated
    // text in its code page.
    virtual StoreStatus storeCaption(std::uint32_t eventId, const char *text) = 0;
    // The index after the newest stored record (newest by arrival, not by index), or
    // `first` for an empty log.
    virtual StoreResult<std::uint32_t> resumePoint(std::uint32_t first) = 0;
    virtual StoreStatus storeRecord(const DeviceRecord &record) = 0;

    // A batch makes the statements up to commitBatch one transaction: a run cut off
    // hard loses at most that batch, which the next run reads again from the resume
    // point. False when no batch could be opened; the statements then commit alone,
    // which is as sound, only slower.
    virtual bool beginBatch() = 0;
    // Commits the open batch; on failure it is rolled back and the error returned.
    virtual StoreStatus commitBatch() = 0;
};
