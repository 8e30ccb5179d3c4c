// The timeline strip in the window as a user works it: where it sits and how tall it
// is, the tool tip of a bar, a click that goes to a bar's first record, a drag that
// zooms in through the filter bar and the ways back to the whole log, its colours, and
// new records of a download.

#include "app/mainwindow.h"
#include "logview/logtimeline.h"
#include "logview/logtimelinestrip.h"

#include "tests/support/logwindow.h"
#include "tests/support/samplelog.h"

#include <QDateTimeEdit>
#include <QHelpEvent>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>
#include <QToolTip>

using namespace LogFixture;
using namespace LogWindow;
using namespace SampleLog;

namespace {

quint32 deviceTime(const QString &text)
{
    return quint32(at(text).toSecsSinceEpoch() - DeviceEpochUnixSeconds);
}

void sendMouse(QWidget *widget, QEvent::Type type, int x, Qt::MouseButtons buttons)
{
    const QPoint pos(x, widget->height() / 3);
    QMouseEvent event(type, pos, widget->mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

} // namespace

class tst_LogTimelineStrip : public QObject, protected LogWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stripAsTheUserFindsIt();
    void toolTipOfABar();
    void clickGoesToTheFirstRecordOfABar_data();
    void clickGoesToTheFirstRecordOfABar();
    void dragZoomsInAndTheWholeLogComesBack_data();
    void dragZoomsInAndTheWholeLogComesBack();
    void barsInTheColoursOfTheTypeIcons();
    void newRecordsOfADownload();
    void emptyLog();

private:
    LogTimelineStrip *strip() const { return child<LogTimelineStrip>("timeline"); }
    LogTimeline *timeline() const { return strip()->timeline(); }
    // Makes a log file with `fill`, opens it through the Open command, and waits for the
    // bars.
    void open(const std::function<void()> &fill);
    void waitForBars() const;
    // The x of the middle of a bar, in the strip.
    int xOfBucket(int bucket) const;
    // The first row the table shows whose time lies in [from, until); -1 for none.
    int firstRowBetween(qint64 from, qint64 until, const LogFilter &filter) const;
};

void tst_LogTimelineStrip::initTestCase()
{
    prepareSettings();
}

void tst_LogTimelineStrip::init()
{
    showWindow();
}

void tst_LogTimelineStrip::cleanup()
{
    closeWindow();
}

void tst_LogTimelineStrip::open(const std::function<void()> &fill)
{
    openLog(fill);
    waitForBars();
}

void tst_LogTimelineStrip::waitForBars() const
{
    QTRY_VERIFY_WITH_TIMEOUT(!timeline()->isComputing(), 20000);
}

int tst_LogTimelineStrip::xOfBucket(int bucket) const
{
    const QRect plot = strip()->plotRect();
    const double middle = (timeline()->bucketFrom(bucket) + timeline()->bucketUntil(bucket)) / 2.0;
    return plot.left()
        + int((middle - timeline()->viewStart()) * plot.width() / (timeline()->viewEnd() - timeline()->viewStart()));
}

int tst_LogTimelineStrip::firstRowBetween(qint64 from, qint64 until, const LogFilter &filter) const
{
    const QList<ExpectedRow> rows = expectedRows(fixture, filter);
    for (int row = 0; row < rows.size(); ++row) {
        const qint64 second = at(rows[row].time.toString()).toSecsSinceEpoch();
        if (second >= from && second < until)
            return row;
    }
    return -1;
}

void tst_LogTimelineStrip::stripAsTheUserFindsIt()
{
    QCOMPARE(window->size(), QSize(800, 600));
    QVERIFY(strip() != nullptr && strip()->isVisible());
    // Between the filter bar under the toolbar and the table, and no taller than it must be.
    QVERIFY(child<QWidget>("filterBar")->geometry().bottom() < strip()->geometry().top());
    QVERIFY(strip()->geometry().bottom() < table()->geometry().top());
    QVERIFY2(strip()->height() >= 60 && strip()->height() <= 80, qPrintable(QString::number(strip()->height())));
    QVERIFY(!strip()->accessibleName().isEmpty());
    QVERIFY(strip()->accessibleDescription().contains(QStringLiteral("нет записей")));
    // Before a log is open it shows nothing, and draws without trouble.
    QVERIFY(!strip()->grab().isNull());

    open([this] {
        QCOMPARE(addCaptions(fixture), QString());
        QCOMPARE(addRecords(fixture, 3000, 1, &clock), QString());
    });
    QVERIFY(timeline()->hasView());
    QCOMPARE(timeline()->countedRecords(), 3000);
    QVERIFY(timeline()->maxBuckets() >= strip()->plotRect().width() / LogTimelineStrip::MinBarWidth);
    QVERIFY2(strip()->accessibleDescription().contains(QStringLiteral("записей: 3 000")),
             qPrintable(strip()->accessibleDescription()));

    // A taller window gives the table the room, a wider one the timeline more bars.
    const int height = strip()->height();
    const int bars = timeline()->maxBuckets();
    window->resize(1400, 900);
    QTRY_COMPARE(window->size(), QSize(1400, 900));
    QCOMPARE(strip()->height(), height);
    QTRY_VERIFY(timeline()->maxBuckets() > bars);
    QCOMPARE(timeline()->countedRecords(), 3000);
}

void tst_LogTimelineStrip::toolTipOfABar()
{
    open([this] {
        QCOMPARE(addCaptions(fixture), QString());
        QCOMPARE(addRecords(fixture, 3000, 1, &clock), QString());
    });
    // The tallest bar.
    int bucket = 0;
    for (int b = 0; b < timeline()->buckets().size(); ++b) {
        if (timeline()->buckets()[b].total() > timeline()->buckets()[bucket].total())
            bucket = b;
    }
    const qint64 from = timeline()->bucketFrom(bucket);
    const qint64 until = timeline()->bucketUntil(bucket);
    int expected[RecordTypeCount] = {};
    for (const ExpectedRow &row : expectedRows(fixture, LogFilter())) {
        const qint64 second = at(row.time.toString()).toSecsSinceEpoch();
        if (second >= from && second < until)
            ++expected[recordTypeIndex(row.type)];
    }

    const QPoint pos(xOfBucket(bucket), strip()->height() / 3);
    QTest::mouseMove(strip(), pos);
    QHelpEvent help(QEvent::ToolTip, pos, strip()->mapToGlobal(pos));
    QApplication::sendEvent(strip(), &help);
    QTRY_VERIFY(QToolTip::isVisible());
    const QStringList lines = QToolTip::text().split(QLatin1Char('\n'));
    QCOMPARE(lines.value(0), timelineSpanText(from, until, timeline()->grid().step));
    QCOMPARE(lines.value(1), QStringLiteral("Записей: %1").arg(expected[0] + expected[1] + expected[2] + expected[3]));
    QCOMPARE(
        lines.mid(2),
        (QStringList{QStringLiteral("Информация: %1").arg(expected[0]),
                     QStringLiteral("Предупреждение: %1").arg(expected[1]),
                     QStringLiteral("Ошибка: %1").arg(expected[2]), QStringLiteral("Изменение: %1").arg(expected[3])}));
    QToolTip::hideText();
}

void tst_LogTimelineStrip::clickGoesToTheFirstRecordOfABar_data()
{
    QTest::addColumn<QString>("time"); // a time within the bar clicked
    QTest::addColumn<int>("types");    // the filter's
    QTest::addColumn<int>("row");      // -1: the table stays where it was

    // Records at 10:00, 10:05 (error), 10:10, the clock set back to 09:00, then 10:20
    // (error), 10:21 and, after a gap, 14:00 (error).
    QTest::newRow("a bar of one record") << "2024-03-15 10:05:30" << 0xF << 1;
    QTest::newRow("after the clock was set back") << "2024-03-15 09:00:00" << 0xF << 3;
    QTest::newRow("two records: the first of them") << "2024-03-15 10:20:30" << 0xF << 4;
    QTest::newRow("an empty bar: the next record after it") << "2024-03-15 12:00:00" << 0xF << 6;
    QTest::newRow("among the errors shown") << "2024-03-15 10:21:00" << 0b0100 << 1;
}

void tst_LogTimelineStrip::clickGoesToTheFirstRecordOfABar()
{
    QFETCH(QString, time);
    QFETCH(int, types);
    QFETCH(int, row);
    open([this] {
        QCOMPARE(addCaption(fixture, 1, QStringLiteral("Событие #u")), QString());
        const QList<QPair<QString, int>> records = {
            {"2024-03-15 10:00:00", 0}, {"2024-03-15 10:05:00", 2}, {"2024-03-15 10:10:00", 1},
            {"2024-03-15 09:00:00", 3}, {"2024-03-15 10:20:00", 2}, {"2024-03-15 10:21:00", 0},
            {"2024-03-15 14:00:00", 2},
        };
        for (int index = 0; index < records.size(); ++index)
            QCOMPARE(addRecord(fixture, 1, records[index].second, QByteArray(1, char(index)),
                               deviceTime(records[index].first), quint32(index)),
                     QString());
    });
    LogFilter filter;
    for (int type = 0; type < RecordTypeCount; ++type) {
        if (!(types & (1 << type))) {
            QTest::mouseClick(child<QToolButton>(qPrintable(QStringLiteral("filterType%1").arg(type))), Qt::LeftButton);
            filter.types &= ~(1 << type);
        }
    }
    QTRY_COMPARE(table()->model()->rowCount(), expectedRows(fixture, filter).size());
    waitForBars();
    const int bucket = timeline()->grid().bucketAt(at(time).toSecsSinceEpoch());
    QVERIFY(bucket >= 0);
    // The bar's own records decide, in the table's order.
    if (timeline()->buckets()[bucket].total() > 0)
        QCOMPARE(firstRowBetween(timeline()->bucketFrom(bucket), timeline()->bucketUntil(bucket), filter), row);

    QTest::mouseClick(strip(), Qt::LeftButton, Qt::NoModifier, QPoint(xOfBucket(bucket), strip()->height() / 3));
    QTRY_COMPARE(table()->currentIndex().row(), row);
    QVERIFY(table()->visualRect(table()->currentIndex()).intersects(table()->viewport()->rect()));
}

void tst_LogTimelineStrip::dragZoomsInAndTheWholeLogComesBack_data()
{
    QTest::addColumn<QString>("back"); // how the user returns to the whole log
    QTest::newRow("double click") << "double click";
    QTest::newRow("Esc in the bar") << "Esc";
    QTest::newRow("reset button") << "filterClear";
}

void tst_LogTimelineStrip::dragZoomsInAndTheWholeLogComesBack()
{
    QFETCH(QString, back);
    open([this] {
        QCOMPARE(addCaptions(fixture), QString());
        QCOMPARE(addRecords(fixture, 3000, 1, &clock), QString());
    });
    const qint64 first = timeline()->viewStart();
    const qint64 end = timeline()->viewEnd();
    // From a third to two thirds of the strip: the bars under both ends are taken whole.
    const QRect plot = strip()->plotRect();
    const int fromX = plot.left() + plot.width() / 3;
    const int toX = plot.left() + plot.width() * 2 / 3;
    const int firstBar = strip()->bucketAtX(fromX);
    const int lastBar = strip()->bucketAtX(toX);
    QVERIFY(firstBar >= 0 && lastBar > firstBar);
    LogFilter zoomed;
    zoomed.from = QDateTime::fromSecsSinceEpoch(timeline()->bucketFrom(firstBar), Qt::UTC);
    zoomed.to = QDateTime::fromSecsSinceEpoch(timeline()->bucketUntil(lastBar) - 1, Qt::UTC);

    sendMouse(strip(), QEvent::MouseButtonPress, fromX, Qt::LeftButton);
    for (int x = fromX; x <= toX; x += 10)
        sendMouse(strip(), QEvent::MouseMove, x, Qt::LeftButton);
    sendMouse(strip(), QEvent::MouseButtonRelease, toX, Qt::NoButton);

    // The bar, the table and the count follow; the strip shows the span.
    QCOMPARE(child<QDateTimeEdit>("filterFrom")->dateTime(), zoomed.from);
    QCOMPARE(child<QDateTimeEdit>("filterTo")->dateTime(), zoomed.to);
    const int shown = expectedRows(fixture, zoomed).size();
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(shown, 3000), 20000);
    QCOMPARE(table()->model()->rowCount(), shown);
    waitForBars();
    QCOMPARE(timeline()->viewStart(), zoomed.from.toSecsSinceEpoch());
    QCOMPARE(timeline()->viewEnd(), zoomed.to.toSecsSinceEpoch() + 1);
    QCOMPARE(timeline()->countedRecords(), shown);

