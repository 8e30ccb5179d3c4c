// The simulated device's captions and event log.

#include "tools/devsim/devicelog.h"

#include <algorithm>
#include <vector>

namespace {

// FNV-1a, 32 bits: a fingerprint, not a checksum; any change of the input changes it
// with overwhelming likelihood, which is all the host relies on.
constexpr std::uint32_t FnvOffset = 2166136261u;
constexpr std::uint32_t FnvPrime = 16777619u;

std::uint32_t fnvByte(std::uint32_t hash, std::uint8_t byte)
{
    return (hash ^ byte) * FnvPrime;
}

std::uint32_t fnvLe32(std::uint32_t hash, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        hash = fnvByte(hash, std::uint8_t(value >> shift));
    return hash;
}

} // namespace

void DeviceLog::addCaption(std::uint32_t eventId, const QByteArray &text)
{
    captionList.append({eventId, text});
}

std::uint32_t DeviceLog::idHash() const
{
    std::vector<std::uint32_t> ids;
    ids.reserve(std::size_t(captionList.size()));
    for (const Caption &caption : captionList)
        ids.push_back(caption.eventId);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::uint32_t hash = FnvOffset;
    for (std::uint32_t id : ids)
        hash = fnvLe32(hash, id);
    return hash;
}

std::uint32_t DeviceLog::captionHash() const
{
    std::uint32_t hash = FnvOffset;
    for (const Caption &caption : captionList) {
        for (char byte : caption.text)
            hash = fnvByte(hash, std::uint8_t(byte));
        hash = fnvByte(hash, 0); // so that "ab","c" differs from "a","bc"
    }
    return hash;
}

void DeviceLog::moveTo(std::uint32_t index)
{
    const std::uint32_t shift = index - first;
    for (Entry &entry : records)
        entry.index += shift;
    first = index;
}

bool DeviceLog::appendGap(std::uint32_t positions)
{
    if (positions > 0xFFFFFFFFu - spanPositions)
        return false;
    spanPositions += positions;
    return true;
}

bool DeviceLog::appendRecord(const Record &record)
{
    if (record.count == 0 || record.data.size() > MaxRecordDataBytes || record.count > 0xFFFFFFFFu - spanPositions)
        return false;
    records.push_back({endIndex(), record});
    spanPositions += record.count;
    return true;
}

const DeviceLog::Record *DeviceLog::recordAt(std::uint32_t index) const
{
    if (!contains(index))
        return nullptr;
    // Offsets from the first index grow along the deque even where the indexes wrap.
    const std::uint32_t offset = index - first;
    const auto found = std::lower_bound(
        records.begin(), records.end(), offset,
        [this](const Entry &entry, std::uint32_t wanted) { return entry.index - first < wanted; });
    if (found == records.end() || found->index != index)
        return nullptr;
    return &found->record;
}

void DeviceLog::dropOldest()
{
    if (records.empty())
        return;
    const std::uint32_t end = endIndex();
    records.pop_front();
    first = records.empty() ? end : records.front().index;
    spanPositions = end - first;
}

void DeviceLog::clear()
{
    records.clear();
    first = endIndex();
    spanPositions = 0;
}
