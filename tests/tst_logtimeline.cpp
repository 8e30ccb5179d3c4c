// The log's timeline without widgets: the calendar steps it picks for a span and a width,
// the records it counts in each bucket against the records counted here from the log
// view query, with filters, appended records and another program's values, and its axis.

#include "logview/logtimeline.h"

#include "logview/logviewmodel.h"

#include "tests/support/logfixture.h"
#include "tests/support/samplelog.h"

#include <QRandomGenerator>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace LogFixture;
using namespace SampleLog;

Q_DECLARE_METATYPE(TimelineStep)

namespace {

constexpr qint64 DeviceEpoch = 946684800;

// A wall-clock time of the device, as the table shows it.
qint64 at(const char *text)
{
    const QString time = QString::fromLatin1(text);
    return QDateTime(QDate::fromString(time.left(10), QStringLiteral("yyyy-MM-dd")),
                     QTime::fromString(time.mid(11), QStringLiteral("HH:mm:ss")), Qt::UTC)
        .toSecsSinceEpoch();
}

// The time as the table shows it, read by Qt's calendar: SQLite counts astronomical years
// ("-0001" is 2 BC), Qt has no year 0.
bool secondsOf(const QVariant &shown, qint64 *second)
{
    if (shown.isNull())
        return false;
    QString text = shown.toString();
    const bool negative = text.startsWith(QLatin1Char('-'));
    if (negative)
        text.remove(0, 1);
    if (text.size() != 19)
        return false;
    const int astronomical = negative ? -text.left(4).toInt() : text.left(4).toInt();
    const QDate date(astronomical <= 0 ? astronomical - 1 : astronomical, text.mid(5, 2).toInt(),
                     text.mid(8, 2).toInt());
    const QTime time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss"));
    if (!date.isValid() || !time.isValid())
        return false;
    *second = (date.toJulianDay() - 2440588) * 86400 + time.msecsSinceStartOfDay() / 1000;
    return true;
}

struct ShownRecord {
    qint64 second;
    int type;
};

// The records the table shows with `filter` that have a time, by the table's own rules.
QVector<ShownRecord> shownRecords(const QSqlDatabase &db, const LogFilter &filter)
{
    QVector<ShownRecord> records;
    for (const ExpectedRow &row : expectedRows(db, filter)) {
        qint64 second = 0;
        if (secondsOf(row.time, &second))
            records.append({second, recordTypeIndex(row.type)});
    }
    return records;
}

// Whether `start` is where a bucket of `step` begins, by Qt's calendar.
bool onCalendarStep(qint64 start, const TimelineStep &step)
{
    const QDateTime time = QDateTime::fromSecsSinceEpoch(start, Qt::UTC);
    const QDate date = time.date();
    // Years are counted as SQLite counts them, with a year 0.
    const int year = date.year() < 0 ? date.year() + 1 : date.year();
    const int second = time.time().msecsSinceStartOfDay() / 1000;
    switch (step.unit) {
    case TimelineUnit::Second:
        return second % step.count == 0;
    case TimelineUnit::Minute:
        return second % (60 * step.count) == 0;
    case TimelineUnit::Hour:
        return second % (3600 * step.count) == 0;
    case TimelineUnit::Day:
        return second == 0;
    case TimelineUnit::Week:
        return second == 0 && date.dayOfWeek() == Qt::Monday;
    case TimelineUnit::Month:
        return second == 0 && date.day() == 1 && (date.month() - 1) % step.count == 0;
    case TimelineUnit::Year:
        return second == 0 && date.day() == 1 && date.month() == 1 && year % step.count == 0;
    }
    return false;
}

// Empty when the timeline shows exactly `records` (every one in the view, each counted
// once in the bucket of its time), on a grid of calendar steps; else the first difference.
QString compareBuckets(const LogTimeline &timeline, const QVector<ShownRecord> &records)
{
    const TimelineGrid &grid = timeline.grid();
    if (timeline.buckets().size() != grid.count)
        return QStringLiteral("%1 buckets on a grid of %2").arg(timeline.buckets().size()).arg(grid.count);
    if (grid.count > timeline.maxBuckets())
        return QStringLiteral("%1 buckets for room for %2").arg(grid.count).arg(timeline.maxBuckets());
    for (int bucket = 0; bucket <= grid.count; ++bucket) {
        const qint64 start = grid.bucketStart(bucket);
        if (!onCalendarStep(start, grid.step))
            return QStringLiteral("bucket %1 starts at %2, off its step %3")
                .arg(bucket)
                .arg(timelineTimeText(start), timelineStepText(grid.step));
    }
    if (grid.bucketStart(0) > timeline.viewStart() || grid.bucketEnd(grid.count - 1) < timeline.viewEnd())
        return QStringLiteral("the grid does not cover the view");
    for (const ShownRecord &record : records) {
        if (record.second < timeline.viewStart() || record.second >= timeline.viewEnd())
            return QStringLiteral("a record at %1 outside the view").arg(timelineTimeText(record.second));
    }
    for (int bucket = 0; bucket < grid.count; ++bucket) {
        int expected[RecordTypeCount] = {};
        for (const ShownRecord &record : records) {
            if (record.second >= timeline.bucketFrom(bucket) && record.second < timeline.bucketUntil(bucket))
                ++expected[record.type];
        }
        for (int type = 0; type < RecordTypeCount; ++type) {
            if (timeline.buckets()[bucket].byType[type] != expected[type])
                return QStringLiteral("bucket %1 (%2), type %3: %4 instead of %5")
                    .arg(bucket)
                    .arg(timelineSpanText(timeline.bucketFrom(bucket), timeline.bucketUntil(bucket), grid.step))
                    .arg(type)
                    .arg(timeline.buckets()[bucket].byType[type])
                    .arg(expected[type]);
        }
    }
    if (timeline.countedRecords() != records.size())
        return QStringLiteral("%1 records counted of %2").arg(timeline.countedRecords()).arg(records.size());
    return QString();
}

// A label is 7 pixels a character, as a monospaced font would have it.
int sevenPixels(const QString &text)
{
    return 7 * text.size();
}

} // namespace

