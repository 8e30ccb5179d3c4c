// bench_logfile FILE.db [N]: on a large log file (made with N records when it is
// missing), times how soon the log view shows its first rows after the file is
// opened, the CSV export, and the sqlite3 command-line tool writing the raw rows
// of the same query as CSV. Run it with QT_QPA_PLATFORM=offscreen (the default).

#include "presentation/csvexport.h"
#include "store/logfile.h"
#include "bench/logfiller.h"
#include "store/logschema.h"
#include "presentation/logviewmodel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QPixmap>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qint64 DefaultRecords = 1000000;
constexpr int ReadChunk = 1 << 20;

double secondsOf(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double megabytes(qint64 bytes)
{
    return double(bytes) / 1e6;
}

double perSecond(qint64 count, double seconds)
{
    return seconds > 0 ? double(count) / seconds : 0.0;
}

// Peak resident memory of this process, from the kernel's own account; empty
// where there is no /proc.
QString peakMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).simplified());
    }
    return QString();
}

// Reads the whole file once, so that every measurement finds it in the page
// cache and none pays for the disk on behalf of the others.
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

// Counts what the view asks for: how many messages it had rendered and the
// furthest row it touched.
class CountingLogViewModel : public LogViewModel
{
public:
    using LogViewModel::LogViewModel;

    QVariant data(const QModelIndex &item, int role = Qt::DisplayRole) const override
    {
        furthestRow = std::max(furthestRow, item.row());
        if (item.column() == 2 && role == Qt::DisplayRole)
            ++messages;
        return LogViewModel::data(item, role);
    }

    mutable qint64 messages = 0;
    mutable int furthestRow = -1;
};

// The window's presentation of the log table after each (re)query, step by step
// as it applies it, with the model's row count after the step that may fetch.
struct RefreshTimes {
    double setQuery = 0;
    int rowsAfterQuery = 0;
    double setup = 0; // setModel, hidden data column, selection
    double resize = 0;
    int rowsAfterResize = 0;
    qint64 messagesInResize = 0;
    double rest = 0;
};

RefreshTimes refreshLogView(QTableView &view, CountingLogViewModel &model)
{
    RefreshTimes times;
    QElapsedTimer timer;
    timer.start();
    model.setQuery(LogViewSql, QSqlDatabase());
    times.setQuery = secondsOf(timer);
    times.rowsAfterQuery = model.rowCount();

    timer.restart();
    view.setModel(&model);
    view.hideColumn(3);
    view.setSelectionBehavior(QAbstractItemView::SelectRows);
    view.setSelectionMode(QAbstractItemView::SingleSelection);
    times.setup = secondsOf(timer);

    const qint64 messagesBefore = model.messages;
    timer.restart();
    view.resizeColumnsToContents();
    times.resize = secondsOf(timer);
    times.rowsAfterResize = model.rowCount();
    times.messagesInResize = model.messages - messagesBefore;

    timer.restart();
    view.horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    view.setEditTriggers(QAbstractItemView::NoEditTriggers);
    view.horizontalHeader()->setStretchLastSection(true);
    times.rest = secondsOf(timer);
    return times;
}

void printRefresh(const RefreshTimes &times)
{
    std::printf("  setQuery                %8.4f s   rowCount() %d\n", times.setQuery, times.rowsAfterQuery);
    std::printf("  setModel, hide, select  %8.4f s\n", times.setup);
    std::printf("  resizeColumnsToContents %8.4f s   rowCount() %d, %lld messages rendered\n", times.resize,
                times.rowsAfterResize, times.messagesInResize);
    std::printf("  header stretch, no edit %8.4f s\n", times.rest);
}

