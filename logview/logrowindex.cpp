// The rows of the log view and their keys.

#include "logview/logrowindex.h"

#include <algorithm>
#include <limits>

namespace {

// Whether `key` comes right after `previous`, without overflowing at the largest key.
bool follows(qint64 key, qint64 previous)
{
    return previous < std::numeric_limits<qint64>::max() && key == previous + 1;
}

// How far `key` lies past `first` in a run of `length` keys; -1 when outside.
int offsetInRun(qint64 key, qint64 first, int length)
{
    if (key < first)
        return -1;
    const quint64 offset = quint64(key) - quint64(first);
    return offset < quint64(length) ? int(offset) : -1;
}

} // namespace

void LogRowIndex::clear()
{
    runs.clear();
    headRows = 0;
    lastKey = 0;
    ascending = true;
    rows = 0;
    tail.clear();
}

void LogRowIndex::setProvisional(int rowCount, const QVector<qint64> &head, const QVector<qint64> &lastKeys)
{
    clear();
    append(head);
    rows = rowCount;
    tail = isComplete() ? QVector<qint64>() : lastKeys;
}

void LogRowIndex::append(const QVector<qint64> &keys)
{
    for (const qint64 key : keys) {
        if (headRows > 0 && follows(key, lastKey)) {
            ++headRows;
        } else {
            if (headRows > 0 && key <= lastKey)
                ascending = false;
            runs.append(Run{key, headRows++});
        }
        lastKey = key;
    }
    if (isComplete())
        tail.clear();
}

void LogRowIndex::appendRun(qint64 first, int count)
{
    if (count <= 0)
        return;
    if (headRows > 0 && follows(first, lastKey)) {
        headRows += count;
    } else {
        if (headRows > 0 && first <= lastKey)
            ascending = false;
        runs.append(Run{first, headRows});
        headRows += count;
    }
    lastKey = first + count - 1;
    if (isComplete())
        tail.clear();
}

int LogRowIndex::runLength(int run) const
{
    const int end = run + 1 < runs.size() ? runs[run + 1].firstRow : headRows;
    return end - runs[run].firstRow;
}

bool LogRowIndex::keyAt(int row, qint64 *key) const
{
    if (row < 0 || row >= rowCount())
        return false;
    if (row < headRows) {
        // The last run that starts at or before the row.
        const auto run = std::upper_bound(runs.cbegin(), runs.cend(), row,
                                          [](int r, const Run &candidate) { return r < candidate.firstRow; })
            - 1;
        *key = run->firstKey + (row - run->firstRow);
        return true;
    }
    const int tailStart = rows - tail.size();
    if (row < tailStart)
        return false;
    *key = tail[row - tailStart];
    return true;
}

void LogRowIndex::keysOf(int first, int count, QVector<int> *knownRows, QVector<qint64> *keys) const
{
    knownRows->clear();
    keys->clear();
    const int end = std::min(first + count, rowCount());
    for (int row = std::max(first, 0); row < end; ++row) {
        qint64 key = 0;
        if (keyAt(row, &key)) {
            knownRows->append(row);
            keys->append(key);
        }
    }
}

int LogRowIndex::rowOf(qint64 key) const
{
    if (ascending) {
        const auto run = std::upper_bound(runs.cbegin(), runs.cend(), key,
                                          [](qint64 k, const Run &candidate) { return k < candidate.firstKey; });
        if (run != runs.cbegin()) {
            const int at = int(run - runs.cbegin()) - 1;
            const int offset = offsetInRun(key, runs[at].firstKey, runLength(at));
            if (offset >= 0)
                return runs[at].firstRow + offset;
        }
    } else {
        for (int at = 0; at < runs.size(); ++at) {
            const int offset = offsetInRun(key, runs[at].firstKey, runLength(at));
            if (offset >= 0)
                return runs[at].firstRow + offset;
        }
    }
    const int found = tail.indexOf(key);
    return found < 0 ? -1 : rows - tail.size() + found;
}
