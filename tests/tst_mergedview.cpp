// Several log files in the window at once: opened together or added, shown merged on one
// time axis with the device first, filtered and counted over all of them, exported as
// khronar-fetch exports them, and closed.

#include "app/mainwindow.h"
#include "logaccess/clockoffsets.h"
#include "logaccess/csvexport.h"
#include "logaccess/mergedlogs.h"
#include "logview/logtimeline.h"
#include "logview/logtimelinestrip.h"

#include "tests/support/logwindow.h"
#include "tests/support/modalanswer.h"
#include "tests/support/notlogfiles.h"
#include "tests/support/stationlogs.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDialog>
#include <QMenu>
#include <QScrollBar>
#include <QSpinBox>
#include <QTextCodec>
#include <QTimer>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QToolTip>

#include <algorithm>

using LogWindow::counted;

namespace {

void type(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key(c.toUpper().unicode()), QString(c), Qt::NoModifier);
}

// What a user types into a file dialog to pick several files: each name in quotes.
QString picked(const QStringList &paths)
{
    QStringList quoted;
    for (const QString &path : paths)
        quoted << QLatin1Char('"') + path + QLatin1Char('"');
    return quoted.join(QLatin1Char(' '));
}

// The records of the log file at `path` as the table shows them,
// "device|time|message|type index".
QStringList recordsOf(const QString &path)
{
    QStringList rows;
    const QString device = MergedLogs::deviceNameOfFile(path);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reference"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(path);
        const StoreResult<LogViewStatements> statements = db.open()
            ? LogViewStatements::ofLogFile(db)
            : StoreResult<LogViewStatements>(storeFailure(StoreError::Kind::Io, "open"));
        const StoreResult<qint64> read = statements
            ? readLogRecordsAfter(db, *statements, 0,
                                  [&](const ShownRecord &record) {
                                      rows << QStringList(
                                                  {device, record.time, record.message, QString::number(record.type)})
                                                  .join(QLatin1Char('|'));
                                  })
            : StoreResult<qint64>(Failure(statements.error()));
        if (!read)
            rows << QStringLiteral("read failed: ") + read.error().text;
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reference"));
    return rows;
}

// The merge by hand: by time, then by device name, each device's records in its order;
// with `filter`, those of its types whose message holds its text (in any case), each
// "device|time|message". A device given a clock offset (by name) has its times moved by
// it, and its name marked.
QStringList mergedByHand(const QStringList &paths, const LogFilter &filter = LogFilter(),
                         const QHash<QString, int> &offsets = {})
{
    QStringList rows;
    for (const QString &path : paths) {
        QStringList records = recordsOf(path);
        const int offset = offsets.value(MergedLogs::deviceNameOfFile(path));
        for (QString &record : records) {
            QStringList fields = record.split(QLatin1Char('|'));
            const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
            QDateTime time = QDateTime::fromString(fields[1], format);
            time.setTimeSpec(Qt::UTC);
            fields[1] = time.addSecs(offset).toString(format);
            record = fields.join(QLatin1Char('|'));
        }
        rows += records;
    }
    std::stable_sort(rows.begin(), rows.end(), [](const QString &a, const QString &b) {
        const QString aTime = a.section(QLatin1Char('|'), 1, 1);
        const QString bTime = b.section(QLatin1Char('|'), 1, 1);
        return aTime != bTime ? aTime < bTime : a.section(QLatin1Char('|'), 0, 0) < b.section(QLatin1Char('|'), 0, 0);
    });
    QStringList kept;
    for (const QString &row : rows) {
        if (filter.showsType(row.section(QLatin1Char('|'), 3, 3).toInt())
            && row.section(QLatin1Char('|'), 2, 2).contains(filter.text, Qt::CaseInsensitive))
            kept << row.section(QLatin1Char('|'), 0, 2);
    }
    for (QString &row : kept) {
        const QString device = row.section(QLatin1Char('|'), 0, 0);
        row.replace(0, device.size(), deviceLabel(device, offsets.value(device)));
    }
    return kept;
}

