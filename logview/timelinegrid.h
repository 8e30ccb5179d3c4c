// The time axis of the log's timeline: bucket sizes on calendar steps, chosen for the
// span of time and the room there is, the ticks and labels of the axis, and the texts
// that name a span. Times are whole seconds since 1970 on the device's wall clock, as the
// table shows them: the arithmetic is UTC's, with no time zone and no daylight saving.
#pragma once

#include <QString>
#include <QVector>

#include <functional>

enum class TimelineUnit { Second, Minute, Hour, Day, Week, Month, Year };

// A bucket size of `count` units. Buckets lie on the calendar: seconds to days on whole
// multiples from 1970 (so hours start on the hour and days at midnight), weeks on
// Mondays, months on the first of a month that is a multiple of `count` from January
// (quarters, halves), years on multiples of `count` (2020, 2030).
struct TimelineStep {
    TimelineUnit unit = TimelineUnit::Second;
    int count = 1;

    // Every step the timeline uses, finest first.
    static const QVector<TimelineStep> &ladder();

    // The number of the bucket that holds `second`: buckets are numbered from 1970
    // (negative before it).
    qint64 bucketOf(qint64 second) const;
    // The first second of bucket `number`.
    qint64 startOf(qint64 number) const;
    // The length of a bucket, exact for fixed lengths, on average for months and years.
    double typicalSeconds() const;

    bool operator==(const TimelineStep &other) const { return unit == other.unit && count == other.count; }
    bool operator!=(const TimelineStep &other) const { return !(*this == other); }
};

// Consecutive buckets of one step.
struct TimelineGrid {
    TimelineStep step;
    qint64 firstBucket = 0;
    int count = 0;

    // The finest step of the ladder that covers first..last (both included) with at most
    // `maxBuckets` buckets; the coarsest when none does.
    static TimelineGrid fit(qint64 first, qint64 last, int maxBuckets);

    bool isEmpty() const { return count == 0; }
    qint64 bucketStart(int bucket) const { return step.startOf(firstBucket + bucket); }
    // The first second after the bucket.
    qint64 bucketEnd(int bucket) const { return step.startOf(firstBucket + bucket + 1); }
    // The bucket that holds `second`; -1 outside the grid.
    int bucketAt(qint64 second) const;
};

// A date of the proleptic Gregorian calendar with astronomical years (year 0 is 1 BC),
// as SQLite reckons them.
struct CivilDate {
    qint64 year;
    int month; // 1..12
    int day;   // 1..31
};
CivilDate civilDate(qint64 second);
qint64 secondOfDate(qint64 year, int month, int day);

// A mark on the axis at `second`, `x` pixels from the plot's left edge, with its label
// (empty: a mark only). The first tick may be the view's own start, which is labelled
// with its date and carries no mark.
struct TimelineTick {
    qint64 second;
    double x;
    QString text;
    bool mark;
};

// The axis of a plot `width` pixels wide that shows [viewStart, viewEnd): marks on the
// boundaries of the finest calendar step whose labels have room (their width as
// `textWidth` measures it), labelled to the right of the mark with the time of day, the
// day or the month, and with the day or year where a new one begins. The left edge
// names the view's start in full, so that the labels after it are read in its context.
// Labels never overlap and never run past the right edge.
QVector<TimelineTick> timelineTicks(qint64 viewStart, qint64 viewEnd, int width,
                                    const std::function<int(const QString &)> &textWidth);

// "2024-03-15 13:45:30", as the table shows a time.
QString timelineTimeText(qint64 second);
// The span [from, until) for a reader: "2024-03-15 13:00 – 14:00" for an hour,
// "2024-03-15" for a day, "март 2024" for a month, "2024" for a year; any span that is
// not one of `step`'s whole buckets to the second ("2024-03-15 13:03:00 – 13:04:59").
QString timelineSpanText(qint64 from, qint64 until, const TimelineStep &step);
// "1 неделя", "5 минут", "3 месяца", "10 лет".
QString timelineStepText(const TimelineStep &step);