    if (back == QLatin1String("double click")) {
        QTest::mouseDClick(strip(), Qt::LeftButton, Qt::NoModifier, QPoint(xOfBucket(0), strip()->height() / 3));
    } else if (back == QLatin1String("Esc")) {
        child<QLineEdit>("filterText")->setFocus();
        QTest::keyClick(child<QLineEdit>("filterText"), Qt::Key_Escape);
    } else {
        QTest::mouseClick(child<QToolButton>("filterClear"), Qt::LeftButton);
    }
    QCOMPARE(child<QDateTimeEdit>("filterFrom")->text(), QStringLiteral("—"));
    QCOMPARE(child<QDateTimeEdit>("filterTo")->text(), QStringLiteral("—"));
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(3000, 3000), 20000);
    waitForBars();
    QCOMPARE(timeline()->viewStart(), first);
    QCOMPARE(timeline()->viewEnd(), end);
    QCOMPARE(timeline()->countedRecords(), 3000);
}

void tst_LogTimelineStrip::barsInTheColoursOfTheTypeIcons()
{
    // Each type in a span of its own: bars of one colour each.
    open([this] {
        QCOMPARE(addCaption(fixture, 1, QStringLiteral("Событие")), QString());
        for (int type = 0; type < RecordTypeCount; ++type) {
            for (int n = 0; n < 20; ++n)
                QCOMPARE(addRecord(fixture, 1, type, QByteArray(),
                                   deviceTime(QStringLiteral("2024-03-15 10:0%1:00").arg(2 * type)) + quint32(n)),
                         QString());
        }
    });
    const QImage shot = strip()->grab().toImage();
    QSet<QRgb> colours;
    for (int type = 0; type < RecordTypeCount; ++type) {
        const int bucket = timeline()->grid().bucketAt(
            at(QStringLiteral("2024-03-15 10:0%1:00").arg(2 * type)).toSecsSinceEpoch());
        QVERIFY(bucket >= 0);
        const QColor bar = shot.pixelColor(xOfBucket(bucket), strip()->plotRect().bottom() - 2);
        QCOMPARE(bar, LogTimelineStrip::typeColour(type));
        // The colour is one the icon is drawn with.
        const QImage icon
            = QImage(QString::fromLatin1(RecordTypeIconPaths[type])).convertToFormat(QImage::Format_ARGB32);
        bool inIcon = false;
        for (int y = 0; y < icon.height() && !inIcon; ++y) {
            for (int x = 0; x < icon.width() && !inIcon; ++x)
                inIcon = icon.pixel(x, y) == bar.rgba();
        }
        QVERIFY2(inIcon, qPrintable(bar.name()));
        colours.insert(bar.rgb());
    }
    QCOMPARE(colours.size(), RecordTypeCount);
}