// khronar-fetch's merged export of the files at `paths` with `filter`.
QByteArray fetchExport(const QStringList &paths, const LogFilter &filter)
{
    const StoreResult<std::unique_ptr<MergedLogs>> logs = MergedLogs::openFiles(paths, OpenLogSettings());
    if (!logs)
        return "cannot open: " + logs.error().text.toUtf8();
    QBuffer out;
    out.open(QIODevice::WriteOnly | QIODevice::Text);
    const StoreStatus written = writeMergedLogCsv(logs.value()->mergedLogs(), out, filter);
    return written ? out.data() : "cannot export: " + written.error().text.toUtf8();
}

} // namespace

class tst_MergedView : public QObject, protected LogWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void severalFilesOpenedTogether();
    void logsAddedToTheOneShown();
    void fileThatCannotBeReadIsNamed();
    void closedWhileMerging();
    void clockOffsetOfOneDevice();
    void timelineByDevice();
    void newestRecordsShowFirst();
    void recordsStoredMeanwhileComeIntoView();

private:
    // The station's three devices as log files in the test's folder, 900 records.
    QStringList makeStation();
    // Every row of the table from `from` on, "device|time|message".
    QStringList shownRows(int from = 0) const;
    // The files merges left in the temporary folder.
    QStringList leftInTemp() const;

    std::unique_ptr<QTemporaryDir> mergeTemp;
};

void tst_MergedView::initTestCase()
{
    prepareSettings();
    // The merged files go to a folder of the test's own, to see that they go.
    mergeTemp = std::make_unique<QTemporaryDir>();
    QVERIFY(mergeTemp->isValid());
    StationLogs::useTempFolder(mergeTemp->path());
}

void tst_MergedView::init()
{
    showWindow();
}

void tst_MergedView::cleanup()
{
    closeWindow();
}

QStringList tst_MergedView::makeStation()
{
    struct Device {
        QString name;
        int records;
        quint32 start;
    };
    const Device station[] = {
        {QStringLiteral("ввод-2"), 300, LogFixture::March15th2024 + 60},
        {QStringLiteral("ввод-1"), 200, LogFixture::March15th2024},
        {QStringLiteral("резерв"), 400, LogFixture::March15th2024 + 20},
    };
    QStringList paths;
    for (int d = 0; d < 3; ++d) {
        const QString path = QDir(dir->path()).filePath(station[d].name + QStringLiteral(".db"));
        if (!StationLogs::makeLogFile(path, station[d].records, quint32(d + 3), station[d].start).isEmpty())
            return {};
        paths << path;
    }
    return paths;
}

QStringList tst_MergedView::shownRows(int from) const
{
    QStringList rows;
    const QAbstractItemModel *model = table()->model();
    for (int row = from; row < model->rowCount(); ++row) {
        // The view of several logs reads its pages on a thread of its own: a row shows
        // empty until its page is in.
        if (!QTest::qWaitFor([&] { return model->index(row, 1).data().isValid(); }, 20000))
            return rows;
        rows << QStringList({model->index(row, 0).data().toString(), model->index(row, 2).data().toString(),
                             model->index(row, 3).data().toString()})
                    .join(QLatin1Char('|'));
    }
    return rows;
}

