// The import policy of a download over the log file's statements.

#include "store/logimporter.h"

#include <QByteArray>

LogImporter::LogImporter(const QSqlDatabase &database) : connection(database) {}

LogImporter::InfoVerdict LogImporter::takeInfo(std::uint16_t captionCount, std::uint32_t idHash,
                                               std::uint32_t captionHash)
{
    deviceCaptionCount = captionCount;
    deviceIdHash = idHash;
    deviceCaptionHash = captionHash;

    const StoredFingerprints stored = readFingerprints(connection);
    if (!stored.outcome.ok) {
        lastError = stored.outcome.error;
        return InfoVerdict::Failed;
    }
    switch (decideCaptions(stored, idHash, captionHash)) {
    case CaptionDecision::UpToDate:
        return InfoVerdict::SkipCaptions;
    case CaptionDecision::TextsChanged:
        // The Info row is brought up to date by the last caption; with no captions
        // it keeps what it had.
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
    const StoreOutcome outcome = ::storeCaption(connection, eventId, text);
    if (!outcome.ok)
        return outcome;
    if (std::uint32_t(position) + 1 == deviceCaptionCount)
        return writeFingerprints();
    return outcome;
}

ResumePoint LogImporter::resumeIndex(std::uint32_t first, std::uint32_t span)
{
    return resumePoint(connection, first, span);
}

StoreOutcome LogImporter::storeRecord(std::uint32_t index, std::uint8_t count, std::uint8_t type,
                                      std::uint32_t deviceTime, std::uint32_t eventId, const std::uint8_t *data,
                                      std::int32_t length)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), length > 0 ? int(length) : 0);
    return ::storeRecord(connection, index, count, type, deviceTime, eventId, bytes);
}

StoreOutcome LogImporter::writeFingerprints()
{
    return ::writeFingerprints(connection, deviceIdHash, deviceCaptionHash);
}