void tst_LogTimelineStrip::newRecordsOfADownload()
{
    open([this] {
        QCOMPARE(addCaptions(fixture), QString());
        QCOMPARE(addRecords(fixture, 1000, 1, &clock), QString());
    });
    // A download stores records and refreshes the view after each.
    for (int record = 0; record < 5; ++record) {
        QCOMPARE(addRecords(fixture, 1, 10 + record, &clock), QString());
        window->refreshLogView();
        QCOMPARE(timeline()->countedRecords(), 1001 + record);
    }
    QVERIFY2(strip()->accessibleDescription().contains(QStringLiteral("записей: 1 005")),
             qPrintable(strip()->accessibleDescription()));
}

void tst_LogTimelineStrip::emptyLog()
{
    open([] {});
    QVERIFY(!timeline()->hasView());
    QVERIFY(strip()->accessibleDescription().contains(QStringLiteral("нет записей")));
    QVERIFY(!strip()->grab().isNull());
    // Nothing to point at, click or drag across.
    QCOMPARE(strip()->bucketAtX(strip()->width() / 2), -1);
    QTest::mouseClick(strip(), Qt::LeftButton, Qt::NoModifier, QPoint(strip()->width() / 2, 20));
    QTest::mouseDClick(strip(), Qt::LeftButton, Qt::NoModifier, QPoint(strip()->width() / 2, 20));
    QCOMPARE(child<QDateTimeEdit>("filterFrom")->text(), QStringLiteral("—"));
}

QTEST_MAIN(tst_LogTimelineStrip)
#include "tst_logtimelinestrip.moc"
