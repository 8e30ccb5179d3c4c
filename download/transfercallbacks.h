// The transfer's four callbacks, forwarded to the import of the one owner that a
// process-wide pointer names: the callbacks carry no context of their own.
#pragma once

#include "protocol/logtransfer.h"

#include <cstdint>

// Sets the callbacks of `transfer` to call importLogInfo, importCaption, resumeIndex
// and importRecord of `*owner`, which has them with the callbacks' signatures.
// `owner` is the process-wide pointer to the window or the command line's fetcher; it must be set
// whenever the transfer runs.
template<typename Owner, Owner *&owner> void forwardTransferCallbacks(LogTransfer &transfer)
{
    transfer.onLogInfo = [](std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash) {
        return owner->importLogInfo(count, idHash, captionHash);
    };
    transfer.onCaption = [](std::uint16_t position, std::uint32_t eventId, const char *text) {
        owner->importCaption(position, eventId, text);
    };
    transfer.onRange = [](std::uint32_t first, std::uint32_t span) { return owner->resumeIndex(first, span); };
    transfer.onRecord = [](std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t time,
                           std::uint32_t eventId, const std::uint8_t *data, std::int32_t length) {
        owner->importRecord(index, count, type, time, eventId, data, length);
    };
}