QStringList tst_MergedView::leftInTemp() const
{
    QStringList left = QDir(mergeTemp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    left.removeAll(QFileInfo(dir->path()).fileName());
    return left;
}

// Three files picked at once: the device comes first, the rows are merged by time, the
// bar counts and filters over all three, and the export is khronar-fetch's merged export
// of the same files with the same filter. Closed, the window shows no log, and the
// merged file is gone.
void tst_MergedView::severalFilesOpenedTogether()
{
    const QStringList paths = makeStation();
    QCOMPARE(paths.size(), 3);
    const auto dialog = ModalAnswer::fileDialog(picked(paths));
    child<QAction>("actionOpen")->trigger();
    QVERIFY(dialog->seen);
    QCOMPARE(dialog->title, QStringLiteral("Открыть файл журнала"));

    QTRY_VERIFY_WITH_TIMEOUT(table()->model() != nullptr && table()->model()->columnCount() == 5, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(900, 900), 20000);
    const QAbstractItemModel *model = table()->model();
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Устройство"));
    QCOMPARE(model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Тип"));
    QCOMPARE(model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Время"));
    QCOMPARE(model->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Сообщение"));
    QVERIFY(table()->isColumnHidden(4));
    QVERIFY(!table()->isColumnHidden(0));
    QCOMPARE(table()->horizontalHeader()->sectionResizeMode(3), QHeaderView::Stretch);
    QCOMPARE(shownRows(), mergedByHand(paths));
    QCOMPARE(leftInTemp().size(), 1);

    // Information off, and a text: counted and exported over all three.
    LogFilter filter;
    QTest::mouseClick(child<QToolButton>("filterType0"), Qt::LeftButton);
    filter.types &= ~1;
    type(child<QLineEdit>("filterText"), QStringLiteral("насос"));
    filter.text = QStringLiteral("насос");
    const QByteArray reference = fetchExport(paths, filter);
    const int lines = reference.count('\n');
    QVERIFY(lines > 0 && lines < 900);
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(lines, 900), 20000);
    QCOMPARE(shownRows(), mergedByHand(paths, filter));
    QCOMPARE(exportTable(QDir(dir->path()).filePath(QStringLiteral("станция.csv"))), reference);

    // One device unchecked in the device filter: exactly its rows go, from the table,
    // the count and the export.
    auto *devices = child<QListWidget>("filterDeviceList");
    QVERIFY(child<QToolButton>("filterDevice")->isVisible());
    QCOMPARE(devices->count(), 3);
    QCOMPARE(devices->item(2)->text(), QStringLiteral("резерв"));
    devices->item(2)->setCheckState(Qt::Unchecked);
    const QStringList others = paths.mid(0, 2);
    const QByteArray withoutReserve = fetchExport(others, filter);
    QVERIFY(withoutReserve.count('\n') > 0 && withoutReserve.count('\n') < lines);
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(withoutReserve.count('\n'), 900), 20000);
    QCOMPARE(shownRows(), mergedByHand(others, filter));
    QCOMPARE(exportTable(QDir(dir->path()).filePath(QStringLiteral("без резерва.csv"))), withoutReserve);
    // The timeline counts what the table shows.
    LogTimeline *timeline = child<LogTimelineStrip>("timeline")->timeline();
    QTRY_COMPARE_WITH_TIMEOUT(timeline->countedRecords(), withoutReserve.count('\n'), 20000);
    QTest::mouseClick(child<QToolButton>("filterClear"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(900, 900), 20000);
    QCOMPARE(devices->item(2)->checkState(), Qt::Checked);

    child<QAction>("actionCloseLogs")->trigger();
    QVERIFY(!child<QToolButton>("filterDevice")->isVisible());
    QVERIFY(table()->model() == nullptr || table()->model()->rowCount() == 0);
    QVERIFY(table()->model() == nullptr || table()->model()->columnCount() == 0);
    QTRY_COMPARE(leftInTemp(), QStringList());
}

// A log shown alone as it always was, then two more added: all three merged. Adding a
// file already shown changes nothing; a download is not started into several logs.
void tst_MergedView::logsAddedToTheOneShown()
{
    const QStringList paths = makeStation();
    QCOMPARE(paths.size(), 3);
    ModalAnswer::fileDialog(paths[0]);
    child<QAction>("actionOpen")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(300, 300), 20000);
    QCOMPARE(table()->model()->columnCount(), 4);
    QCOMPARE(table()->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Тип"));
    QVERIFY(table()->isColumnHidden(3));

    const auto dialog = ModalAnswer::fileDialog(picked({paths[1], paths[2]}));
    QAction *add = child<QAction>("actionAddLog");
    QVERIFY(add != nullptr);
    QCOMPARE(add->text(), QStringLiteral("Добавить журнал…"));
    QCOMPARE(child<QAction>("actionCloseLogs")->text(), QStringLiteral("Закрыть журналы"));
    add->trigger();
    QVERIFY(dialog->seen);
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(900, 900), 20000);
    QCOMPARE(table()->model()->columnCount(), 5);
    QVERIFY(table()->isColumnHidden(4));
    QVERIFY(!table()->isColumnHidden(3));
    QCOMPARE(shownRows(), mergedByHand(paths));

    // The same file again, under another path: nothing changes.
    ModalAnswer::fileDialog(QDir(dir->path())
                                .filePath(QStringLiteral("../%1/%2"))
                                .arg(QFileInfo(dir->path()).fileName(), QFileInfo(paths[1]).fileName()));
    add->trigger();
    // No merge started: the window says so while one runs.
    QCOMPARE(window->statusBar()->currentMessage(), QString());
    QCOMPARE(countText(), counted(900, 900));
    QCOMPARE(leftInTemp().size(), 1);

    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    child<QAction>("actionDownload")->trigger();
    QTRY_VERIFY(box->seen);
    QCOMPARE(box->text,
             QStringLiteral("Показаны несколько журналов: загрузка пишет в один файл журнала, откройте его"));
    QVERIFY(!child<QAction>("actionDownload")->isChecked());
}

// A file among those picked that is no log: the box names it, and the log shown stays.
void tst_MergedView::fileThatCannotBeReadIsNamed()
{
    QStringList paths = makeStation();
    QCOMPARE(paths.size(), 3);
    ModalAnswer::fileDialog(paths[0]);
    child<QAction>("actionOpen")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(300, 300), 20000);

    paths[1] = QDir(dir->path()).filePath(QStringLiteral("смена.db"));
    const NotLogFiles::NotLogFile text(NotLogFiles::Text, paths[1]);
    QVERIFY(text.ready());
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    ModalAnswer::fileDialog(picked(paths));
    child<QAction>("actionOpen")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(box->seen, 20000);
    QVERIFY2(box->text.contains(QDir::toNativeSeparators(paths[1])), qPrintable(box->text));
    QCOMPARE(countText(), counted(300, 300));
    QCOMPARE(table()->model()->columnCount(), 4);
    QCOMPARE(leftInTemp(), QStringList());
}

// Closed before the merge is shown: the merge is dropped, and its file goes with it,
// at the latest once the window has gone (which waits for its background work).
void tst_MergedView::closedWhileMerging()
{
    const QStringList paths = makeStation();
    QCOMPARE(paths.size(), 3);
    ModalAnswer::fileDialog(picked(paths));
    child<QAction>("actionOpen")->trigger();
    // The merge's answer comes back through the event loop, which has not run since.
    QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("Журналы объединяются…"));
    child<QAction>("actionCloseLogs")->trigger();
    QCOMPARE(window->statusBar()->currentMessage(), QString());
    QVERIFY(table()->model() == nullptr || table()->model()->columnCount() == 0);
    window.reset();
    QCOMPARE(leftInTemp(), QStringList());
}

