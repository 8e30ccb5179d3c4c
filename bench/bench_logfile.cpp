// bench_logfile FILE.db [N] [--blob-file FILE.db] [--screens DIR]: the log view of the
// real window on a large log file (made with N records when it is missing): opening and
// the first screen, the newest record at the scroll bar's bottom, resident memory at
// scroll positions across the log, a type, a time and a text filter through the filter
// bar, the longest pause of the window while the text is searched, the timeline (from the
// file's open until its bars are computed, unfiltered, with a type and with a text filter,
// against one grouped query over the times; a zoom by a drag across it), a file of 10 MB
// data values, and the CSV export against the sqlite3 command-line tool. Every figure is
// printed with its goal. It runs offscreen, or on the display when there is one
// (xvfb-run), where --screens saves what the window shows.
//
// bench_logfile --merged DIR [FILES [N]]: FILES log files of N records (16 of 100 000
// unless given; made in DIR when missing) shown together: the first screen, the newest
// rows, every record shown, memory and the filter bar (measureMergedView).
//
// bench_logfile --merged-server DIR [DEVICES [N]]: the same for DEVICES devices of N
// records (64 of 100 000 unless given) of a central database, a PostgreSQL server of the
// bench's own (measureMergedServer).
//
// bench_logfile --hostile-file FILE.db: a log file a customer might mail to do harm (12
// records of 10 MB data, a caption of 10 million «Ж»; made when missing) through the
// window: opening and the first screen, a search, the export, the window's longest pause
// and the peak of resident memory.

#include "app/largeblocks.h"
#include "app/mainwindow.h"
#include "bench/logfiller.h"
#include "logaccess/csvexport.h"
#include "logaccess/logexport.h"
#include "logaccess/openlog.h"
#include "logview/logfilterbar.h"
#include "logview/logtimeline.h"
#include "logview/logtimelinestrip.h"
#include "logview/logviewcontroller.h"
#include "logview/logviewmodel.h"
#include "messagetext/captionformat.h"
#include "store/logfile.h"
#include "store/logschema.h"
#include "serverstore/serverconnection.h"
#include "serverstore/serverschema.h"
#include "serverstore/serverurl.h"
#include "tests/support/postgresserver.h"
#include "tests/support/hostilelog.h"
#include "tests/support/memorymeter.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QDateTimeEdit>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QProcess>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStatusBar>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <functional>

// The window's members the slots use, reached as its tests reach them.
class MainWindowProbe
{
public:
    // What the Open command does once its dialog has returned `path`.
    static bool open(MainWindow &window, const QString &path)
    {
        StoreResult<std::unique_ptr<OpenLog>> opened = OpenLog::open(LogLocation::file(path), OpenLog::Purpose::View);
        if (!opened) {
            std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(opened.error().text));
            return false;
        }
        window.closeLog();
        window.showLog(std::move(opened).value());
        return true;
    }
    static LogViewModel &model(MainWindow &window) { return *window.model; }
    // What the Open command does once its dialog has returned several files.
    static void openTogether(MainWindow &window, const QStringList &paths) { window.showLogFiles(paths); }
    // What «Открыть с сервера…» does once several devices are chosen.
    static void openServerDevices(MainWindow &window, const ServerUrl &url, const QStringList &names)
    {
        window.mergeServerDevices(url, names, true);
    }
    static bool merging(MainWindow &window) { return window.merging; }
    static QString statusText(MainWindow &window) { return window.statusBar()->currentMessage(); }
    // What the Export command does once its dialog has returned `path`.
    static void exportTo(MainWindow &window, const QString &path) { window.startExport(path); }
    static bool exporting(MainWindow &window) { return window.logExport->isRunning(); }
};

