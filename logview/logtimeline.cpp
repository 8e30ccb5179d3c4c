// The log's timeline: the records' times by type, counted into buckets.

#include "logview/logtimeline.h"

#include "logaccess/logscan.h"
#include "logview/logviewmodel.h"

#include <QSqlDatabase>
#include <QThread>

#include <algorithm>
#include <limits>

int TimelineCounts::total() const
{
    int sum = 0;
    for (const int count : byType)
        sum += count;
    return sum;
}

LogTimeline::LogTimeline(LogViewModel *model, QObject *parent) : QObject(parent), model(model)
{
    pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    connect(model, &LogViewModel::logReloaded, this, &LogTimeline::logReloaded);
    connect(model, &LogViewModel::logRefreshed, this, &LogTimeline::logRefreshed);
    connect(model, &LogViewModel::filterChanged, this, &LogTimeline::filterChanged);
    connect(model, &QAbstractItemModel::modelReset, this, &LogTimeline::rowsReset);
    connect(model, &LogViewModel::textMatchesFound, this, &LogTimeline::textMatchesFound);
    connect(model, &LogViewModel::scanFinished, this, &LogTimeline::rebuild);
    connect(model, &LogViewModel::scanFailed, this, &LogTimeline::rebuild);
    filter = model->filter();
    logReloaded();
}

LogTimeline::~LogTimeline()
{
    passToken.cancel();
    pool.waitForDone();
}

bool LogTimeline::showsLog() const
{
    return model && model->isLoaded() && model->columnCount() > 0;
}

bool LogTimeline::isComputing() const
{
    if (!showsLog())
        return false;
    return !timesKnown || passing || (countsFound() && model->isScanning());
}

void LogTimeline::setMaxBuckets(int buckets)
{
    buckets = std::max(1, buckets);
    if (buckets == wanted)
        return;
    wanted = buckets;
    rebuild();
}

void LogTimeline::setByDevice(bool on)
{
    if (on == wantsDevices)
        return;
    wantsDevices = on;
    rebuild();
}

bool LogTimeline::byDevice() const
{
    return wantsDevices && showsLog() && statements.hasDevices();
}

void LogTimeline::cancelPass()
{
    passToken.cancel();
    ++passGeneration;
    passing = false;
    passTimes.clear();
}

void LogTimeline::logReloaded()
{
    cancelPass();
    // Closed: the file may be about to be replaced, and the pass holds it open.
    if (!model || !model->isLoaded())
        pool.waitForDone();
    all.clear();
    found.clear();
    timesKnown = false;
    covered = false;
    refreshPending = false;
    if (model)
        filter = model->filter();
    if (showsLog()) {
        const StoreResult<LogViewStatements> read = model->source()->statements();
        if (read)
            statements = *read;
        if (!read) {
            // The model has shown the log: it can be read. Should it fail now, the strip
            // stays empty, as the table would on its next read.
            timesKnown = true;
        } else if (!statements.keysInDisplayOrder()) {
            startPass(false, 0, -1);
        } else {
            qint64 low = 0;
            qint64 high = 0;
            if (model->keyBounds(&low, &high))
                startPass(true, low, high);
            else
                timesKnown = true;
        }
    }
    rebuild();
}

void LogTimeline::startPass(bool ranged, qint64 low, qint64 high)
{
    passToken.cancel();
    const quint64 generation = ++passGeneration;
    passing = true;
    passRanged = ranged;
    passHigh = high;
    passTimes.clear();

    LogScanSetup setup;
    setup.openReader = model->source()->readers();
    setup.statements = statements;
    setup.ranged = ranged;
    setup.low = low;
    setup.high = high;
    setup.chunkKeys = ChunkKeys;
    OrderedWork<LogTimesChunk> work;
    work.chunks = setup.chunkCount();
    work.startThread = [setup] { return startLogTimesThread(setup); };
    work.deliver = [this, generation](int, LogTimesChunk &chunk) {
        if (generation != passGeneration)
            return;
        // A chunk that cannot be read ends the pass with what was read: the strip shows
        // those, as the table shows the rows it found.
        if (!chunk.read)
            passToken.cancel();
        passTimes.merge(chunk.times);
        if (!chunk.read)
            finishPass(generation);
    };
    work.finish = [this, generation] { finishPass(generation); };
    passToken = runOrdered(pool, this, std::move(work), pool.maxThreadCount());
}

void LogTimeline::finishPass(quint64 generation)
{
    if (generation != passGeneration || !passing)
        return;
    passing = false;
    all.merge(passTimes);
    passTimes.clear();
    all.squeeze();
    timesKnown = true;
    if (passRanged) {
        covered = true;
        coveredKey = passHigh;
    }
    rebuild();
    if (refreshPending) {
        refreshPending = false;
        logRefreshed();
    }
}