// A clock set 75 s behind, put right from the device column's menu: that device's times
// move and its rows take their places among the others', in the table, the device
// filter and the export; the offset is kept for the file, the file itself unchanged,
// and an offset of 0 takes the mark away.
void tst_MergedView::clockOffsetOfOneDevice()
{
    const QStringList paths = makeStation();
    QCOMPARE(paths.size(), 3);
    const auto fileSum = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
                                              : QByteArray();
    };
    QByteArrayList sums;
    for (const QString &path : paths)
        sums << fileSum(path);
    const auto open = [&] {
        ModalAnswer::fileDialog(picked(paths));
        child<QAction>("actionOpen")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(table()->model() != nullptr && table()->model()->columnCount() == 5, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(900, 900), 20000);
    };
    open();
    QCOMPARE(shownRows(), mergedByHand(paths));

    // The menu of a row of «ввод-1», as a right click opens it; its one action taken.
    const auto setOffset = [this](const QString &device, const QString &typed) {
        const QStringList rows = shownRows();
        const int row = int(std::find_if(rows.begin(), rows.end(),
                                         [&](const QString &r) { return r.startsWith(device + QLatin1Char('|')); })
                            - rows.begin());
        QVERIFY(row < rows.size());
        QString askedAbout;
        QVERIFY(giveClockOffset(row, typed, &askedAbout));
        QVERIFY2(askedAbout.contains(QStringLiteral("«ввод-1»")), qPrintable(askedAbout));
    };
    setOffset(QStringLiteral("ввод-1"), QStringLiteral("-75"));
    const QHash<QString, int> offsets{{QStringLiteral("ввод-1"), -75}};
    const QStringList moved = mergedByHand(paths, LogFilter(), offsets);
    QVERIFY(moved != mergedByHand(paths));
    QTRY_COMPARE_WITH_TIMEOUT(shownRows(), moved, 20000);
    auto *devices = child<QListWidget>("filterDeviceList");
    QCOMPARE(devices->count(), 3);
    // By name, whatever order the dialog gave the files in.
    QCOMPARE(devices->item(0)->text(), QStringLiteral("ввод-1 (-75 с)"));
    QCOMPARE(devices->item(1)->text(), QStringLiteral("ввод-2"));

    // The export: the table's rows, their times as shown.
    const QString csv = systemCsvEncoding().codec->toUnicode(
        exportTable(QDir(dir->path()).filePath(QStringLiteral("станция.csv"))));
    QStringList exported;
    for (const QString &line : csv.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QLatin1Char(';'));
        QVERIFY(fields.size() >= 4);
        exported << fields[0].mid(1, fields[0].size() - 2) + QLatin1Char('|') + fields[1].mid(1, 19);
    }
    QStringList shownTimes;
    for (const QString &row : moved)
        shownTimes << row.section(QLatin1Char('|'), 0, 1);
    QCOMPARE(exported, shownTimes);

    // Kept for the file: shown again, the same.
    child<QAction>("actionCloseLogs")->trigger();
    open();
    QTRY_COMPARE_WITH_TIMEOUT(shownRows(), moved, 20000);
    // Back to 0: no mark, the times as the device keeps them.
    setOffset(QStringLiteral("ввод-1 (-75 с)"), QStringLiteral("0"));
    QTRY_COMPARE_WITH_TIMEOUT(shownRows(), mergedByHand(paths), 20000);
    QCOMPARE(devices->item(0)->text(), QStringLiteral("ввод-1"));
    for (int i = 0; i < paths.size(); ++i)
        QCOMPARE(fileSum(paths[i]), sums[i]);
}