class tst_LogTimeline : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void stepsForSpanAndWidth_data();
    void stepsForSpanAndWidth();
    void emptyLogHasNoBars();
    void filtersNarrowTheCounts_data();
    void filtersNarrowTheCounts();
    void textTypedKeyByKey();
    void appendedRecordsAreCounted_data();
    void appendedRecordsAreCounted();
    void changedCaptionsAreSearchedAgain();
    void valuesOfAnotherProgram();
    void packedTimesKeepTheirDevice_data();
    void packedTimesKeepTheirDevice();
    void closedLogShowsNothing();
    void axisLabels_data();
    void axisLabels();
    void axisLabelsNeverCrowd();
    void spanTexts_data();
    void spanTexts();

private:
    void showLog();
    void fillSample(int records);
    void waitForCounts() { QTRY_VERIFY_WITH_TIMEOUT(!timeline->isComputing(), 20000); }
    // Records of random types (unknown codes too) at random times first..last, the first
    // and the last at those very times.
    void addSpread(qint64 first, qint64 last, int count, quint32 seed);

    QTemporaryDir *dir = nullptr;
    QSqlDatabase db;
    LogViewModel *model = nullptr;
    LogTimeline *timeline = nullptr;
    quint32 clock = March15th2024;
};

void tst_LogTimeline::init()
{
    dir = new QTemporaryDir;
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("log.db"))).ok());
    model = new LogViewModel;
    timeline = new LogTimeline(model);
    clock = March15th2024;
}

void tst_LogTimeline::cleanup()
{
    delete timeline;
    delete model;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete dir;
}

void tst_LogTimeline::showLog()
{
    model->reload();
    waitForCounts();
}

void tst_LogTimeline::addSpread(qint64 first, qint64 last, int count, quint32 seed)
{
    QRandomGenerator random(seed);
    const int types[] = {0, 1, 2, 3, 7, 255};
    QVERIFY(db.transaction());
    QCOMPARE(addCaption(db, 1, QStringLiteral("Событие #u")), QString());
    for (int n = 0; n < count; ++n) {
        const qint64 second = n == 0 ? first : n == 1 ? last : first + qint64(random.bounded(double(last - first + 1)));
        QCOMPARE(addRecord(db, 1, types[random.bounded(6)], QByteArray(1, char(n)), quint32(second - DeviceEpoch),
                           quint32(n)),
                 QString());
    }
    QVERIFY(db.commit());
}