namespace {

constexpr qint64 DefaultRecords = 1000000;
constexpr int ReadChunk = 1 << 20;
constexpr int BlobRecords = 64;
constexpr int BlobBytes = 10 * 1024 * 1024;

double secondsOf(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double milliseconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

double megabytes(qint64 bytes)
{
    return double(bytes) / 1e6;
}

double perSecond(qint64 count, double seconds)
{
    return seconds > 0 ? double(count) / seconds : 0.0;
}

void printFigure(const char *what, double value, const char *unit, double goal)
{
    std::printf("  %-52s %9.1f %-2s  goal <= %.0f %s  %s\n", what, value, unit, goal, unit,
                value <= goal ? "met" : "MISSED");
}

// Reads the whole file once, so that every measurement finds it in the page cache
// and none pays for the disk on behalf of the others.
qint64 readThrough(const QString &path, char countedByte = '\0', qint64 *count = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    qint64 total = 0;
    while (true) {
        const QByteArray chunk = file.read(ReadChunk);
        if (chunk.isEmpty())
            break;
        total += chunk.size();
        if (count != nullptr)
            *count += chunk.count(countedByte);
    }
    return total;
}

// The message of the newest record: the log view query's last row, read on its own
// (a query that steps to its last row keeps every row before it).
QString newestMessage(const QString &path)
{
    QString message;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-reader"));
        db.setDatabaseName(path);
        QSqlQuery query(db);
        QString newestFirst = LogViewSql;
        newestFirst.replace(QStringLiteral("ORDER BY l.id ASC"), QStringLiteral("ORDER BY l.id DESC LIMIT 1"));
        if (db.open() && query.exec(newestFirst) && query.next())
            message = query.value(2).isNull() ? QStringLiteral("Неизвестное событие")
                                              : formatCaption(query.value(2).toString(), query.value(3).toByteArray());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-reader"));
    return message;
}

// The window on screen, as a user has it, with the table painted synchronously.
class BenchWindow
{
public:
    BenchWindow()
    {
        window.show();
        QCoreApplication::processEvents();
        table = window.findChild<QTableView *>(QStringLiteral("tableView"));
    }

    // Paints the table now, and lets the layouts settle: a change of size travels up
    // from widget to parent one posted event at a time.
    void paint()
    {
        table->viewport()->repaint();
        for (int round = 0; round < 5; ++round)
            QCoreApplication::processEvents();
    }
    int lastVisibleRow() const { return table->rowAt(table->viewport()->height() - 1); }
    LogViewModel &model() { return MainWindowProbe::model(window); }
    template<typename Widget> Widget *child(const char *name)
    {
        return window.findChild<Widget *>(QLatin1String(name));
    }
    // Runs events until the model has found every row of its filter; the seconds taken.
    // With `screen`, the window is saved once while the search shows its progress.
    double waitForRows(const QElapsedTimer &since, double *longestPauseMs = nullptr, const QString &screens = QString(),
                       const char *screen = nullptr)
    {
        QElapsedTimer gap;
        gap.start();
        double longest = 0;
        const QWidget *progress = child<QWidget>("filterProgress");
        while (model().isScanning()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            longest = std::max(longest, milliseconds(gap));
            if (screen != nullptr && !screens.isEmpty() && progress->isVisible()) {
                const QString file = QDir(screens).filePath(QLatin1String(screen));
                window.grab().save(file);
                std::printf("  screen saved: %s\n", qPrintable(file));
                screen = nullptr;
            }
            gap.restart();
        }
        const double seconds = secondsOf(since);
        paint();
        if (longestPauseMs != nullptr)
            *longestPauseMs = std::max(*longestPauseMs, longest);
        return seconds;
    }
    void save(const QString &directory, const char *name)
    {
        if (directory.isEmpty())
            return;
        // As a user sees it: after the delayed layout work of the views.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        paint();
        const QString file = QDir(directory).filePath(QLatin1String(name));
        window.grab().save(file);
        std::printf("  screen saved: %s\n", qPrintable(file));
    }

    MainWindow window;
    QTableView *table = nullptr;
};

bool makeLogFile(const QString &path, qint64 records)
{
    QElapsedTimer timer;
    timer.start();
    bool made = false;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-maker"));
        const StoreStatus created = createLogFile(database, path);
        const LogFillOutcome filled = created ? fillLogFile(database, records) : LogFillOutcome{};
        database.close();
        made = created && filled.ok;
        if (!made)
            std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(created ? filled.error : created.error().text));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-maker"));
    if (made)
        std::printf("generated %s with %lld records in %.2f s\n", qPrintable(path), records, secondsOf(timer));
    return made;
}

// A log file whose data values are 10 MB each: what another program might leave.
bool makeBlobFile(const QString &path)
{
    bool made = false;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-maker"));
        QSqlQuery query(database);
        made = createLogFile(database, path).ok()
            && query.exec(QStringLiteral("INSERT INTO Events VALUES(1, 0, 'Строка #s'), (2, 0, 'Число #u, текст #s')"))
            && query.exec(QStringLiteral("WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < %1)"
                                         " INSERT INTO Log(i, count, dt, type, event, data)"
                                         " SELECT k, 1, 1710510330 + k, k % 4, 1 + k % 2, randomblob(%2) FROM n")
                              .arg(BlobRecords)
                              .arg(BlobBytes));
        if (!made)
            std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(query.lastError().text()));
        database.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-maker"));
    return made;
}

// Opening and the first screen, the newest record at the bottom, memory across the log.
bool measureScrolling(BenchWindow &bench, const QString &path, qint64 records, const QString &screens)
{
    const QString newest = newestMessage(path);
    const double before = MemoryMeter::megabytes("VmRSS:");
    QElapsedTimer timer;
    timer.start();
    if (!MainWindowProbe::open(bench.window, path))
        return false;
    bench.paint();
    const double openMs = milliseconds(timer);
    LogViewModel &model = bench.model();
    std::printf("\nThe window on %s (%lld records), table %dx%d:\n", qPrintable(QFileInfo(path).fileName()), records,
                bench.table->viewport()->width(), bench.table->viewport()->height());
    printFigure("open and first screen (open, refreshLogView, paint)", openMs, "ms", 50);
    std::printf("  rows %d, first screen rows %d..%d, resident %.1f MB (%.1f MB before opening)\n", model.rowCount(),
                bench.table->rowAt(0), bench.lastVisibleRow(), MemoryMeter::megabytes("VmRSS:"), before);
    bench.save(screens, "log-top.png");

    // A drag of the scroll bar to its end, then the paint.
    QScrollBar *scroll = bench.table->verticalScrollBar();
    timer.restart();
    scroll->setValue(scroll->maximum());
    bench.paint();
    const double bottomMs = milliseconds(timer);
    const int last = bench.lastVisibleRow();
    const QString shown = model.index(last, 2).data().toString();
    printFigure("newest record at the scroll bar's bottom", bottomMs, "ms", 100);
    std::printf("  last row painted %d of %d, its message %s the newest record's\n", last, model.rowCount(),
                shown == newest ? "is" : "is NOT");
    bench.save(screens, "log-bottom.png");

    // Positions across the log, each painted: memory stays flat.
    double largest = MemoryMeter::megabytes("VmRSS:");
    QRandomGenerator random(15);
    for (int step = 0; step < 300; ++step) {
        scroll->setValue(step < 100 ? scroll->maximum() * step / 99 : int(random.bounded(scroll->maximum() + 1)));
        bench.paint();
        largest = std::max(largest, MemoryMeter::megabytes("VmRSS:"));
    }
    printFigure("resident memory, largest over 300 scroll positions", largest, "MB", 80);
    std::printf("  peak resident memory of the process so far (VmHWM) %.1f MB\n", MemoryMeter::megabytes("VmHWM:"));
    scroll->setValue(0);
    bench.paint();
    return last == model.rowCount() - 1 && shown == newest;
}

