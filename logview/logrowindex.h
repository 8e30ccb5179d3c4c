// Which record stands on which row of the log view: the keys of the rows shown, kept
// as runs of consecutive keys, so that a log of consecutive ids costs a few bytes
// however long it is, and a filtered one a few bytes per run of shown records.
#pragma once

#include <QVector>

// Rows are numbered from 0 in display order. While the keys of all rows are still
// being read, the number of rows may be known ahead of them (setProvisional): the
// first rows (the head) and the last ones (the tail) are then known, the rows between
// are not yet.
class LogRowIndex
{
public:
    void clear();
    // `rows` rows, of which the first have the keys `head` and the last the keys `tail`.
    void setProvisional(int rows, const QVector<qint64> &head, const QVector<qint64> &tail);
    // The next keys of the head, in display order. Once the head reaches the known number
    // of rows, the tail is no longer needed; past it, the rows grow with the head.
    void append(const QVector<qint64> &keys);
    // `count` consecutive keys from `first`, appended.
    void appendRun(qint64 first, int count);

    int rowCount() const { return headRows > rows ? headRows : rows; }
    int headCount() const { return headRows; }
    bool isComplete() const { return headRows >= rows; }
    // Keys ascend with the rows (so a key can be found by halving).
    bool isAscending() const { return ascending; }

    // The key of `row`; false when it is not known yet (or out of range).
    bool keyAt(int row, qint64 *key) const;
    // The keys of rows first..first+count-1 that are known, with their rows.
    void keysOf(int first, int count, QVector<int> *knownRows, QVector<qint64> *keys) const;
    // The row of `key`; -1 when no row (known so far) has it.
    int rowOf(qint64 key) const;
    // The key of the last row of the head, when there is one.
    qint64 lastHeadKey() const { return lastKey; }

private:
    struct Run {
        qint64 firstKey;
        int firstRow;
    };
    int runLength(int run) const;

    QVector<Run> runs;
    int headRows = 0;
    qint64 lastKey = 0;
    bool ascending = true;
    int rows = 0;
    QVector<qint64> tail;
};