void tst_LogTimeline::stepsForSpanAndWidth_data()
{
    QTest::addColumn<qint64>("first");
    QTest::addColumn<qint64>("last");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("room");
    QTest::addColumn<QString>("step");

    QTest::newRow("two hours, room for 60")
        << at("2024-03-15 10:00:00") << at("2024-03-15 11:59:59") << 500 << 60 << "2 минуты";
    QTest::newRow("two hours, room for 200")
        << at("2024-03-15 10:00:00") << at("2024-03-15 11:59:59") << 500 << 200 << "1 минута";
    QTest::newRow("three days, room for 100")
        << at("2024-03-15 00:00:00") << at("2024-03-17 23:59:59") << 2000 << 100 << "1 час";
    QTest::newRow("three days, room for 20")
        << at("2024-03-15 00:00:00") << at("2024-03-17 23:59:59") << 2000 << 20 << "6 часов";
    QTest::newRow("two years, room for 150: weeks from a Monday")
        << at("2023-01-01 00:00:00") << at("2024-12-31 23:59:59") << 3000 << 150 << "1 неделя";
    QTest::newRow("ten years, room for 150")
        << at("2015-01-01 00:00:00") << at("2024-12-31 23:59:59") << 3000 << 150 << "1 месяц";
    QTest::newRow("ten years, room for 50")
        << at("2015-01-01 00:00:00") << at("2024-12-31 23:59:59") << 3000 << 50 << "3 месяца";
    QTest::newRow("a clock that jumped to 2106")
        << at("2024-03-15 13:45:30") << at("2106-02-07 06:28:15") << 300 << 150 << "1 год";
    QTest::newRow("two years in one bar")
        << at("2023-01-01 00:00:00") << at("2024-12-31 23:59:59") << 300 << 1 << "5 лет";
    QTest::newRow("one record") << at("2024-03-15 13:45:30") << at("2024-03-15 13:45:30") << 1 << 150 << "1 секунда";
    QTest::newRow("all records in one second")
        << at("2024-03-15 13:45:30") << at("2024-03-15 13:45:30") << 1000 << 150 << "1 секунда";
    QTest::newRow("fifty seconds") << at("2024-03-15 13:45:00") << at("2024-03-15 13:45:49") << 200 << 150
                                   << "1 секунда";
}

void tst_LogTimeline::stepsForSpanAndWidth()
{
    QFETCH(qint64, first);
    QFETCH(qint64, last);
    QFETCH(int, records);
    QFETCH(int, room);
    QFETCH(QString, step);
    addSpread(first, last, records, 7);
    timeline->setMaxBuckets(room);
    QSignalSpy computed(timeline, &LogTimeline::computed);
    showLog();
    QVERIFY(computed.count() > 0);
    QVERIFY(timeline->hasView());
    QCOMPARE(timelineStepText(timeline->grid().step), step);
    // The records' span in whole bars; short spans widened to a minute around their middle.
    const TimelineGrid &grid = timeline->grid();
    QCOMPARE(timeline->viewStart(), grid.bucketStart(0));
    QCOMPARE(timeline->viewEnd(), grid.bucketEnd(grid.count - 1));
    QVERIFY(timeline->viewStart() <= first && timeline->viewEnd() > last);
    QVERIFY(timeline->viewEnd() - timeline->viewStart() >= LogTimeline::MinViewSeconds);
    if (last - first < LogTimeline::MinViewSeconds)
        QCOMPARE(timeline->viewEnd() - timeline->viewStart(), LogTimeline::MinViewSeconds);
    QCOMPARE(compareBuckets(*timeline, shownRecords(db, LogFilter())), QString());
    QCOMPARE(timeline->countedRecords(), records);

    // Narrower and wider, the same records in coarser and finer buckets.
    for (const int other : {std::max(1, room / 3), room * 3}) {
        timeline->setMaxBuckets(other);
        QCOMPARE(compareBuckets(*timeline, shownRecords(db, LogFilter())), QString());
    }
}