// The filter bar as the user works it: a type, a span of time, a text. Every change
// made in the bar runs on the window's thread; how long it keeps the window from
// painting counts as a pause, as does every gap between events while the rows are found.
void measureFilters(BenchWindow &bench, const QString &screens, double countGoalMs = 300, double searchGoalMs = 1500,
                    double memoryGoalMb = 80)
{
    LogViewModel &model = bench.model();
    auto *information = bench.child<QToolButton>("filterType0");
    auto *from = bench.child<QDateTimeEdit>("filterFrom");
    auto *to = bench.child<QDateTimeEdit>("filterTo");
    auto *text = bench.child<QLineEdit>("filterText");
    auto *count = bench.child<QLabel>("filterCount");
    std::printf("\nThe filter bar (counted by the model in the background, %d threads):\n",
                QThread::idealThreadCount());
    double pause = 0;
    QElapsedTimer timer;
    const auto change = [&pause, &timer](const std::function<void()> &edit) {
        timer.restart();
        edit();
        pause = std::max(pause, milliseconds(timer));
    };

    change([information] { information->setChecked(false); });
    printFigure("type filter (information off): count", 1000 * bench.waitForRows(timer, &pause), "ms", countGoalMs);
    std::printf("  filterCount \"%s\"\n", qPrintable(count->text()));
    bench.save(screens, "filter-type.png");
    change([information] { information->setChecked(true); });
    bench.waitForRows(timer, &pause);

    const QDateTime first = model.edgeTime(false);
    const QDateTime last = model.edgeTime(true);
    const qint64 span = first.secsTo(last);
    change([&] { from->setDateTime(first.addSecs(span / 3)); });
    printFigure("time filter (from a third of the log on): count", 1000 * bench.waitForRows(timer, &pause), "ms",
                countGoalMs);
    change([&] { to->setDateTime(first.addSecs(span / 2)); });
    printFigure("time filter (both bounds): count", 1000 * bench.waitForRows(timer, &pause), "ms", countGoalMs);
    std::printf("  filterCount \"%s\"\n", qPrintable(count->text()));
    bench.save(screens, "filter-time.png");
    change([&] {
        from->setDateTime(LogFilterBar::noBound());
        to->setDateTime(LogFilterBar::noBound());
    });
    bench.waitForRows(timer, &pause);

    // The text arrives as typed, a key every 60 ms; each key restarts the search.
    const QString typed = QStringLiteral("насос 3");
    for (int length = 1; length < typed.size(); ++length) {
        change([&] { text->setText(typed.left(length)); });
        QElapsedTimer key;
        key.start();
        while (key.elapsed() < 60)
            change([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); });
    }
    change([&] { text->setText(typed); });
    printFigure("text search \"насос 3\" in every message, from the last key", 1000 * bench.waitForRows(timer, &pause),
                "ms", searchGoalMs);
    std::printf("  filterCount \"%s\"\n", qPrintable(count->text()));
    bench.save(screens, "filter-text.png");

    change([&] { text->setText(QStringLiteral("нет такого текста")); });
    printFigure("text search that finds nothing", 1000 * bench.waitForRows(timer, &pause, screens, "searching.png"),
                "ms", searchGoalMs);
    change([&] {
        text->setText(QStringLiteral("^насос [12]:.*режим Авто"));
        bench.child<QToolButton>("filterRegex")->setChecked(true);
    });
    printFigure("regular expression search", 1000 * bench.waitForRows(timer, &pause), "ms", searchGoalMs);
    std::printf("  filterCount \"%s\"\n", qPrintable(count->text()));
    printFigure("longest pause of the window while filtering", pause, "ms", 100);
    printFigure("resident memory after the searches", MemoryMeter::megabytes("VmRSS:"), "MB", memoryGoalMb);
    bench.save(screens, "filter-regex.png");
    bench.child<QToolButton>("filterClear")->click();
    bench.waitForRows(timer);
}