// The timeline by device: each bar holds each device's records of its span, in the
// device's colour, named in the legend and the tool tip; the type and device filters
// narrow each device's part. Off again, the bars are by type as before; one log alone
// has no such choice.
void tst_MergedView::timelineByDevice()
{
    QAction *byDevice = child<QAction>("timelineByDevice");
    QVERIFY(byDevice != nullptr);
    QToolButton *byDeviceButton = nullptr;
    for (QToolButton *button : window->findChildren<QToolButton *>()) {
        if (button->defaultAction() == byDevice)
            byDeviceButton = button;
    }
    QVERIFY(byDeviceButton != nullptr);
    // No log, or one: no such choice.
    QVERIFY(!byDeviceButton->isVisible());
    const QStringList paths = makeStation();
    QCOMPARE(paths.size(), 3);
    ModalAnswer::fileDialog(picked(paths));
    child<QAction>("actionOpen")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(900, 900), 20000);
    auto *strip = child<LogTimelineStrip>("timeline");
    LogTimeline *timeline = strip->timeline();
    QVERIFY(byDeviceButton->isVisible());
    QCOMPARE(byDevice->text(), QStringLiteral("По устройствам"));
    QTRY_VERIFY_WITH_TIMEOUT(!timeline->isComputing(), 20000);
    const int heightByType = strip->height();
    QVERIFY(!timeline->byDevice());

    // Each device's records by time and type, as its own file has them.
    const auto *list = child<QListWidget>("filterDeviceList");
    QCOMPARE(list->count(), 3);
    QVector<QVector<QPair<qint64, int>>> records(3);
    for (const QString &path : paths) {
        const QList<QListWidgetItem *> items = list->findItems(MergedLogs::deviceNameOfFile(path), Qt::MatchExactly);
        QCOMPARE(items.size(), 1);
        const int device = list->row(items.constFirst());
        for (const QString &record : recordsOf(path)) {
            QDateTime time = QDateTime::fromString(record.section(QLatin1Char('|'), 1, 1), "yyyy-MM-dd hh:mm:ss");
            time.setTimeSpec(Qt::UTC);
            records[device].append({time.toSecsSinceEpoch(), record.section(QLatin1Char('|'), 3, 3).toInt()});
        }
    }
    // What every bar must hold of each device, with the types and devices shown.
    const auto expectBars = [&](int types, const QVector<bool> &shown) {
        const QVector<TimelineCounts> &buckets = timeline->buckets();
        if (buckets.isEmpty())
            return QStringLiteral("no bars");
        for (int bucket = 0; bucket < buckets.size(); ++bucket) {
            if (buckets[bucket].byDevice.size() != 3)
                return QStringLiteral("bar %1 has %2 devices").arg(bucket).arg(buckets[bucket].byDevice.size());
            int total = 0;
            for (int device = 0; device < 3; ++device) {
                int expected = 0;
                for (const auto &record : records[device]) {
                    expected += shown[device] && (types & (1 << record.second))
                            && record.first >= timeline->bucketFrom(bucket)
                            && record.first < timeline->bucketUntil(bucket)
                        ? 1
                        : 0;
                }
                if (buckets[bucket].byDevice[device] != expected)
                    return QStringLiteral("bar %1, device %2: %3, expected %4")
                        .arg(bucket)
                        .arg(device)
                        .arg(buckets[bucket].byDevice[device])
                        .arg(expected);
                total += expected;
            }
            if (buckets[bucket].total() != total)
                return QStringLiteral("bar %1 totals %2, expected %3")
                    .arg(bucket)
                    .arg(buckets[bucket].total())
                    .arg(total);
        }
        return QString();
    };

    byDevice->trigger();
    QVERIFY(timeline->byDevice());
    QCOMPARE(expectBars(0xF, {true, true, true}), QString());
    QCOMPARE(timeline->countedRecords(), 900);
    // The legend's row above the bars; every device's colour among the bars.
    QTRY_VERIFY(strip->height() > heightByType);
    QVERIFY(strip->accessibleDescription().contains(
        QStringLiteral("по устройствам: %1, %2, %3")
            .arg(list->item(0)->text(), list->item(1)->text(), list->item(2)->text())));
    const QImage shot = strip->grab().toImage();
    for (int device = 0; device < 3; ++device) {
        bool drawn = false;
        const QRect plot = strip->plotRect();
        for (int x = plot.left(); x <= plot.right() && !drawn; ++x) {
            for (int y = plot.top(); y <= plot.bottom() && !drawn; ++y)
                drawn = shot.pixelColor(x, y) == LogTimelineStrip::deviceColour(device);
        }
        QVERIFY2(drawn, qPrintable(QStringLiteral("no bar of device %1").arg(device)));
    }
    // The tool tip of the fullest bar names each device that has records in it.
    int fullest = 0;
    for (int bucket = 0; bucket < timeline->buckets().size(); ++bucket) {
        if (timeline->buckets()[bucket].total() > timeline->buckets()[fullest].total())
            fullest = bucket;
    }
    int x = strip->plotRect().left();
    while (x < strip->plotRect().right() && strip->bucketAtX(x) != fullest)
        ++x;
    const QPoint at(x + 1, strip->plotRect().center().y());
    QHelpEvent help(QEvent::ToolTip, at, strip->mapToGlobal(at));
    QApplication::sendEvent(strip, &help);
    QTRY_VERIFY(QToolTip::isVisible());
    for (int device = 0; device < 3; ++device) {
        const int count = timeline->buckets()[fullest].byDevice[device];
        const QString line = QStringLiteral("%1: %2").arg(list->item(device)->text()).arg(count);
        QCOMPARE(QToolTip::text().split(QLatin1Char('\n')).contains(line), count > 0);
    }
    QToolTip::hideText();

    // Information off, then the middle device hidden: each device's part follows.
    QTest::mouseClick(child<QToolButton>("filterType0"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!timeline->isComputing(), 20000);
    QCOMPARE(expectBars(0xE, {true, true, true}), QString());
    child<QListWidget>("filterDeviceList")->item(1)->setCheckState(Qt::Unchecked);
    QTRY_COMPARE_WITH_TIMEOUT(expectBars(0xE, {true, false, true}), QString(), 20000);

    // Off: by type again, without the legend.
    byDevice->trigger();
    QVERIFY(!timeline->byDevice());
    QTRY_COMPARE(strip->height(), heightByType);
    QVERIFY(timeline->buckets().constFirst().byDevice.isEmpty());

    // One log: no choice, and bars by type even with it left on.
    byDevice->trigger();
    QTest::mouseClick(child<QToolButton>("filterClear"), Qt::LeftButton);
    ModalAnswer::fileDialog(paths[0]);
    child<QAction>("actionOpen")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(300, 300), 20000);
    QVERIFY(!byDeviceButton->isVisible());
    QVERIFY(!timeline->byDevice());
    QTRY_COMPARE(strip->height(), heightByType);
}

