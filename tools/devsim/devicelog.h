// The simulated device's memory: its captions and its event log, a window of index
// positions in the 32-bit index space that starts at the first index.
#pragma once

#include <QByteArray>
#include <QVector>

#include <cstdint>
#include <deque>

// Limits that follow from the longest frame (253 bytes without CRC): a caption reply
// carries 9 header bytes and the terminating 0, a record reply 17 header bytes.
constexpr int MaxCaptionBytes = 243;
constexpr int MaxRecordDataBytes = 236;
constexpr int MaxCaptionCount = 65535;

class DeviceLog
{
public:
    struct Caption {
        std::uint32_t eventId = 0;
        QByteArray text; // Windows-1251, without the terminating 0
    };

    struct Record {
        std::uint8_t type = 0;  // 0 information, 1 warning, 2 error, 3 change
        std::uint32_t time = 0; // seconds since 2000-01-01 on the device clock
        std::uint32_t eventId = 0;
        std::uint8_t count = 1; // index positions the record occupies, 1..255
        QByteArray data;        // 0..MaxRecordDataBytes
    };

    // Captions are read by position, 0 to count-1, in the order added.
    const QVector<Caption> &captions() const { return captionList; }
    void addCaption(std::uint32_t eventId, const QByteArray &text);

    // Fingerprints of the configuration, as the info reply reports them. idHash covers
    // the set of event ids (order does not matter), captionHash the texts in position
    // order; a change of either makes the host read the captions again.
    std::uint32_t idHash() const;
    std::uint32_t captionHash() const;

    std::uint32_t firstIndex() const { return first; }
    std::uint32_t span() const { return spanPositions; }
    std::uint32_t endIndex() const { return first + spanPositions; } // wraps
    bool contains(std::uint32_t index) const { return index - first < spanPositions; }
    int recordCount() const { return int(records.size()); }

    // Moves the whole log, records and empty positions alike, to start at `index`.
    void moveTo(std::uint32_t index);

    // Adds `positions` empty positions at the end. False (and nothing added) when the
    // span would no longer fit in 32 bits.
    bool appendGap(std::uint32_t positions);
    // Adds a record at the end index. False when its count is 0 or its data too
    // long, or when the span would no longer fit in 32 bits.
    bool appendRecord(const Record &record);

    // The record that starts at `index`, or nullptr for a position outside the log,
    // an empty one, or one inside a record of several positions.
    const Record *recordAt(std::uint32_t index) const;

    // Forgets the oldest record; the first index moves to the next record, or to the
    // end when none is left.
    void dropOldest();
    // Forgets every record; the first index moves to the end, so indexes are never
    // reused for new records.
    void clear();

private:
    struct Entry {
        std::uint32_t index;
        Record record;
    };

    QVector<Caption> captionList;
    std::uint32_t first = 0;
    std::uint32_t spanPositions = 0;
    std::deque<Entry> records; // in index order from the first index
};
