// Record times by type, sorted.

#include "logaccess/recordtimes.h"

#include <algorithm>
#include <limits>

namespace {

template<typename Value> void sortIfNeeded(QVector<Value> &values)
{
    if (!std::is_sorted(values.cbegin(), values.cend()))
        std::sort(values.begin(), values.end());
}

// Both sorted; `mine` stays so.
template<typename Value> void mergeSorted(QVector<Value> &mine, const QVector<Value> &theirs)
{
    if (theirs.isEmpty())
        return;
    // Records arrive in the order they were stored, which is nearly always the order of
    // their times: then they simply go at the end.
    if (mine.isEmpty() || mine.constLast() <= theirs.constFirst()) {
        mine += theirs;
        return;
    }
    QVector<Value> merged;
    merged.reserve(mine.size() + theirs.size());
    std::merge(mine.cbegin(), mine.cend(), theirs.cbegin(), theirs.cend(), std::back_inserter(merged));
    mine.swap(merged);
}

template<typename Value> int countBetween(const QVector<Value> &values, Value from, Value until)
{
    const auto begin = std::lower_bound(values.cbegin(), values.cend(), from);
    return int(std::lower_bound(begin, values.cend(), until) - begin);
}

} // namespace

void RecordTimes::clear()
{
    kinds.assign(RecordTypeCount, Kind());
    unsorted = false;
}

int RecordTimes::size() const
{
    int total = 0;
    for (const Kind &kind : kinds)
        total += kind.near.size() + kind.far.size();
    return total;
}

int RecordTimes::deviceCount() const
{
    return int(kinds.size()) / RecordTypeCount;
}

void RecordTimes::append(qint64 second, int type, int device)
{
    if (type < 0 || type >= RecordTypeCount)
        type = 0;
    if (device < 0 || device >= DeviceSlots)
        device = 0;
    const std::size_t index = std::size_t(device) * RecordTypeCount + std::size_t(type);
    if (index >= kinds.size())
        kinds.resize((std::size_t(device) + 1) * RecordTypeCount);
    Kind &kind = kinds[index];
    if (isNear(second)) {
        const quint32 offset = quint32(second - Near);
        if (!kind.near.isEmpty() && offset < kind.near.constLast())
            unsorted = true;
        kind.near.append(offset);
    } else {
        if (!kind.far.isEmpty() && second < kind.far.constLast())
            unsorted = true;
        kind.far.append(second);
    }
}

void RecordTimes::appendPacked(qint64 value, bool withDevice)
{
    // Floor division: times before 1970 are negative.
    qint64 device = 0;
    if (withDevice) {
        device = ((value % DeviceSlots) + DeviceSlots) % DeviceSlots;
        value = (value - device) / DeviceSlots;
    }
    const qint64 type = ((value % 4) + 4) % 4;
    append((value - type) / 4, int(type), int(device));
}

bool RecordTimes::appendPackedList(const QString &text, bool withDevices)
{
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if ((code < '0' || code > '9') && code != '-' && code != ',')
            return false;
    }
    qint64 value = 0;
    bool negative = false;
    bool digits = false;
    const auto take = [&] {
        if (digits)
            appendPacked(negative ? -value : value, withDevices);
        value = 0;
        negative = false;
        digits = false;
    };
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code >= '0' && code <= '9') {
            value = value * 10 + (code - '0');
            digits = true;
        } else if (code == '-') {
            negative = true;
        } else {
            take();
        }
    }
    take();
    return true;
}

void RecordTimes::merge(const RecordTimes &other)
{
    other.sort();
    sort();
    if (kinds.size() < other.kinds.size())
        kinds.resize(other.kinds.size());
    for (std::size_t index = 0; index < other.kinds.size(); ++index) {
        mergeSorted(kinds[index].near, other.kinds[index].near);
        mergeSorted(kinds[index].far, other.kinds[index].far);
    }
}

void RecordTimes::squeeze()
{
    for (Kind &kind : kinds) {
        kind.near.squeeze();
        kind.far.squeeze();
    }
}

void RecordTimes::sort() const
{
    if (!unsorted)
        return;
    for (Kind &kind : kinds) {
        sortIfNeeded(kind.near);
        sortIfNeeded(kind.far);
    }
    unsorted = false;
}

int RecordTimes::count(int type, qint64 from, qint64 until) const
{
    int total = 0;
    for (int device = 0; device < deviceCount(); ++device)
        total += count(device, type, from, until);
    return total;
}

int RecordTimes::count(int device, int type, qint64 from, qint64 until) const
{
    if (type < 0 || type >= RecordTypeCount || device < 0 || device >= deviceCount() || from >= until)
        return 0;
    sort();
    return countIn(kinds[std::size_t(device) * RecordTypeCount + std::size_t(type)], from, until);
}

int RecordTimes::countIn(const Kind &kind, qint64 from, qint64 until)
{
    int total = countBetween(kind.far, from, until);
    const qint64 nearFrom = std::max(from, Near);
    const qint64 nearUntil = std::min(until, Near + 0x100000000LL);
    if (nearFrom < nearUntil) {
        // The end may be just past the 32 bits: then every near time counts.
        const auto begin = std::lower_bound(kind.near.cbegin(), kind.near.cend(), quint32(nearFrom - Near));
        const auto end = nearUntil - Near > 0xFFFFFFFFLL
            ? kind.near.cend()
            : std::lower_bound(begin, kind.near.cend(), quint32(nearUntil - Near));
        total += int(end - begin);
    }
    return total;
}

qint64 RecordTimes::first() const
{
    return edge(false);
}

qint64 RecordTimes::last() const
{
    return edge(true);
}

qint64 RecordTimes::edge(bool latest) const
{
    sort();
    qint64 found = latest ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
    const auto take = [&found, latest](qint64 time) { found = latest ? std::max(found, time) : std::min(found, time); };
    for (const Kind &kind : kinds) {
        if (!kind.near.isEmpty())
            take(Near + (latest ? kind.near.constLast() : kind.near.constFirst()));
        if (!kind.far.isEmpty())
            take(latest ? kind.far.constLast() : kind.far.constFirst());
    }
    return found;
}