// One grouped query over the times of every record, by week and type, on a connection of
// its own: the least a database can do to count records per span of time.
double groupedQueryMs(const QString &path)
{
    double ms = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-grouped"));
        db.setDatabaseName(path);
        QSqlQuery query(db);
        QElapsedTimer timer;
        timer.start();
        if (db.open() && query.exec(QStringLiteral("SELECT dt / 604800, type, count(*) FROM Log GROUP BY 1, 2"))) {
            while (query.next()) {}
            ms = milliseconds(timer);
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-grouped"));
    return ms;
}

// Opens the file and runs events until the timeline's bars are computed (with a text: once
// the search has found every record); the milliseconds taken, the longest pause of the
// window meanwhile in `pause`.
double openUntilTimeline(BenchWindow &bench, const QString &path, double *pause)
{
    const LogTimeline *timeline = bench.child<LogTimelineStrip>("timeline")->timeline();
    QElapsedTimer timer;
    timer.start();
    QElapsedTimer gap;
    gap.start();
    if (!MainWindowProbe::open(bench.window, path))
        return -1;
    double longest = milliseconds(gap);
    gap.restart();
    while (timeline->isComputing() && timer.elapsed() < 120000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        longest = std::max(longest, milliseconds(gap));
        gap.restart();
    }
    const double ms = milliseconds(timer);
    bench.paint();
    *pause = std::max(*pause, longest);
    return ms;
}

void dragAcross(QWidget *strip, int fromX, int toX)
{
    const int y = strip->height() / 3;
    const auto send = [strip, y](QEvent::Type type, int x, Qt::MouseButtons buttons) {
        QMouseEvent event(type, QPointF(x, y), strip->mapToGlobal(QPoint(x, y)), Qt::LeftButton, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(strip, &event);
    };
    send(QEvent::MouseButtonPress, fromX, Qt::LeftButton);
    for (int step = 1; step <= 8; ++step)
        send(QEvent::MouseMove, fromX + (toX - fromX) * step / 8, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, toX, Qt::NoButton);
}

// The timeline strip of the window: the bars of a freshly opened file, unfiltered, with
// a type filter and with a text filter, and a zoom by a drag across the strip.
void measureTimeline(BenchWindow &bench, const QString &path, qint64 records, const QString &screens)
{
    auto *strip = bench.child<LogTimelineStrip>("timeline");
    const LogTimeline *timeline = strip->timeline();
    std::printf("\nThe timeline (%d x %d pixels, room for %d bars), from the file's open until its bars are "
                "computed:\n",
                strip->width(), strip->height(), timeline->maxBuckets());
    double pause = 0;
    const double reference = groupedQueryMs(path);
    const double unfiltered = openUntilTimeline(bench, path, &pause);
    printFigure("timeline, no filter", unfiltered, "ms", 300);
    std::printf("  %d bars of %s, %d of %lld records counted; one grouped query over the times (GROUP BY week, "
                "type) takes %.1f ms: ratio %.2f\n",
                timeline->grid().count, qPrintable(timelineStepText(timeline->grid().step)), timeline->countedRecords(),
                records, reference, unfiltered / std::max(reference, 1e-9));
    bench.save(screens, "timeline-1m.png");

    // A drag across the middle third of the strip: the span becomes the filter's.
    const QRect plot = strip->plotRect();
    QElapsedTimer timer;
    timer.start();
    dragAcross(strip, plot.left() + plot.width() / 3, plot.left() + plot.width() * 2 / 3);
    const double dragMs = milliseconds(timer);
    pause = std::max(pause, dragMs);
    bench.waitForRows(timer, &pause);
    printFigure("zoom by a drag: the bars of the span", dragMs, "ms", 100);
    std::printf(
        "  span %s .. %s, %d bars of %s, filterCount \"%s\"\n", qPrintable(timelineTimeText(timeline->viewStart())),
        qPrintable(timelineTimeText(timeline->viewEnd() - 1)), timeline->grid().count,
        qPrintable(timelineStepText(timeline->grid().step)), qPrintable(bench.child<QLabel>("filterCount")->text()));
    bench.save(screens, "timeline-zoom.png");
    bench.child<QToolButton>("filterClear")->click();
    bench.waitForRows(timer);

    // A type off with the file open: the strip counts from the times it holds.
    timer.restart();
    bench.child<QToolButton>("filterType0")->setChecked(false);
    const double typeMs = milliseconds(timer);
    pause = std::max(pause, typeMs);
    printFigure("information off: the bars of the other types", typeMs, "ms", 100);
    bench.waitForRows(timer);
    printFigure("timeline, information off, from the open", openUntilTimeline(bench, path, &pause), "ms", 300);
    std::printf("  %d records counted; the table counts its rows on the same cores meanwhile\n",
                timeline->countedRecords());
    bench.child<QToolButton>("filterClear")->click();
    bench.waitForRows(timer);

    bench.child<QLineEdit>("filterText")->setText(QStringLiteral("насос 3"));
    bench.waitForRows(timer);
    printFigure("timeline, text \"насос 3\" (with the search)", openUntilTimeline(bench, path, &pause), "ms", 1500);
    std::printf("  %d records counted, filterCount \"%s\"\n", timeline->countedRecords(),
                qPrintable(bench.child<QLabel>("filterCount")->text()));
    bench.save(screens, "timeline-text.png");
    printFigure("longest pause of the window for the timeline", pause, "ms", 100);
    printFigure("resident memory with the timeline", MemoryMeter::megabytes("VmRSS:"), "MB", 80);
    bench.child<QToolButton>("filterClear")->click();
    bench.waitForRows(timer);
}

void measureBlobFile(const QString &path)
{
    BenchWindow bench;
    QElapsedTimer timer;
    timer.start();
    if (!MainWindowProbe::open(bench.window, path))
        return;
    bench.paint();
    std::printf("\nA log file of %d records with 10 MB data values (%.0f MB):\n", bench.model().rowCount(),
                megabytes(QFileInfo(path).size()));
    printFigure("open and first screen", milliseconds(timer), "ms", 1000);
    std::printf("  resident memory %.1f MB\n", MemoryMeter::megabytes("VmRSS:"));
}

// The processor time the calling thread has used, in ms: the window's own work, as
// against the time it waited for a processor on a busy machine.
double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// The window's longest pause (wall clock), and the processor time of the window's own
// work in its longest round of events.
struct Pauses {
    double longestMs = 0;
    double longestWorkMs = 0;
    void take(double wallMs, double workMs)
    {
        longestMs = std::max(longestMs, wallMs);
        longestWorkMs = std::max(longestWorkMs, workMs);
    }
};

// Runs `step` once and counts it as one pause of the window.
void timed(const std::function<void()> &step, Pauses *pauses)
{
    QElapsedTimer wall;
    wall.start();
    const double work = threadCpuMs();
    step();
    pauses->take(milliseconds(wall), threadCpuMs() - work);
}

// Runs events until `done` holds (or a minute has passed), as a user's window would,
// each round a pause of the window.
void runEventsUntil(const std::function<bool()> &done, Pauses *pauses)
{
    QElapsedTimer limit;
    limit.start();
    while (!done() && limit.elapsed() < 60000)
        timed([] { QCoreApplication::processEvents(QEventLoop::AllEvents, 5); }, pauses);
}

void printPauses(const char *what, const Pauses &pauses)
{
    printFigure(what, pauses.longestMs, "ms", 100);
    std::printf("  the window's own work in any one of its rounds at most %.1f ms (the rest of a pause is waiting for "
                "a processor)\n",
                pauses.longestWorkMs);
}

// Several logs shown together, opened by `open`, `total` records in all. From the open to
// the first screen (the newest records, while the rest are merged), the newest rows at
// Ctrl+End then, until every record is shown, the newest rows at Ctrl+End again, the
// window's longest pause through all of it, resident memory across the rows, and the
// filter bar over all the devices, a text search's goal `searchGoalMs`.
bool measureMergedWindow(qint64 total, const QString &screens, double searchGoalMs,
                         const std::function<void(MainWindow &)> &open)
{
    BenchWindow bench;
    LogViewModel &model = bench.model();
    const auto lastRowShown = [&] { return bench.lastVisibleRow() == model.rowCount() - 1 && model.rowCount() > 0; };
    // A merged view reads its pages on a thread of its own: a row shows once its page is in.
    const auto rowsFilledIn = [&] {
        const int message = model.deviceColumns() + 2;
        const int last = bench.lastVisibleRow();
        return last >= 0 && !model.index(last, message).data().toString().isEmpty()
            && !model.index(bench.table->rowAt(0), message).data().toString().isEmpty();
    };
    const auto paintFilledIn = [&](Pauses *during) {
        bench.paint();
        runEventsUntil(rowsFilledIn, during);
        bench.paint();
    };
    Pauses pauses;
    QElapsedTimer timer;
    timer.start();
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    timed([&] { open(bench.window); }, &pauses);
    runEventsUntil([&] { return model.rowCount() > 0 && model.isLoaded(); }, &pauses);
    paintFilledIn(&pauses);
    printFigure("open and first screen", milliseconds(timer), "ms", 300);
    const bool firstLook = MainWindowProbe::merging(bench.window);
    std::printf("  %s: rows %d, shown %d..%d, the last row %s; status \"%s\"\n",
                firstLook ? "the newest records while the rest are merged" : "every record", model.rowCount(),
                bench.table->rowAt(0), bench.lastVisibleRow(), lastRowShown() ? "among them" : "NOT among them",
                qPrintable(MainWindowProbe::statusText(bench.window)));
    bench.save(screens, "merged-first.png");
    auto *oldest = bench.child<QAction>("actionGoToOldest");
    auto *newest = bench.child<QAction>("actionGoToNewest");
    timed([&] { oldest->trigger(); }, &pauses);
    bench.paint();
    timer.restart();
    timed([&] { newest->trigger(); }, &pauses);
    paintFilledIn(&pauses);
    printFigure(firstLook ? "newest rows at Ctrl+End, while the rest are merged" : "newest rows at Ctrl+End",
                milliseconds(timer), "ms", 300);
    double largest = MemoryMeter::megabytes("VmRSS:");
    printPauses("longest pause of the window until then", pauses);
    Pauses untilWhole;
    runEventsUntil([&] { return !MainWindowProbe::merging(bench.window) && model.rowCount() == total; }, &untilWhole);
    paintFilledIn(&untilWhole);
    printPauses("longest pause of the window until every record is shown", untilWhole);
    pauses.take(untilWhole.longestMs, untilWhole.longestWorkMs);
    bench.paint();
    std::printf("  every record shown %.2f s after the open: rows %lld of %lld, the last row %s\n",
                secondsOf(sinceOpen), static_cast<long long>(model.rowCount()), total,
                lastRowShown() ? "still shown" : "NOT shown");
    bench.save(screens, "merged-whole.png");
    timed([&] { oldest->trigger(); }, &pauses);
    bench.paint();
    timer.restart();
    timed([&] { newest->trigger(); }, &pauses);
    paintFilledIn(&pauses);
    printFigure("newest rows at Ctrl+End, every record shown", milliseconds(timer), "ms", 300);
    printPauses("longest pause of the window from the open on", pauses);

    QScrollBar *scroll = bench.table->verticalScrollBar();
    QRandomGenerator random(15);
    Pauses scrolling;
    for (int step = 0; step < 300; ++step) {
        scroll->setValue(step < 100 ? scroll->maximum() * step / 99 : int(random.bounded(scroll->maximum() + 1)));
        paintFilledIn(&scrolling);
        largest = std::max(largest, MemoryMeter::megabytes("VmRSS:"));
    }
    printPauses("longest pause of the window over 300 scroll positions", scrolling);
    printFigure("resident memory, largest from the open over 300 scroll positions", largest, "MB", 150);
    scroll->setValue(0);
    bench.paint();
    measureFilters(bench, screens, 1000, searchGoalMs, 150);
    return model.rowCount() == total;
}

// Several log files shown together, as a station's are: `files` of `records` each, made
// in `folder` when missing.
bool measureMergedView(const QString &folder, int files, qint64 records, const QString &screens)
{
    QStringList paths;
    for (int f = 0; f < files; ++f) {
        paths << QDir(folder).filePath(QStringLiteral("device-%1.db").arg(f, 2, 10, QLatin1Char('0')));
        if (!QFileInfo::exists(paths.last()) && !makeLogFile(paths.last(), records))
            return false;
        readThrough(paths.last());
    }
    std::printf("\nThe window on %d log files of %lld records shown together (read once to warm the page cache):\n",
                files, records);
    return measureMergedWindow(files * records, screens, 3000,
                               [&paths](MainWindow &window) { MainWindowProbe::openTogether(window, paths); });
}

// `devices` devices of a central database, of `records` records each, shown together: a
// server of the bench's own (a new cluster on a free port, gone when the bench ends),
// each device's log that of one log file made in `folder`, its times moved by seven
// seconds a device so that the devices interleave.
bool measureMergedServer(const QString &folder, int devices, qint64 records, const QString &screens)
{
    const QString file = QDir(folder).filePath(QStringLiteral("server-device.db"));
    if (!QFileInfo::exists(file) && !makeLogFile(file, records))
        return false;
    QElapsedTimer timer;
    timer.start();
    PostgresServer server;
    if (!server.start() || !server.createDatabase(QStringLiteral("station"))) {
        std::fprintf(stderr, "bench_logfile: no server: %s\n", qPrintable(server.error()));
        return false;
    }
    const QString url = server.url(QStringLiteral("station"));
    const ServerUrlParse parsed = parseServerUrl(url);
    QStringList names;
    {
        ServerConnection connection;
        const StoreStatus opened = connection.open(parsed.url, QStringLiteral("bench"));
        QSqlDatabase database = connection.database();
        if (!opened || !prepareServerSchema(database)) {
            std::fprintf(stderr, "bench_logfile: cannot prepare the server\n");
            return false;
        }
        // The records as the server holds them, through a file the server reads; the
        // captions as the tool reads them from the log file.
        const QString staged = QDir(folder).filePath(QStringLiteral("server-device.csv"));
        QFile csv(staged);
        QSqlDatabase source = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-source"));
        source.setDatabaseName(file);
        bool read = source.open() && csv.open(QIODevice::WriteOnly);
        QSqlQuery rows(source);
        read = read && rows.exec(QStringLiteral("SELECT i, count, dt, type, event, hex(data) FROM Log ORDER BY id"));
        while (read && rows.next()) {
            csv.write(QStringLiteral("%1,%2,%3,%4,%5,%6\n")
                          .arg(rows.value(0).toLongLong())
                          .arg(rows.value(1).toInt())
                          .arg(rows.value(2).toLongLong())
                          .arg(rows.value(3).toInt())
                          .arg(rows.value(4).toLongLong())
                          .arg(rows.value(5).toString())
                          .toLatin1());
        }
        csv.close();
        QSqlQuery captions(source);
        QSqlQuery insert(database);
        read = read && captions.exec(QStringLiteral("SELECT id, caption FROM Events WHERE type = 0"));
        QVector<QPair<qint64, QString>> texts;
        while (read && captions.next())
            texts.append({captions.value(0).toLongLong(), captions.value(1).toString()});
        rows = QSqlQuery();
        captions = QSqlQuery();
        source.close();
        source = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("bench-source"));
        for (int d = 0; read && d < devices; ++d) {
            names << QStringLiteral("device-%1").arg(d, 2, 10, QLatin1Char('0'));
            read = insert.prepare(QStringLiteral("INSERT INTO khronar.device (name) VALUES (?)"));
            insert.addBindValue(names.last());
            read = read && insert.exec();
            for (const auto &caption : texts) {
                read = read
                    && insert.prepare(QStringLiteral("INSERT INTO khronar.event (device, id, type, caption) SELECT id, "
                                                     "?, 0, ? FROM khronar.device WHERE name = ?"));
                insert.addBindValue(caption.first);
                insert.addBindValue(caption.second);
                insert.addBindValue(names.last());
                read = read && insert.exec();
            }
        }
        insert = QSqlQuery();
        if (!read) {
            std::fprintf(stderr, "bench_logfile: cannot stage the records\n");
            return false;
        }
        const QString loaded = server.psql(
            QStringLiteral("station"),
            QStringLiteral("CREATE TABLE staged (i bigint, count smallint, dt bigint, type smallint, event bigint, "
                           "data text); COPY staged FROM '%1' (FORMAT csv)")
                .arg(staged));
        if (loaded.startsWith(QStringLiteral("error: "))) {
            std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(loaded));
            return false;
        }
        for (int d = 0; d < devices; ++d) {
            const QString stored = server.psql(
                QStringLiteral("station"),
                QStringLiteral(
                    "INSERT INTO khronar.log (device, i, count, dt, type, event, data, message) SELECT "
                    "v.id, s.i, s.count, to_timestamp(s.dt + 7 * %1), s.type, s.event, decode(coalesce(s.data, "
                    "''), 'hex'), '' FROM staged s, khronar.device v WHERE v.name = '%2' ORDER BY s.i")
                    .arg(d)
                    .arg(names[d]));
            if (stored.startsWith(QStringLiteral("error: "))) {
                std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(stored));
                return false;
            }
        }
        server.psql(QStringLiteral("station"), QStringLiteral("DROP TABLE staged; VACUUM ANALYZE"));
    }
    std::printf("\nThe window on %d devices of %lld records of a central database shown together (server made and "
                "filled in %.1f s):\n",
                devices, records, secondsOf(timer));
    return measureMergedWindow(devices * records, screens, 2000, [&](MainWindow &window) {
        MainWindowProbe::openServerDevices(window, parsed.url, names);
    });
}