void tst_LogTimeline::emptyLogHasNoBars()
{
    QSignalSpy computed(timeline, &LogTimeline::computed);
    showLog();
    QVERIFY(computed.count() > 0);
    QVERIFY(timeline->showsLog());
    QVERIFY(!timeline->hasView());
    QVERIFY(timeline->buckets().isEmpty());
    QCOMPARE(timeline->countedRecords(), 0);
    QCOMPARE(timeline->largestBucket(), 0);

    // A span in the filter is shown, empty.
    LogFilter filter;
    filter.from = QDateTime::fromSecsSinceEpoch(at("2024-03-15 00:00:00"), Qt::UTC);
    filter.to = QDateTime::fromSecsSinceEpoch(at("2024-03-15 23:59:59"), Qt::UTC);
    model->setFilter(filter);
    waitForCounts();
    QVERIFY(timeline->hasView());
    QCOMPARE(timeline->viewStart(), at("2024-03-15 00:00:00"));
    QCOMPARE(timeline->viewEnd(), at("2024-03-16 00:00:00"));
    QCOMPARE(timeline->countedRecords(), 0);
}

void tst_LogTimeline::filtersNarrowTheCounts_data()
{
    QTest::addColumn<int>("types");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("regex");

    QTest::newRow("errors only") << 0b0100 << ""
                                 << ""
                                 << "" << false;
    QTest::newRow("information off, with the unknown codes") << 0b1110 << ""
                                                             << ""
                                                             << "" << false;
    QTest::newRow("zoomed in: from and to") << 0xF << "2024-03-15 18:00:00"
                                            << "2024-03-16 06:30:59"
                                            << "" << false;
    QTest::newRow("from only") << 0xF << "2024-03-16 00:00:00"
                               << ""
                               << "" << false;
    QTest::newRow("a span after the log") << 0xF << "2030-01-01 00:00:00"
                                          << ""
                                          << "" << false;
    QTest::newRow("text") << 0xF << ""
                          << ""
                          << "насос" << false;
    QTest::newRow("text without a caption") << 0xF << ""
                                            << ""
                                            << "неизвестное" << false;
    QTest::newRow("regular expression, types and time") << 0b1011 << "2024-03-15 20:00:00"
                                                        << "2024-03-16 12:00:00"
                                                        << "^насос [12]:" << true;
    QTest::newRow("text that matches nothing") << 0xF << ""
                                               << ""
                                               << "нет такого" << false;
}

void tst_LogTimeline::filtersNarrowTheCounts()
{
    QFETCH(int, types);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, text);
    QFETCH(bool, regex);
    fillSample(3000);
    showLog();
    LogFilter filter;
    filter.types = types;
    if (!from.isEmpty())
        filter.from = QDateTime::fromSecsSinceEpoch(at(qPrintable(from)), Qt::UTC);
    if (!to.isEmpty())
        filter.to = QDateTime::fromSecsSinceEpoch(at(qPrintable(to)), Qt::UTC);
    filter.text = text;
    filter.regex = regex;
    model->setFilter(filter);
    waitForCounts();
    QTRY_VERIFY_WITH_TIMEOUT(!model->isScanning(), 20000);
    const QVector<ShownRecord> records = shownRecords(db, filter);
    QCOMPARE(compareBuckets(*timeline, records), QString());
    // What the bars count is what the table shows.
    QCOMPARE(timeline->countedRecords(), model->rowCount());
    // The bounds are the span shown.
    if (filter.from.isValid())
        QCOMPARE(timeline->viewStart(), filter.from.toSecsSinceEpoch());
    if (filter.to.isValid())
        QCOMPARE(timeline->viewEnd(), filter.to.toSecsSinceEpoch() + 1);

    // Off again: the whole log.
    model->setFilter(LogFilter());
    waitForCounts();
    QCOMPARE(compareBuckets(*timeline, shownRecords(db, LogFilter())), QString());
}