namespace {

// Records of event 1 stored into the log file at `path`, as a collector stores them: one
// a second from `deviceTime` on, after the records it has.
QString storeRecords(const QString &path, int count, quint32 deviceTime)
{
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("collector"));
        db.setDatabaseName(path);
        if (!db.open())
            failure = db.lastError().text();
        for (int n = 0; n < count && failure.isEmpty(); ++n)
            failure = LogFixture::addRecord(db, 1, 1, QByteArray(5, char(n)), deviceTime + quint32(n),
                                            quint32(5000 + n));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("collector"));
    return failure;
}

} // namespace

// What a collector stores into the files of a merged view meanwhile comes into it: at the
// end when it is the newest, merged among the rows when a device's clock is behind; a
// view at the bottom stays there, one scrolled up stays where it is.
void tst_MergedView::recordsStoredMeanwhileComeIntoView()
{
    const QStringList paths = makeStation();
    QCOMPARE(paths.size(), 3);
    ModalAnswer::fileDialog(picked(paths));
    child<QAction>("actionOpen")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(900, 900), 20000);
    const QScrollBar *scroll = table()->verticalScrollBar();
    child<QAction>("actionGoToNewest")->trigger();
    QTRY_VERIFY(scroll->maximum() > 0 && scroll->value() == scroll->maximum());

    // The newest records, of «резерв»: at the end.
    QCOMPARE(storeRecords(paths[2], 3, LogFixture::March15th2024 + 100000), QString());
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(903, 903), 20000);
    QCOMPARE(shownRows(), mergedByHand(paths));
    QTRY_COMPARE(scroll->value(), scroll->maximum());
    QCOMPARE(shownRows().constLast().section(QLatin1Char('|'), 0, 0), QStringLiteral("резерв"));

    // «ввод-1», its clock behind: two records that go before the last ones shown. The
    // logs are merged anew, and «ввод-2», hidden in the device list, stays hidden.
    auto *devices = child<QListWidget>("filterDeviceList");
    const QList<QListWidgetItem *> hidden = devices->findItems(QStringLiteral("ввод-2"), Qt::MatchExactly);
    QCOMPARE(hidden.size(), 1);
    hidden.constFirst()->setCheckState(Qt::Unchecked);
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(603, 903), 20000);
    child<QAction>("actionGoToNewest")->trigger();
    QCOMPARE(storeRecords(paths[1], 2, LogFixture::March15th2024 + 99999), QString());
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(605, 905), 20000);
    QCOMPARE(shownRows(), mergedByHand({paths[1], paths[2]}));
    QCOMPARE(devices->findItems(QStringLiteral("ввод-2"), Qt::MatchExactly).value(0)->checkState(), Qt::Unchecked);
    QTRY_COMPARE(scroll->value(), scroll->maximum());
    QTest::mouseClick(child<QToolButton>("filterClear"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(905, 905), 20000);
    QCOMPARE(shownRows(), mergedByHand(paths));

    // Scrolled to the top, the view stays there as records arrive.
    child<QAction>("actionGoToOldest")->trigger();
    QTRY_COMPARE(scroll->value(), 0);
    QCOMPARE(storeRecords(paths[0], 1, LogFixture::March15th2024 + 200000), QString());
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(906, 906), 20000);
    QCOMPARE(shownRows(), mergedByHand(paths));
    QCOMPARE(scroll->value(), 0);
}