// A hostile log file through the window: opening it, its first screen, its timeline and
// a search, then its export, with the window's longest pause and the peak of memory.
bool measureHostileFile(const QString &path)
{
    readThrough(path);
    MemoryMeter memory;
    const bool peakReset = memory.start();
    BenchWindow bench;
    LogViewModel &model = bench.model();
    const LogTimeline *timeline = bench.child<LogTimelineStrip>("timeline")->timeline();
    std::printf("\nA hostile log file, %s (%.0f MB), in the window:\n", qPrintable(QFileInfo(path).fileName()),
                megabytes(QFileInfo(path).size()));

    // The first screen is there once every row on it shows its message: the start of long
    // data is read in the background, and rows that need it show nothing until it is in.
    const auto screenShown = [&] {
        // Fewer rows than the table has room for: the last row is on screen.
        const int last = bench.lastVisibleRow() >= 0 ? bench.lastVisibleRow() : model.rowCount() - 1;
        for (int row = 0; row <= last; ++row) {
            if (model.index(row, 2).data().toString().isEmpty())
                return false;
        }
        return true;
    };
    Pauses opening;
    QElapsedTimer timer;
    timer.start();
    bool opened = false;
    timed([&] { opened = MainWindowProbe::open(bench.window, path); }, &opening);
    if (!opened)
        return false;
    timed([&] { bench.paint(); }, &opening);
    runEventsUntil(screenShown, &opening);
    bench.paint();
    const double firstScreen = milliseconds(timer);
    runEventsUntil([&] { return !model.isScanning() && !timeline->isComputing(); }, &opening);
    bench.paint();
    const QString firstMessage = model.index(0, 2).data().toString();
    printFigure("open and first screen", firstScreen, "ms", 300);
    std::printf("  rows %d, first message %d characters: \"%s\"\n", model.rowCount(), int(firstMessage.size()),
                qPrintable(firstMessage.left(8) + QStringLiteral("...") + firstMessage.right(8)));
    printPauses("longest pause of the window while opening", opening);

    Pauses searching;
    timer.restart();
    timed([&] { bench.child<QLineEdit>("filterText")->setText(QStringLiteral("жжж")); }, &searching);
    runEventsUntil([&] { return !model.isScanning(); }, &searching);
    bench.paint();
    printFigure("text search \"жжж\"", milliseconds(timer), "ms", 1500);
    std::printf("  filterCount \"%s\"\n", qPrintable(bench.child<QLabel>("filterCount")->text()));
    printPauses("longest pause of the window while searching", searching);
    bench.child<QToolButton>("filterClear")->click();
    runEventsUntil([&] { return !model.isScanning(); }, &searching);

    const QString csvPath = path + QStringLiteral(".csv");
    Pauses exporting;
    timer.restart();
    timed([&] { MainWindowProbe::exportTo(bench.window, csvPath); }, &exporting);
    runEventsUntil([&] { return !MainWindowProbe::exporting(bench.window); }, &exporting);
    const double exportMs = milliseconds(timer);
    qint64 lines = 0;
    const qint64 bytes = readThrough(csvPath, '\n', &lines);
    std::printf("  export through the window, until written: %.0f ms, %lld lines, %.1f MB\n", exportMs, lines,
                megabytes(bytes));
    printPauses("longest pause of the window while exporting", exporting);
    if (peakReset)
        printFigure("peak resident memory (VmHWM)", MemoryMeter::megabytes("VmHWM:"), "MB", 150);
    else
        std::printf("  peak resident memory (VmHWM): %.1f MB, of the whole run\n", MemoryMeter::megabytes("VmHWM:"));
    QFile::remove(csvPath);
    return lines == model.totalRecords();
}