void tst_LogTimeline::textTypedKeyByKey()
{
    fillSample(3000);
    showLog();
    // Each key restarts the search; the records found before it must not stay counted.
    LogFilter filter;
    for (const QChar c : QStringLiteral("пользователь ad")) {
        filter.text += c;
        model->setFilter(filter);
        QCoreApplication::processEvents();
    }
    waitForCounts();
    QCOMPARE(compareBuckets(*timeline, shownRecords(db, filter)), QString());
    QVERIFY(timeline->countedRecords() > 0);
}

void tst_LogTimeline::fillSample(int records)
{
    QCOMPARE(addCaptions(db), QString());
    QCOMPARE(addRecords(db, records, 1, &clock), QString());
}

void tst_LogTimeline::appendedRecordsAreCounted_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("no filter") << "";
    QTest::newRow("a text: the records the search finds") << "насос";
}

void tst_LogTimeline::appendedRecordsAreCounted()
{
    QFETCH(QString, text);
    fillSample(2000);
    timeline->setMaxBuckets(150);
    LogFilter filter;
    filter.text = text;
    model->setFilter(filter);
    showLog();
    const TimelineStep before = timeline->grid().step;

    // A download: a record at a time, each followed by a refresh.
    for (int record = 0; record < 5; ++record) {
        QCOMPARE(addRecords(db, 1, 10 + record, &clock), QString());
        model->refresh();
        waitForCounts();
        QCOMPARE(compareBuckets(*timeline, shownRecords(db, filter)), QString());
    }
    QCOMPARE(timeline->grid().step, before);

    // A record far past the axis: the span grows, and the buckets with it.
    clock += 40 * 86400;
    QCOMPARE(addRecords(db, 1, 40, &clock), QString());
    model->refresh();
    waitForCounts();
    QCOMPARE(compareBuckets(*timeline, shownRecords(db, filter)), QString());
    QVERIFY(timeline->grid().step != before);

    // Many at once are read in the background.
    QCOMPARE(addRecords(db, 5000, 41, &clock), QString());
    model->refresh();
    QVERIFY(timeline->isComputing());
    waitForCounts();
    QTRY_VERIFY_WITH_TIMEOUT(!model->isScanning(), 20000);
    QCOMPARE(compareBuckets(*timeline, shownRecords(db, filter)), QString());
    QCOMPARE(timeline->countedRecords(), model->rowCount());
}

void tst_LogTimeline::changedCaptionsAreSearchedAgain()
{
    fillSample(1000);
    LogFilter filter;
    filter.text = QStringLiteral("питания");
    model->setFilter(filter);
    showLog();
    const int before = timeline->countedRecords();
    QVERIFY(before > 0);

    // A download reads the captions anew ("Включение питания" became "Запуск питания")
    // and more records: the search runs over the whole log again, and counts each record
    // once.
    QCOMPARE(addCaption(db, 2, QStringLiteral("Запуск питания")), QString());
    QCOMPARE(addRecords(db, 30, 2, &clock), QString());
    model->refresh();
    waitForCounts();
    QVERIFY(timeline->countedRecords() >= before);
    QCOMPARE(compareBuckets(*timeline, shownRecords(db, filter)), QString());
}

void tst_LogTimeline::valuesOfAnotherProgram()
{
    // Times as text, reals, NULL, before year 1 and past 9999; types as text and reals:
    // each counted where the table shows it, or not at all when it shows no time.
    QCOMPARE(addCaptions(db), QString());
    QCOMPARE(makeForeignLog(db), QString());
    showLog();
    const QVector<ShownRecord> records = shownRecords(db, LogFilter());
    QVERIFY(records.size() >= 5);
    timeline->setMaxBuckets(100000);
    QCOMPARE(compareBuckets(*timeline, records), QString());
    timeline->setMaxBuckets(20);
    QCOMPARE(compareBuckets(*timeline, records), QString());

    LogFilter errors;
    errors.types = 0b0100;
    model->setFilter(errors);
    waitForCounts();
    QCOMPARE(compareBuckets(*timeline, shownRecords(db, errors)), QString());
}

