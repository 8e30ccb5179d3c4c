// The import policy of a download over a store's statements.

#include "store/logimporter.h"

namespace {

// What a statement comes to without a store to run on.
Failure<StoreError> noStore()
{
    return storeFailure(StoreError::Kind::NotFound, QStringLiteral("Файл журнала не открыт"));
}

} // namespace

StoreResult<LogImporter::InfoVerdict> LogImporter::takeInfo(std::uint16_t captionCount, std::uint32_t idHash,
                                                            std::uint32_t captionHash)
{
    deviceCaptionCount = captionCount;
    deviceIdHash = idHash;
    deviceCaptionHash = captionHash;

    if (!store)
        return noStore();
    const StoreResult<StoredFingerprints> stored = store->readFingerprints();
    if (!stored)
        return Failure(stored.error());
    switch (decideCaptions(*stored, idHash, captionHash)) {
    case CaptionDecision::UpToDate:
        return InfoVerdict::SkipCaptions;
    case CaptionDecision::TextsChanged:
        // The fingerprints are brought up to date by the last caption; with no
        // captions they stay as they were.
        return InfoVerdict::ReadCaptions;
    case CaptionDecision::EventsChanged:
        return InfoVerdict::AskUser;
    case CaptionDecision::NewFile:
        break;
    }
    return InfoVerdict::NewConfiguration;
}

StoreStatus LogImporter::acceptConfiguration()
{
    if (deviceCaptionCount == 0)
        return writeFingerprints();
    return {};
}

StoreStatus LogImporter::storeCaption(std::uint16_t position, std::uint32_t eventId, const char *text)
{
    if (!store)
        return noStore();
    StoreStatus stored = store->storeCaption(eventId, text);
    if (stored && std::uint32_t(position) + 1 == deviceCaptionCount)
        return writeFingerprints();
    return stored;
}

StoreResult<std::uint32_t> LogImporter::resumeIndex(std::uint32_t first)
{
    if (!store)
        return noStore();
    return store->resumePoint(first);
}

StoreStatus LogImporter::storeRecord(const DeviceRecord &record)
{
    if (!store)
        return noStore();
    return store->storeRecord(record);
}

StoreStatus LogImporter::writeFingerprints()
{
    if (!store)
        return noStore();
    return store->writeFingerprints(deviceIdHash, deviceCaptionHash);
}