void LogTimeline::logRefreshed()
{
    if (!showsLog() || !statements.keysInDisplayOrder())
        return;
    if (passing || !timesKnown) {
        // The pass reads the records up to where it began; the rest come after it.
        refreshPending = true;
        return;
    }
    qint64 low = 0;
    qint64 high = 0;
    if (!model->keyBounds(&low, &high))
        return;
    if (covered) {
        if (high <= coveredKey)
            return;
        low = coveredKey + 1;
    }
    // A source read on a thread of its own is never read here.
    if (!model->readsInPlace() || quint64(high) - quint64(low) >= quint64(ReadInPlaceKeys)) {
        startPass(true, low, high);
        rebuild();
        return;
    }
    // A download stores a few records at a time: they are read here, at once.
    const LogViewStatements::KeyRange range{low, high};
    RecordTimes added;
    if (!readRecordTimes(model->source()->database(), statements, &range, &added))
        return;
    all.merge(added);
    covered = true;
    coveredKey = high;
    rebuild();
}

void LogTimeline::filterChanged(const LogFilter &changed)
{
    filter = changed;
    if (countsFound()) {
        // The search starts over with the reset of the rows that follows; the buckets
        // wait for it.
        found.clear();
        return;
    }
    rebuild();
}

void LogTimeline::rowsReset()
{
    // Every reset of the rows with a text starts the search from the beginning, and the
    // records it finds are told again.
    if (countsFound())
        found.clear();
    rebuild();
}

void LogTimeline::textMatchesFound(const RecordTimes &times)
{
    if (!countsFound())
        return;
    found.merge(times);
    rebuild();
}

void LogTimeline::computeView()
{
    viewValid = false;
    if (!showsLog())
        return;
    const bool any = !all.isEmpty();
    const bool hasFrom = filter.from.isValid();
    const bool hasTo = filter.to.isValid();
    if (!hasFrom && !hasTo && !any)
        return;
    qint64 first = hasFrom ? wallClockSeconds(filter.from).toSecsSinceEpoch() : any ? all.first() : 0;
    qint64 last = hasTo ? wallClockSeconds(filter.to).toSecsSinceEpoch() : any ? all.last() : first;
    if (!hasFrom && !any)
        first = last;
    if (first > last) {
        // One bound beyond every record: the span starts (or ends) there. Both bounds the
        // wrong way round let nothing through.
        if (hasFrom && hasTo)
            return;
        if (hasFrom)
            last = first;
        else
            first = last;
    }
    start = first;
    end = last + 1;
    // Widened on the side the filter leaves open: a bound the user set stays the edge.
    const qint64 missing = MinViewSeconds - (end - start);
    if (missing > 0) {
        if (hasFrom && !hasTo)
            end += missing;
        else if (hasTo && !hasFrom)
            start -= missing;
        else
            start -= missing / 2;
        end = start + MinViewSeconds;
    }
    // An end the filter leaves open is the edge of a whole bar: the bar of the newest
    // records, where a download adds them, is as wide as the others rather than a sliver.
    if (!hasFrom || !hasTo) {
        const TimelineGrid grid = TimelineGrid::fit(start, end - 1, wanted);
        if (!hasFrom)
            start = grid.bucketStart(0);
        if (!hasTo)
            end = grid.bucketEnd(grid.count - 1);
    }
    viewValid = true;
}

void LogTimeline::rebuild()
{
    computeView();
    counts.clear();
    currentGrid = TimelineGrid();
    if (viewValid) {
        currentGrid = TimelineGrid::fit(start, end - 1, wanted);
        const RecordTimes &source = countsFound() ? found : all;
        const qint64 low = filter.from.isValid() ? wallClockSeconds(filter.from).toSecsSinceEpoch()
                                                 : std::numeric_limits<qint64>::min();
        const qint64 high = filter.to.isValid() ? wallClockSeconds(filter.to).toSecsSinceEpoch() + 1
                                                : std::numeric_limits<qint64>::max();
        const bool devices = byDevice();
        const int deviceCount = source.deviceCount();
        counts.resize(currentGrid.count);
        for (int bucket = 0; bucket < currentGrid.count; ++bucket) {
            const qint64 from = std::max(bucketFrom(bucket), low);
            const qint64 until = std::min(bucketUntil(bucket), high);
            TimelineCounts &bucketCounts = counts[bucket];
            if (devices)
                bucketCounts.byDevice.fill(0, deviceCount);
            for (int type = 0; type < RecordTypeCount; ++type) {
                if (!filter.showsType(type))
                    continue;
                if (!devices) {
                    bucketCounts.byType[type] = source.count(type, from, until);
                    continue;
                }
                for (int device = 0; device < deviceCount; ++device) {
                    const int count = source.count(device, type, from, until);
                    bucketCounts.byType[type] += count;
                    bucketCounts.byDevice[device] += count;
                }
            }
        }
    }
    emit changed();
    if (!isComputing())
        emit computed();
}

qint64 LogTimeline::bucketFrom(int bucket) const
{
    return std::max(currentGrid.bucketStart(bucket), start);
}

qint64 LogTimeline::bucketUntil(int bucket) const
{
    return std::min(currentGrid.bucketEnd(bucket), end);
}

int LogTimeline::largestBucket() const
{
    int largest = 0;
    for (const TimelineCounts &bucket : counts)
        largest = std::max(largest, bucket.total());
    return largest;
}

int LogTimeline::countedRecords() const
{
    int sum = 0;
    for (const TimelineCounts &bucket : counts)
        sum += bucket.total();
    return sum;
}
