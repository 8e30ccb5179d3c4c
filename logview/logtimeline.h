// The log's timeline without widgets: how many records of each type fall in each bucket
// of time, over the log's span or the filter's, in as many buckets as there is room for.
#pragma once

#include "logaccess/logfilter.h"
#include "logaccess/logviewstatements.h"
#include "logaccess/orderedwork.h"
#include "logaccess/recordtimes.h"
#include "logview/timelinegrid.h"
#include "messagetext/recordtypes.h"

#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QVector>

class LogViewModel;

// Records of each type index in one bucket; grouped by device, also of each device
// index.
struct TimelineCounts {
    int byType[RecordTypeCount] = {};
    QVector<int> byDevice;
    int total() const;
};

/*
 * It follows a LogViewModel and counts what the table shows:
 *
 *   logReloaded     the time and type of every record are read in the background, once
 *                   (a million records: one pass of a fraction of a second, 4 MB)
 *   logRefreshed    the records stored since are read and added (a few: at once)
 *   filterChanged   types and bounds are applied to the times held, at once; the
 *                   bounds become the span shown
 *   textMatchesFound  with a text, the records the search finds are counted instead,
 *                   as it finds them: no message is rendered twice
 *
 * Every change of what is shown, and of the room (setMaxBuckets), rebuilds the buckets
 * from the times held: a few binary searches per bucket, never a query.
 */
class LogTimeline : public QObject
{
    Q_OBJECT

public:
    explicit LogTimeline(LogViewModel *model, QObject *parent = nullptr);
    ~LogTimeline() override;

    // Whether a log is shown: one the table can show.
    bool showsLog() const;
    // How many buckets there is room for; at least 1.
    void setMaxBuckets(int buckets);
    int maxBuckets() const { return wanted; }
    // Whether the buckets count each device's records too (asked), which a log with
    // devices (a merged one) does (byDevice).
    void setByDevice(bool on);
    bool byDevice() const;

    // Whether there is a span of time to show: a log with records that have a time the
    // table can show, or a filter with bounds.
    bool hasView() const { return viewValid; }
    // The span shown, [viewStart, viewEnd) in seconds: the filter's bounds where it has
    // them, else the first and the last record's time widened to the edges of their bars;
    // at least a minute.
    qint64 viewStart() const { return start; }
    qint64 viewEnd() const { return end; }
    const TimelineGrid &grid() const { return currentGrid; }
    const QVector<TimelineCounts> &buckets() const { return counts; }
    // Where a bucket begins and ends within the view: the first and the last may be cut.
    qint64 bucketFrom(int bucket) const;
    qint64 bucketUntil(int bucket) const;
    int largestBucket() const;
    // The records in all buckets together.
    int countedRecords() const;
    // Whether the counts are still growing: the times of the log are read, or the search
    // for a text runs.
    bool isComputing() const;

    // A span shorter than this is widened (around its middle, or past the filter's one
    // bound), so that one record, or all records in one second, stand as a bar among empty
    // ones rather than fill the strip.
    static constexpr qint64 MinViewSeconds = 60;
    // Keys a refresh reads on the user-interface thread; more are read in the background.
    static constexpr qint64 ReadInPlaceKeys = 4096;
    // Keys of one chunk of the background pass.
    static constexpr qint64 ChunkKeys = 16384;

signals:
    // What is shown changed.
    void changed();
    // The buckets shown are complete for the log and the filter (sent after every change
    // that leaves them so).
    void computed();

private:
    void logReloaded();
    void logRefreshed();
    void filterChanged(const LogFilter &filter);
    void rowsReset();
    void textMatchesFound(const RecordTimes &times);
    // Reads the times of the records with keys low..high (all records when the keys are not
    // in display order) in the background, and adds them.
    void startPass(bool ranged, qint64 low, qint64 high);
    void finishPass(quint64 generation);
    void cancelPass();
    // Whether the buckets count the records the model's search found rather than the
    // times held: with a text (only the search knows the messages) or with devices of
    // a merged log hidden (the times held know no devices).
    bool countsFound() const { return filter.hasTextCondition() || filter.hasDeviceCondition(); }
    void computeView();
    void rebuild();

    QPointer<LogViewModel> model;
    LogViewStatements statements;
    LogFilter filter;
    // Every record's time, once read; and with a text, those the search found.
    RecordTimes all;
    RecordTimes found;
    bool timesKnown = false;
    // The records with keys up to coveredKey are in `all`.
    bool covered = false;
    qint64 coveredKey = 0;

    QThreadPool pool;
    CancelToken passToken;
    quint64 passGeneration = 0;
    bool passing = false;
    bool refreshPending = false;
    qint64 passHigh = 0;
    bool passRanged = false;
    RecordTimes passTimes;

    int wanted = 100;
    bool wantsDevices = false;
    bool viewValid = false;
    qint64 start = 0;
    qint64 end = 0;
    TimelineGrid currentGrid;
    QVector<TimelineCounts> counts;
};