struct ExportResult {
    bool ok = false;
    double seconds = 0;
    qint64 bytes = 0;
    qint64 lines = 0;
};

ExportResult measureCsvExport(const QString &path, const QString &csvPath, const LogFilter &filter)
{
    ExportResult result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-export"));
        db.setDatabaseName(path);
        QElapsedTimer timer;
        timer.start();
        result.ok = db.open() && exportLogCsvFile(db, LogViewStatements(), csvPath, filter).ok();
        result.seconds = secondsOf(timer);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-export"));
    result.bytes = readThrough(csvPath, '\n', &result.lines);
    return result;
}

ExportResult measureSqlite3(const QString &path, const QString &csvPath)
{
    ExportResult result;
    QProcess sqlite;
    sqlite.setStandardOutputFile(csvPath, QIODevice::Truncate);
    sqlite.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    sqlite.start(QStringLiteral("sqlite3"), {QStringLiteral("-csv"), path, LogViewSql});
    if (!sqlite.waitForStarted(-1) || !sqlite.waitForFinished(-1))
        return result;
    result.seconds = secondsOf(timer);
    result.ok = sqlite.exitStatus() == QProcess::NormalExit && sqlite.exitCode() == 0;
    result.bytes = QFileInfo(csvPath).size();
    return result;
}

