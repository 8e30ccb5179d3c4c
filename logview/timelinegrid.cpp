// Calendar steps, the timeline's grid, its axis and its texts.

#include "logview/timelinegrid.h"

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 SecondsPerDay = 86400;
// 1970-01-05, the first Monday after the epoch (a Thursday): where weeks begin.
constexpr qint64 FirstMonday = 4 * SecondsPerDay;
// Room between two labels, and between a mark and its label, in pixels.
constexpr int LabelGap = 10;
constexpr int LabelPad = 3;

const char *const MonthAbbreviations[12] = {"янв", "фев", "мар", "апр", "май", "июн",
                                            "июл", "авг", "сен", "окт", "ноя", "дек"};
const char *const MonthNames[12] = {"январь", "февраль", "март",     "апрель",  "май",    "июнь",
                                    "июль",   "август",  "сентябрь", "октябрь", "ноябрь", "декабрь"};

qint64 floorDiv(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

qint64 floorMod(qint64 value, qint64 divisor)
{
    return value - floorDiv(value, divisor) * divisor;
}

// The length of a step of fixed length; 0 for months and years.
qint64 fixedSeconds(const TimelineStep &step)
{
    switch (step.unit) {
    case TimelineUnit::Second:
        return step.count;
    case TimelineUnit::Minute:
        return 60LL * step.count;
    case TimelineUnit::Hour:
        return 3600LL * step.count;
    case TimelineUnit::Day:
        return SecondsPerDay * step.count;
    case TimelineUnit::Week:
        return 7 * SecondsPerDay * step.count;
    default:
        return 0;
    }
}

QString twoDigits(qint64 value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// Four digits as SQLite writes a year, with a minus before year 0.
QString yearText(qint64 year)
{
    const QString digits = QStringLiteral("%1").arg(year < 0 ? -year : year, 4, 10, QLatin1Char('0'));
    return year < 0 ? QLatin1Char('-') + digits : digits;
}

QString dateText(const CivilDate &date)
{
    return yearText(date.year) + QLatin1Char('-') + twoDigits(date.month) + QLatin1Char('-') + twoDigits(date.day);
}

qint64 secondOfDay(qint64 second)
{
    return floorMod(second, SecondsPerDay);
}

QString clockText(qint64 second, bool withSeconds)
{
    const qint64 time = secondOfDay(second);
    QString text = twoDigits(time / 3600) + QLatin1Char(':') + twoDigits(time / 60 % 60);
    if (withSeconds)
        text += QLatin1Char(':') + twoDigits(time % 60);
    return text;
}

QString dayMonthText(const CivilDate &date)
{
    return QString::number(date.day) + QLatin1Char(' ') + QString::fromUtf8(MonthAbbreviations[date.month - 1]);
}

bool sameDay(qint64 a, qint64 b)
{
    return floorDiv(a, SecondsPerDay) == floorDiv(b, SecondsPerDay);
}

// "2024-03-15 13:45:30 – 13:46:10", the second time without its date on the same day.
QString exactSpanText(qint64 from, qint64 last, bool withSeconds)
{
    const QString start = dateText(civilDate(from)) + QLatin1Char(' ') + clockText(from, withSeconds);
    if (from == last)
        return start;
    const QString end = sameDay(from, last)
        ? clockText(last, withSeconds)
        : dateText(civilDate(last)) + QLatin1Char(' ') + clockText(last, withSeconds);
    return start + QStringLiteral(" – ") + end;
}

// A tick's label: the time of day, the day or the month; the larger unit where one
// begins (the day at midnight, the year in January).
QString shortLabel(qint64 second, TimelineUnit unit)
{
    const CivilDate date = civilDate(second);
    switch (unit) {
    case TimelineUnit::Second:
    case TimelineUnit::Minute:
    case TimelineUnit::Hour:
        if (secondOfDay(second) == 0)
            return dayMonthText(date);
        return clockText(second, unit == TimelineUnit::Second);
    case TimelineUnit::Day:
    case TimelineUnit::Week:
        return date.month == 1 && date.day == 1 ? yearText(date.year) : dayMonthText(date);
    case TimelineUnit::Month:
        return date.month == 1 ? yearText(date.year) : QString::fromUtf8(MonthAbbreviations[date.month - 1]);
    case TimelineUnit::Year:
        return yearText(date.year);
    }
    return QString();
}

// The label of the view's left edge: enough to place the short labels after it.
QString contextLabel(qint64 second, TimelineUnit unit)
{
    const CivilDate date = civilDate(second);
    switch (unit) {
    case TimelineUnit::Second:
    case TimelineUnit::Minute:
    case TimelineUnit::Hour:
        return dateText(date) + QLatin1Char(' ') + clockText(second, unit == TimelineUnit::Second);
    case TimelineUnit::Day:
    case TimelineUnit::Week:
        return dayMonthText(date) + QLatin1Char(' ') + yearText(date.year);
    case TimelineUnit::Month:
        return QString::fromUtf8(MonthAbbreviations[date.month - 1]) + QLatin1Char(' ') + yearText(date.year);
    case TimelineUnit::Year:
        return yearText(date.year);
    }
    return QString();
}

// The widest label a unit's ticks may carry: its own, or the larger unit's where one
// begins.
int widestLabel(TimelineUnit unit, const std::function<int(const QString &)> &textWidth)
{
    const char *own = "2024";
    const char *larger = "2024";
    switch (unit) {
    case TimelineUnit::Second:
        own = "00:00:00";
        larger = "28 сен";
        break;
    case TimelineUnit::Minute:
    case TimelineUnit::Hour:
        own = "00:00";
        larger = "28 сен";
        break;
    case TimelineUnit::Day:
    case TimelineUnit::Week:
        own = "28 сен";
        break;
    case TimelineUnit::Month:
        own = "сен";
        break;
    case TimelineUnit::Year:
        break;
    }
    return std::max(textWidth(QString::fromUtf8(own)), textWidth(QString::fromUtf8(larger)));
}

// Russian plural: 1 неделя, 3 недели, 5 недель, 21 неделя.
QString plural(int count, const char *one, const char *few, const char *many)
{
    const int tens = count % 100;
    const int units = count % 10;
    const char *form = (units == 1 && tens != 11)                ? one
        : (units >= 2 && units <= 4 && (tens < 12 || tens > 14)) ? few
                                                                 : many;
    return QString::number(count) + QLatin1Char(' ') + QString::fromUtf8(form);
}

} // namespace

const QVector<TimelineStep> &TimelineStep::ladder()
{
    static const QVector<TimelineStep> steps = [] {
        QVector<TimelineStep> all;
        for (const int count : {1, 2, 5, 10, 15, 30})
            all.append({TimelineUnit::Second, count});
        for (const int count : {1, 2, 5, 10, 15, 30})
            all.append({TimelineUnit::Minute, count});
        for (const int count : {1, 2, 3, 6, 12})
            all.append({TimelineUnit::Hour, count});
        all.append({TimelineUnit::Day, 1});
        all.append({TimelineUnit::Week, 1});
        for (const int count : {1, 3, 6})
            all.append({TimelineUnit::Month, count});
        // Up to ten thousand years: the times a table can show span less than fifteen.
        for (const int count : {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000})
            all.append({TimelineUnit::Year, count});
        return all;
    }();
    return steps;
}

qint64 TimelineStep::bucketOf(qint64 second) const
{
    if (const qint64 length = fixedSeconds(*this))
        return floorDiv(second - (unit == TimelineUnit::Week ? FirstMonday : 0), length);
    const CivilDate date = civilDate(second);
    if (unit == TimelineUnit::Month)
        return floorDiv((date.year - 1970) * 12 + date.month - 1, count);
    return floorDiv(date.year, count);
}

qint64 TimelineStep::startOf(qint64 number) const
{
    if (const qint64 length = fixedSeconds(*this))
        return number * length + (unit == TimelineUnit::Week ? FirstMonday : 0);
    if (unit == TimelineUnit::Month) {
        const qint64 months = number * count;
        return secondOfDate(1970 + floorDiv(months, 12), int(floorMod(months, 12)) + 1, 1);
    }
    return secondOfDate(number * count, 1, 1);
}

double TimelineStep::typicalSeconds() const
{
    if (const qint64 length = fixedSeconds(*this))
        return double(length);
    // The Gregorian year's mean: 365.2425 days.
    const double year = 365.2425 * SecondsPerDay;
    return unit == TimelineUnit::Month ? year / 12 * count : year * count;
}

TimelineGrid TimelineGrid::fit(qint64 first, qint64 last, int maxBuckets)
{
    if (last < first)
        std::swap(first, last);
    maxBuckets = std::max(1, maxBuckets);
    const QVector<TimelineStep> &steps = TimelineStep::ladder();
    TimelineGrid grid;
    for (const TimelineStep &step : steps) {
        grid.step = step;
        grid.firstBucket = step.bucketOf(first);
        const qint64 count = step.bucketOf(last) - grid.firstBucket + 1;
        grid.count = int(std::min<qint64>(count, std::numeric_limits<int>::max()));
        if (count <= maxBuckets)
            break;
    }
    return grid;
}

int TimelineGrid::bucketAt(qint64 second) const
{
    const qint64 number = step.bucketOf(second) - firstBucket;
    return number >= 0 && number < count ? int(number) : -1;
}

CivilDate civilDate(qint64 second)
{
    // Days to a date after Howard Hinnant's civil_from_days: eras of 400 years, years
    // counted from March so that the leap day comes last.
    const qint64 days = floorDiv(second, SecondsPerDay) + 719468;
    const qint64 era = floorDiv(days, 146097);
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    const int day = int(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    const int month = int(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

qint64 secondOfDate(qint64 year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const qint64 era = floorDiv(year, 400);
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return (era * 146097 + dayOfEra - 719468) * SecondsPerDay;
}

QVector<TimelineTick> timelineTicks(qint64 viewStart, qint64 viewEnd, int width,
                                    const std::function<int(const QString &)> &textWidth)
{
    QVector<TimelineTick> ticks;
    if (width <= 0 || viewEnd <= viewStart)
        return ticks;
    const double perSecond = double(width) / double(viewEnd - viewStart);
    const QVector<TimelineStep> &steps = TimelineStep::ladder();
    TimelineStep step = steps.constLast();
    for (const TimelineStep &candidate : steps) {
        if (candidate.typicalSeconds() * perSecond >= widestLabel(candidate.unit, textWidth) + LabelPad + LabelGap) {
            step = candidate;
            break;
        }
    }

    const QString context = contextLabel(viewStart, step.unit);
    int labelsEnd = textWidth(context) <= width ? textWidth(context) : 0;
    if (labelsEnd > 0)
        ticks.append({viewStart, 0.0, context, false});
    qint64 number = step.bucketOf(viewStart);
    if (step.startOf(number) < viewStart)
        ++number;
    // A mark every few pixels at most: the step was chosen so, this only bounds the loop.
    for (int guard = 0; guard <= width; ++guard, ++number) {
        const qint64 second = step.startOf(number);
        if (second >= viewEnd)
            break;
        TimelineTick tick{second, double(second - viewStart) * perSecond, QString(), true};
        const QString label = shortLabel(second, step.unit);
        const int left = int(tick.x) + LabelPad;
        const int right = left + textWidth(label);
        if (left >= labelsEnd + LabelGap && right <= width) {
            tick.text = label;
            labelsEnd = right;
        }
        ticks.append(tick);
    }
    return ticks;
}

QString timelineTimeText(qint64 second)
{
    return dateText(civilDate(second)) + QLatin1Char(' ') + clockText(second, true);
}

QString timelineSpanText(qint64 from, qint64 until, const TimelineStep &step)
{
    if (until <= from)
        return timelineTimeText(from);
    const qint64 bucket = step.bucketOf(from);
    if (step.startOf(bucket) != from || step.startOf(bucket + 1) != until)
        return exactSpanText(from, until - 1, true);
    const CivilDate start = civilDate(from);
    const CivilDate last = civilDate(until - 1);
    switch (step.unit) {
    case TimelineUnit::Second:
        return exactSpanText(from, until - 1, true);
    case TimelineUnit::Minute:
    case TimelineUnit::Hour: {
        const QString end = sameDay(from, until)
            ? clockText(until, false)
            : dateText(civilDate(until)) + QLatin1Char(' ') + clockText(until, false);
        return dateText(start) + QLatin1Char(' ') + clockText(from, false) + QStringLiteral(" – ") + end;
    }
    case TimelineUnit::Day:
        return step.count == 1 ? dateText(start) : dateText(start) + QStringLiteral(" – ") + dateText(last);
    case TimelineUnit::Week:
        return dateText(start) + QStringLiteral(" – ") + dateText(last);
    case TimelineUnit::Month: {
        const QString first = QString::fromUtf8(MonthNames[start.month - 1]);
        if (step.count == 1)
            return first + QLatin1Char(' ') + yearText(start.year);
        return first + QStringLiteral(" – ") + QString::fromUtf8(MonthNames[last.month - 1]) + QLatin1Char(' ')
            + yearText(last.year);
    }
    case TimelineUnit::Year:
        return step.count == 1 ? yearText(start.year)
                               : yearText(start.year) + QStringLiteral("–") + yearText(last.year);
    }
    return QString();
}

QString timelineStepText(const TimelineStep &step)
{
    // One, a few, many: by unit, in the order of TimelineUnit.
    static const char *const forms[][3] = {
        {"секунда", "секунды", "секунд"}, {"минута", "минуты", "минут"},  {"час", "часа", "часов"},
        {"день", "дня", "дней"},          {"неделя", "недели", "недель"}, {"месяц", "месяца", "месяцев"},
        {"год", "года", "лет"},
    };
    const char *const *unit = forms[int(step.unit)];
    return plural(step.count, unit[0], unit[1], unit[2]);
}