bool measureFirstScreen(const QString &path, qint64 records)
{
    // The window is on screen before a file is opened; the table takes the
    // window's client area below the toolbar and above the status bar.
    QTableView view;
    view.resize(800, 520);
    view.show();
    QCoreApplication::processEvents();

    CountingLogViewModel model;
    QSqlDatabase database = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);

    QElapsedTimer total;
    total.start();
    QElapsedTimer step;
    step.start();
    const LogFileOutcome opened = openLogFile(database, path);
    const double openTime = secondsOf(step);
    if (!opened.ok) {
        std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(opened.message));
        return false;
    }
    const RefreshTimes refresh = refreshLogView(view, model);
    if (model.lastError().isValid()) {
        std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(model.lastError().text()));
        return false;
    }

    const qint64 messagesBefore = model.messages;
    step.restart();
    QCoreApplication::processEvents(); // the view lays itself out later
    const QPixmap screen = view.grab();
    const double paintTime = secondsOf(step);
    const double totalTime = secondsOf(total);
    const int rowsAfterPaint = model.rowCount();
    const qint64 messagesPainted = model.messages - messagesBefore;
    const int firstVisible = view.rowAt(0);
    const int lastVisible = view.rowAt(view.viewport()->height() - 1);

    // Whatever the view still does of its own accord (delayed layout, fetching
    // when the last fetched row is in sight) has had its chance after this.
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const int rowsSettled = model.rowCount();

    std::printf("\nFirst screen after opening (%lld records; view 800x520, offscreen):\n", records);
    std::printf("  openLogFile             %8.4f s\n", openTime);
    printRefresh(refresh);
    std::printf("  layout and paint (grab) %8.4f s   rowCount() %d, %lld messages rendered, rows %d..%d visible, "
                "%dx%d pixels\n",
                paintTime, rowsAfterPaint, messagesPainted, firstVisible, lastVisible, screen.width(), screen.height());
    std::printf("  total, open to painted  %8.4f s\n", totalTime);
    std::printf("  after 0.5 s of events: rowCount() %d, canFetchMore() %s, furthest row read %d\n", rowsSettled,
                model.canFetchMore() ? "true" : "false", model.furthestRow);
    const bool partial = rowsSettled < records && model.canFetchMore();
    std::printf("  the view read %s the file to show its first screen\n", partial ? "only the head of" : "ALL of");
    std::printf("  peak memory so far: %s\n", qPrintable(peakMemory()));

    // What each stored record costs during a download, which re-runs the same
    // refresh on the open file.
    QElapsedTimer again;
    again.start();
    const RefreshTimes second = refreshLogView(view, model);
    const QPixmap repainted = view.grab();
    std::printf("\nrefreshLogView again on the open file, with repaint: %.4f s\n", secondsOf(again));
    printRefresh(second);
    (void)repainted;

    view.setModel(nullptr);
    model.clear();
    return true;
}

// The newest records are at the bottom. The view fetches the next rows only
// when its scroll bar reaches the end of the rows fetched so far, so reaching
// the newest record means scrolling to the end again and again until nothing
// is left to fetch: each round is one Ctrl+End of a user, painted. Gives up
// after `limitSeconds`.
void measureScrollToEnd(const QString &path, qint64 records, double limitSeconds)
{
    QTableView view;
    view.resize(800, 520);
    view.show();
    CountingLogViewModel model;
    QSqlDatabase database = QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false);
    if (!openLogFile(database, path).ok)
        return;
    refreshLogView(view, model);
    QCoreApplication::processEvents();

    QElapsedTimer timer;
    timer.start();
    int rounds = 0;
    while (model.canFetchMore() && secondsOf(timer) < limitSeconds) {
        view.scrollToBottom();
        QCoreApplication::processEvents();
        ++rounds;
    }
    view.scrollToBottom();
    const QPixmap screen = view.grab();
    const double seconds = secondsOf(timer);
    std::printf("\nScrolling to the newest record (scrollToBottom until nothing is left to fetch):\n");
    std::printf("  %s after %.2f s and %d rounds: rowCount() %d of %lld, canFetchMore() %s, last visible row %d\n",
                model.canFetchMore() ? "gave up" : "reached the end", seconds, rounds, model.rowCount(), records,
                model.canFetchMore() ? "true" : "false", view.rowAt(view.viewport()->height() - 1));
    std::printf("  peak memory: %s\n", qPrintable(peakMemory()));
    (void)screen;
    view.setModel(nullptr);
    model.clear();
}