void printExport(const char *name, const ExportResult &result, qint64 records)
{
    std::printf("%s %8.3f s  %9.0f rows/s  %7.1f MB written (%.1f MB/s)\n", name, result.seconds,
                perSecond(records, result.seconds), megabytes(result.bytes),
                megabytes(result.bytes) / std::max(result.seconds, 1e-9));
}

} // namespace

int main(int argc, char *argv[])
{
    // As the application keeps its memory.
    returnLargeBlocksAtOnce();
    // Offscreen unless there is a display to show the window on (xvfb-run, for screens).
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(QStringLiteral("FILE.db"), QStringLiteral("the log file, made when missing"));
    parser.addPositionalArgument(QStringLiteral("N"), QStringLiteral("records to make it with"), QStringLiteral("[N]"));
    parser.addOption({QStringLiteral("blob-file"), QStringLiteral("a log file of 10 MB data values, made when missing"),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("hostile-file"),
                      QStringLiteral("a hostile log file (12 records of 10 MB data, a caption of 10 million "
                                     "characters), made when missing; measured alone"),
                      QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("merged"),
                      QStringLiteral("log files shown together, made here when missing (the positional arguments "
                                     "are then FILES and N: 16 of 100000 records unless given); measured alone"),
                      QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("merged-server"),
                      QStringLiteral("devices of a central database of the bench's own shown together, their log "
                                     "made here (the positional arguments are then DEVICES and N: 64 of 100000 "
                                     "records unless given); measured alone"),
                      QStringLiteral("DIR")});
    parser.addOption(
        {QStringLiteral("screens"), QStringLiteral("save what the window shows here"), QStringLiteral("DIR")});
    parser.process(app);
    const QStringList args = parser.positionalArguments();
    const QString hostilePath = parser.value(QStringLiteral("hostile-file"));
    const QString mergedFolder = parser.value(QStringLiteral("merged"));
    const QString serverFolder = parser.value(QStringLiteral("merged-server"));
    if (!serverFolder.isEmpty() || !mergedFolder.isEmpty()) {
        const bool onServer = !serverFolder.isEmpty();
        bool logsNumeric = true;
        bool recordsNumeric = true;
        const int logs = args.size() > 0 ? args.at(0).toInt(&logsNumeric) : (onServer ? 64 : 16);
        const qint64 records = args.size() > 1 ? args.at(1).toLongLong(&recordsNumeric) : 100000;
        if (!logsNumeric || !recordsNumeric || logs < 2 || records < 1 || args.size() > 2) {
            std::fprintf(stderr,
                         onServer ? "usage: bench_logfile --merged-server DIR [DEVICES [N]] [--screens DIR]\n"
                                  : "usage: bench_logfile --merged DIR [FILES [N]] [--screens DIR]\n");
            return 2;
        }
        const QString screens = parser.value(QStringLiteral("screens"));
        if (!screens.isEmpty())
            QDir().mkpath(screens);
        const QString folder = onServer ? serverFolder : mergedFolder;
        QDir().mkpath(folder);
        const bool measured = onServer ? measureMergedServer(folder, logs, records, screens)
                                       : measureMergedView(folder, logs, records, screens);
        return measured ? 0 : 1;
    }
    bool numeric = true;
    const qint64 toGenerate = args.size() > 1 ? args.at(1).toLongLong(&numeric) : DefaultRecords;
    if ((args.isEmpty() && hostilePath.isEmpty()) || (!args.isEmpty() && !hostilePath.isEmpty()) || args.size() > 2
        || !numeric || toGenerate < 0) {
        std::fprintf(stderr,
                     "usage: bench_logfile FILE.db [N] [--blob-file FILE.db] [--screens DIR]\n"
                     "       bench_logfile --hostile-file FILE.db\n"
                     "       bench_logfile --merged DIR [FILES [N]] [--screens DIR]\n"
                     "       bench_logfile --merged-server DIR [DEVICES [N]] [--screens DIR]\n");
        return 2;
    }
    // Alone in its process, so that the peak of memory is the hostile file's.
    if (!hostilePath.isEmpty()) {
        if (!QFileInfo::exists(hostilePath)) {
            QElapsedTimer made;
            made.start();
            const QString error = HostileLog::make(hostilePath, HostileLog::Shape());
            if (!error.isEmpty()) {
                std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(error));
                return 1;
            }
            std::printf("generated %s in %.2f s\n", qPrintable(hostilePath), secondsOf(made));
        }
        return measureHostileFile(hostilePath) ? 0 : 1;
    }
    const QString path = args.at(0);
    const QString screens = parser.value(QStringLiteral("screens"));
    if (!screens.isEmpty())
        QDir().mkpath(screens);
    if (!QFileInfo::exists(path) && !makeLogFile(path, toGenerate))
        return 1;
    const QString blobPath = parser.value(QStringLiteral("blob-file"));
    if (!blobPath.isEmpty() && !QFileInfo::exists(blobPath) && !makeBlobFile(blobPath))
        return 1;

    qint64 records = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-count"));
        db.setDatabaseName(path);
        QSqlQuery count(db);
        if (db.open() && count.exec(QStringLiteral("SELECT COUNT(*) FROM Log")) && count.next())
            records = count.value(0).toLongLong();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-count"));
    std::printf("log file %s: %lld records, %.1f MB (read once to warm the page cache)\n", qPrintable(path), records,
                megabytes(readThrough(path)));
    if (!blobPath.isEmpty())
        readThrough(blobPath);

    bool sound = true;
    {
        BenchWindow bench;
        sound = measureScrolling(bench, path, records, screens);
        measureFilters(bench, screens);
        measureTimeline(bench, path, records, screens);
    }
    if (!blobPath.isEmpty())
        measureBlobFile(blobPath);

    std::printf("\nThe log view query's rows as CSV:\n");
    const ExportResult sqlite = measureSqlite3(path, path + QStringLiteral(".sqlite3.csv"));
    if (!sqlite.ok) {
        std::fprintf(stderr, "bench_logfile: sqlite3 failed (is the sqlite3 command installed?)\n");
        return 1;
    }
    printExport("  sqlite3 -csv (raw rows)     ", sqlite, records);
    const ExportResult csv = measureCsvExport(path, path + QStringLiteral(".csv"), LogFilter());
    printExport("  export, no filter           ", csv, records);
    std::printf("  export lines: %lld of %lld records; ratio export / sqlite3: %.1f\n", csv.lines, records,
                csv.seconds / std::max(sqlite.seconds, 1e-9));
    LogFilter search;
    search.text = QStringLiteral("насос 3");
    const ExportResult filtered = measureCsvExport(path, path + QStringLiteral(".filtered.csv"), search);
    printExport("  export, text \"насос 3\"      ", filtered, records);
    std::printf("  lines written: %lld\n", filtered.lines);
    std::printf("  peak resident memory (VmHWM): %.1f MB\n", MemoryMeter::megabytes("VmHWM:"));
    return sound && csv.ok && filtered.ok && csv.lines == records ? 0 : 1;
}