void tst_LogTimeline::packedTimesKeepTheirDevice_data()
{
    QTest::addColumn<qint64>("second");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("device");
    // The first second of year 1 and the last of 9999 bound what the table shows.
    QTest::newRow("year 1, first device") << Q_INT64_C(-62135596800) << 3 << 0;
    QTest::newRow("before 1970, second device") << qint64(-1) << 0 << 1;
    QTest::newRow("a device's clock") << qint64(1710460800) << 2 << 5;
    QTest::newRow("year 9999, last slot") << Q_INT64_C(253402300799) << 1 << int(RecordTimes::DeviceSlots - 1);
}

void tst_LogTimeline::packedTimesKeepTheirDevice()
{
    QFETCH(qint64, second);
    QFETCH(int, type);
    QFETCH(int, device);
    // As one value, and in a list between two others, as the merged log gives them.
    const qint64 value = RecordTimes::packed(second, type, device);
    RecordTimes one;
    one.appendPacked(value, true);
    RecordTimes listed;
    QVERIFY(listed.appendPackedList(QStringLiteral("%1,%2,%3")
                                        .arg(RecordTimes::packed(second + 7, 0, 0))
                                        .arg(value)
                                        .arg(RecordTimes::packed(second - 7, 3, 1)),
                                    true));
    for (const RecordTimes *times : {&one, &listed}) {
        QCOMPARE(times->count(device, type, second, second + 1), 1);
        QCOMPARE(times->count(type, second, second + 1), 1);
        QCOMPARE(times->count(device, (type + 1) % RecordTypeCount, second, second + 1), 0);
        QCOMPARE(times->count(device + 1, type, second, second + 1), 0);
        QVERIFY(times->deviceCount() > device);
    }
    QCOMPARE(listed.size(), 3);
    QCOMPARE(listed.first(), second - 7);
    QCOMPARE(listed.last(), second + 7);
    // Without devices the same value is another record: the device is not guessed.
    RecordTimes plain;
    plain.appendPacked(RecordTimes::packed(second, type));
    QCOMPARE(plain.deviceCount(), 1);
    QCOMPARE(plain.count(0, type, second, second + 1), 1);
}

void tst_LogTimeline::closedLogShowsNothing()
{
    fillSample(500);
    showLog();
    QVERIFY(timeline->hasView());
    model->closeLog();
    QVERIFY(!timeline->hasView());
    QVERIFY(!timeline->showsLog());
    QVERIFY(!timeline->isComputing());
    // The file can go: nothing holds it open.
    db.close();
    QVERIFY(QFile::remove(dir->filePath(QStringLiteral("log.db"))));
}

void tst_LogTimeline::axisLabels_data()
{
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<int>("width");
    QTest::addColumn<QStringList>("labels");

    QTest::newRow("two years: quarters, the year in January")
        << at("2023-01-01 00:00:00") << at("2025-01-01 00:00:00") << 400
        << QStringList{"янв 2023", "июл", "окт", "2024", "апр", "июл", "окт"};
    // Marks every 6 hours (a label may read "16 мар", 55 pixels with its room); 06:00
    // would touch the date on the left.
    QTest::newRow("a day: hours") << at("2024-03-15 00:00:00") << at("2024-03-16 00:00:00") << 400
                                  << QStringList{"2024-03-15 00:00", "12:00", "18:00"};
    QTest::newRow("an evening into the night: the new day named")
        << at("2024-03-15 20:00:00") << at("2024-03-16 04:00:00") << 300
        << QStringList{"2024-03-15 20:00", "16 мар", "02:00"};
    QTest::newRow("a minute: seconds") << at("2024-03-15 13:45:00") << at("2024-03-15 13:46:00") << 400
                                       << QStringList{"2024-03-15 13:45:00", "13:45:30", "13:45:45"};
    // 2030 would run past the right edge.
    QTest::newRow("fifty years: decades") << at("1980-06-01 00:00:00") << at("2030-06-01 00:00:00") << 300
                                          << QStringList{"1980", "1990", "2000", "2010", "2020"};
}

void tst_LogTimeline::axisLabels()
{
    QFETCH(qint64, start);
    QFETCH(qint64, end);
    QFETCH(int, width);
    QFETCH(QStringList, labels);
    QStringList shown;
    for (const TimelineTick &tick : timelineTicks(start, end, width, sevenPixels)) {
        if (!tick.text.isEmpty())
            shown << tick.text;
    }
    QCOMPARE(shown, labels);
}

