// The times of a set of records by type, kept sorted, so that how many of them fall in
// a span of time is two binary searches: the timeline's counts for any span, width,
// type or time filter come from here without asking the log file again.
#pragma once

#include "messagetext/recordtypes.h"

#include <QString>
#include <QVector>

class RecordTimes
{
public:
    // A record as one number, second * 4 + type index: what the log file hands over for
    // every record, in one text.
    static qint64 packed(qint64 second, int type) { return second * 4 + type; }

    void clear();
    bool isEmpty() const { return size() == 0; }
    int size() const;
    // A record at `second` (as the table shows its time) of type index `type` (0..3).
    // Records may come in any order.
    void append(qint64 second, int type);
    void appendPacked(qint64 value);
    // Reads "v,v,v" of packed values (the text the log file gives for a span of keys);
    // an empty text is no record. False, with nothing taken, when a value is no whole
    // number.
    bool appendPackedList(const QString &text);
    // Takes in every record of `other`.
    void merge(const RecordTimes &other);

    // Records of type index `type` with from <= time < until.
    int count(int type, qint64 from, qint64 until) const;
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

    // Sorted whenever `unsorted` is false; sorted on first use after appends.
    mutable Kind kinds[RecordTypeCount];
    mutable bool unsorted = false;
};