// Logs too long to merge in a blink: their newest records show first, at the bottom of
// the table, the status bar saying from when; exporting them alone is refused, as the
// file would pass for the logs. A log added meanwhile starts the merge again. Then every
// record comes, the newest rows still at the bottom and the same as in the first look.
void tst_MergedView::newestRecordsShowFirst()
{
    constexpr int Records = 150000;
    QStringList paths;
    for (int d = 0; d < 3; ++d) {
        paths << dir->filePath(QStringLiteral("фидер-%1.db").arg(d + 1));
        QCOMPARE(StationLogs::makeLogFile(paths.last(), Records, quint32(40 + d), LogFixture::March15th2024 + 7 * d),
                 QString());
    }
    ModalAnswer::fileDialog(picked(paths));
    child<QAction>("actionOpen")->trigger();
    const QString firstLookSays = QStringLiteral("Журналы объединяются… Показаны записи с ");
    QTRY_VERIFY_WITH_TIMEOUT(window->statusBar()->currentMessage().startsWith(firstLookSays), 20000);
    // The count comes from the view's own thread, after the status.
    QTRY_VERIFY_WITH_TIMEOUT(table()->model()->rowCount() > 0, 20000);
    QVERIFY(window->statusBar()->currentMessage().startsWith(firstLookSays));
    const int firstRows = table()->model()->rowCount();
    QVERIFY2(firstRows > 1000 && firstRows < 5000, qPrintable(QString::number(firstRows)));
    const QScrollBar *scroll = table()->verticalScrollBar();
    QTRY_VERIFY(scroll->maximum() > 0 && scroll->value() == scroll->maximum());
    const QStringList firstLook = shownRows();
    QCOMPARE(firstLook.size(), firstRows);
    // Every row from the time the status bar gives on.
    const QString from = window->statusBar()->currentMessage().mid(firstLookSays.size());
    QVERIFY2(firstLook.constFirst().section(QLatin1Char('|'), 1, 1) >= from, qPrintable(from));

    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    child<QAction>("exportLog")->trigger();
    QTRY_VERIFY(box->seen);
    QCOMPARE(box->text,
             QStringLiteral("Журналы ещё объединяются: выгрузить их можно будет, когда объединятся "
                            "все записи"));

    // A log added meanwhile, older than all of them: the merge begins again with it,
    // and only that merge is shown.
    const QString older = dir->filePath(QStringLiteral("фидер-0.db"));
    QCOMPARE(StationLogs::makeLogFile(older, 100, 39, LogFixture::March15th2024 - 86400), QString());
    ModalAnswer::fileDialog(older);
    child<QAction>("actionAddLog")->trigger();
    const int total = 3 * Records + 100;
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(total, total), 60000);
    QCOMPARE(child<QListWidget>("filterDeviceList")->count(), 4);
    QCOMPARE(window->statusBar()->currentMessage(), QString());
    const int rows = table()->model()->rowCount();
    QTRY_VERIFY(scroll->value() == scroll->maximum());
    QCOMPARE(shownRows(rows - firstRows), firstLook);
    // The record before them is older than the first look's first.
    const QModelIndex before = table()->model()->index(rows - firstRows - 1, 2);
    QTRY_VERIFY_WITH_TIMEOUT(!before.data().toString().isEmpty(), 20000);
    QVERIFY2(before.data().toString() < from, qPrintable(before.data().toString()));
}

QTEST_MAIN(tst_MergedView)
#include "tst_mergedview.moc"