void tst_LogTimeline::axisLabelsNeverCrowd()
{
    QRandomGenerator random(3);
    for (int round = 0; round < 300; ++round) {
        const qint64 start = at("2000-01-01 00:00:00") + qint64(random.bounded(4e9));
        const qint64 span = qint64(std::pow(10.0, 1.0 + random.bounded(9.5)));
        const int width = random.bounded(40, 2000);
        const QVector<TimelineTick> ticks = timelineTicks(start, start + span, width, sevenPixels);
        double lastX = -1;
        int labelsEnd = -1000;
        const QString where = QStringLiteral("%1 + %2 s on %3 px").arg(timelineTimeText(start)).arg(span).arg(width);
        for (const TimelineTick &tick : ticks) {
            QVERIFY2(tick.x >= 0 && tick.x <= width && tick.x >= lastX, qPrintable(where));
            QVERIFY2(tick.second >= start && tick.second < start + span, qPrintable(where));
            lastX = tick.x;
            if (tick.text.isEmpty())
                continue;
            const int left = int(tick.x) + (tick.mark ? 3 : 0);
            QVERIFY2(left > labelsEnd, qPrintable(where + QStringLiteral(": \"%1\" overlaps").arg(tick.text)));
            labelsEnd = left + sevenPixels(tick.text);
            QVERIFY2(labelsEnd <= width, qPrintable(where + QStringLiteral(": \"%1\" runs past").arg(tick.text)));
        }
        QVERIFY2(ticks.size() <= width, qPrintable(where));
    }
}

void tst_LogTimeline::spanTexts_data()
{
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("until");
    QTest::addColumn<TimelineStep>("step");
    QTest::addColumn<QString>("text");

    QTest::newRow("an hour") << at("2024-03-15 13:00:00") << at("2024-03-15 14:00:00")
                             << TimelineStep{TimelineUnit::Hour, 1} << "2024-03-15 13:00 – 14:00";
    QTest::newRow("the last hour of a day")
        << at("2024-03-15 23:00:00") << at("2024-03-16 00:00:00") << TimelineStep{TimelineUnit::Hour, 1}
        << "2024-03-15 23:00 – 2024-03-16 00:00";
    QTest::newRow("a second") << at("2024-03-15 13:45:30") << at("2024-03-15 13:45:31")
                              << TimelineStep{TimelineUnit::Second, 1} << "2024-03-15 13:45:30";
    QTest::newRow("a day") << at("2024-03-15 00:00:00") << at("2024-03-16 00:00:00")
                           << TimelineStep{TimelineUnit::Day, 1} << "2024-03-15";
    QTest::newRow("a week") << at("2024-03-11 00:00:00") << at("2024-03-18 00:00:00")
                            << TimelineStep{TimelineUnit::Week, 1} << "2024-03-11 – 2024-03-17";
    QTest::newRow("a month") << at("2024-03-01 00:00:00") << at("2024-04-01 00:00:00")
                             << TimelineStep{TimelineUnit::Month, 1} << "март 2024";
    QTest::newRow("a quarter") << at("2024-01-01 00:00:00") << at("2024-04-01 00:00:00")
                               << TimelineStep{TimelineUnit::Month, 3} << "январь – март 2024";
    QTest::newRow("a decade") << at("2020-01-01 00:00:00") << at("2030-01-01 00:00:00")
                              << TimelineStep{TimelineUnit::Year, 10} << "2020–2029";
    QTest::newRow("a week cut by the view")
        << at("2024-03-13 08:00:00") << at("2024-03-18 00:00:00") << TimelineStep{TimelineUnit::Week, 1}
        << "2024-03-13 08:00:00 – 2024-03-17 23:59:59";
}

void tst_LogTimeline::spanTexts()
{
    QFETCH(qint64, from);
    QFETCH(qint64, until);
    QFETCH(TimelineStep, step);
    QFETCH(QString, text);
    QCOMPARE(timelineSpanText(from, until, step), text);
}

QTEST_MAIN(tst_LogTimeline)
#include "tst_logtimeline.moc"
