// The import policy of a download over a store's statements.

#include "store/logimporter.h"

namespace {

// What a statement comes to without a store to run on.
StoreOutcome noStore()
{
    return StoreOutcome{false, QStringLiteral("Файл журнала не открыт")};
}

} // namespace

LogImporter::InfoVerdict LogImporter::takeInfo(std::uint16_t captionCount, std::uint32_t idHash,
                                               std::uint32_t captionHash)
{
    deviceCaptionCount = captionCount;
    deviceIdHash = idHash;
    deviceCaptionHash = captionHash;

    const StoredFingerprints stored = store ? store->readFingerprints() : StoredFingerprints{noStore()};
    if (!stored.outcome.ok) {
        lastError = stored.outcome.error;
        return InfoVerdict::Failed;
    }
    switch (decideCaptions(stored, idHash, captionHash)) {
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

StoreOutcome LogImporter::acceptConfiguration()
{
    if (deviceCaptionCount == 0)
        return writeFingerprints();
    return StoreOutcome{};
}

StoreOutcome LogImporter::storeCaption(std::uint16_t position, std::uint32_t eventId, const char *text)
{
    if (!store)
        return noStore();
    const StoreOutcome outcome = store->storeCaption(eventId, text);
    if (!outcome.ok)
        return outcome;
    if (std::uint32_t(position) + 1 == deviceCaptionCount)
        return writeFingerprints();
    return outcome;
}

ResumePoint LogImporter::resumeIndex(std::uint32_t first, std::uint32_t span)
{
    if (!store)
        return ResumePoint{noStore(), first + span};
    return store->resumePoint(first, span);
}

StoreOutcome LogImporter::storeRecord(const DeviceRecord &record)
{
    return store ? store->storeRecord(record) : noStore();
}

StoreOutcome LogImporter::writeFingerprints()
{
    return store ? store->writeFingerprints(deviceIdHash, deviceCaptionHash) : noStore();
}