struct ExportResult {
    bool ok = false;
    double seconds = 0;
    qint64 bytes = 0;
    qint64 lines = 0;
};

ExportResult measureCsvExport(const QString &csvPath)
{
    ExportResult result;
    QFile file(csvPath);
    QElapsedTimer timer;
    timer.start();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return result;
    result.ok = writeLogCsv(QSqlDatabase::database(), file);
    file.close();
    result.seconds = secondsOf(timer);
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
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const QStringList args = app.arguments();
    bool numeric = true;
    const qint64 toGenerate = args.size() > 2 ? args.at(2).toLongLong(&numeric) : DefaultRecords;
    if (args.size() < 2 || args.size() > 3 || !numeric || toGenerate < 0) {
        std::fprintf(stderr,
                     "usage: bench_logfile FILE.db [N]\n"
                     "Makes FILE.db with N records (default %lld) when it is missing, then times the\n"
                     "log view's first screen and the CSV export on it.\n",
                     DefaultRecords);
        return 2;
    }
    const QString path = args.at(1);

    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    if (!QFileInfo::exists(path)) {
        QElapsedTimer timer;
        timer.start();
        const LogFileOutcome created = createLogFile(database, path);
        const LogFillOutcome filled = created.ok ? fillLogFile(database, toGenerate) : LogFillOutcome{};
        database.close();
        if (!created.ok || !filled.ok) {
            std::fprintf(stderr, "bench_logfile: %s\n", qPrintable(created.ok ? filled.error : created.message));
            return 1;
        }
        std::printf("generated %s with %lld records in %.2f s\n", qPrintable(path), toGenerate, secondsOf(timer));
    }

    // The record count from the file itself, which may have been made earlier.
    qint64 records = 0;
    {
        const LogFileOutcome opened = openLogFile(database, path);
        QSqlQuery count(database);
        if (!opened.ok || !count.exec(QStringLiteral("SELECT COUNT(*) FROM Log")) || !count.next()) {
            std::fprintf(stderr, "bench_logfile: cannot count the records of %s\n", qPrintable(path));
            return 1;
        }
        records = count.value(0).toLongLong();
    }
    database.close();
    const qint64 fileSize = readThrough(path);
    std::printf("log file %s: %lld records, %.1f MB (read once to warm the page cache)\n", qPrintable(path), records,
                megabytes(fileSize));

    if (!measureFirstScreen(path, records))
        return 1;

    std::printf("\nThe log view query's rows as CSV:\n");
    const ExportResult sqlite = measureSqlite3(path, path + QStringLiteral(".sqlite3.csv"));
    if (!sqlite.ok) {
        std::fprintf(stderr, "bench_logfile: sqlite3 failed (is the sqlite3 command installed?)\n");
        return 1;
    }
    printExport("  sqlite3 -csv (raw rows) ", sqlite, records);

    const ExportResult csv = measureCsvExport(path + QStringLiteral(".csv"));
    if (!csv.ok) {
        std::fprintf(stderr, "bench_logfile: the CSV export failed\n");
        return 1;
    }
    printExport("  writeLogCsv (the export)", csv, records);
    std::printf("  export lines: %lld of %lld records\n", csv.lines, records);
    std::printf("  ratio export / sqlite3: %.1f\n", csv.seconds / std::max(sqlite.seconds, 1e-9));
    std::printf("  peak memory: %s\n", qPrintable(peakMemory()));

    measureScrollToEnd(path, records, 120.0);

    database.close();
    return csv.lines == records ? 0 : 1;
}
