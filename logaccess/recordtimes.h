// The times of a set of records by type (and, for a log of several devices, by device),
// kept sorted, so that how many of them fall in a span of time is two binary searches:
// the timeline's counts for any span, width, type, device or time filter come from here
// without asking the log file again.
#pragma once

#include "messagetext/recordtypes.h"

#include <QString>
#include <QVector>

#include <vector>

class RecordTimes
{
public:
    // A record as one number, second * 4 + type index: what the log file hands over for
    // every record, in one text.
    static qint64 packed(qint64 second, int type) { return second * 4 + type; }
    // Of a log that holds several devices' records, the device's index (from 0) goes
    // along: packed * DeviceSlots + device. A time the table can show (years 1 to 9999)
    // keeps well inside 64 bits so.
    static constexpr qint64 DeviceSlots = 65536;
    static qint64 packed(qint64 second, int type, int device) { return packed(second, type) * DeviceSlots + device; }

    void clear();
    bool isEmpty() const { return size() == 0; }
    int size() const;
    // A record at `second` (as the table shows its time) of type index `type` (0..3), of
    // the device with index `device`. Records may come in any order.
    void append(qint64 second, int type, int device = 0);
    // `withDevice`: the value names the device too.
    void appendPacked(qint64 value, bool withDevice = false);
    // Reads "v,v,v" of packed values (the text the log file gives for a span of keys);
    // an empty text is no record. False, with nothing taken, when a value is no whole
    // number.
    bool appendPackedList(const QString &text, bool withDevices = false);
    // Takes in every record of `other`.
    void merge(const RecordTimes &other);

    // Records of type index `type` with from <= time < until, of every device.
    int count(int type, qint64 from, qint64 until) const;
    // The same, of one device.
    int count(int device, int type, qint64 from, qint64 until) const;
    // One more than the highest device index held; 1 for records without devices.
    int deviceCount() const;
    // The earliest and the latest time of any type; only for a set that is not empty.
    qint64 first() const;
    qint64 last() const;
    // Gives back the room kept for records to come.
    void squeeze();

private:
    // A device's clock counts 32-bit seconds from 2000-01-01: every time it can have is
    // kept in 32 bits, as seconds since then, half of what a full time takes. Times before
    // or long after, which only another program's file can hold, are kept apart.
    static constexpr qint64 Near = 946684800;
    static bool isNear(qint64 second) { return second >= Near && second - Near <= 0xFFFFFFFFLL; }
    struct Kind {
        QVector<quint32> near;
        QVector<qint64> far;
    };
    void sort() const;
    qint64 edge(bool latest) const;
    static int countIn(const Kind &kind, qint64 from, qint64 until);

    // Kind of device d and type t at d * RecordTypeCount + t; at least one device's.
    // Sorted whenever `unsorted` is false; sorted on first use after appends.
    mutable std::vector<Kind> kinds = std::vector<Kind>(RecordTypeCount);
    mutable bool unsorted = false;
};
