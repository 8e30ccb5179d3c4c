// Several log files merged into one log file that the view reads as any other.

#include "logaccess/mergedlogfile.h"

#include "logaccess/csvexport.h"
#include "logaccess/logviewstatements.h"
#include "logaccess/mergedlogs.h"
#include "store/logschema.h"

#include "tests/support/logfixture.h"
#include "tests/support/notlogfiles.h"
#include "tests/support/stationlogs.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QTextCodec>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace LogFixture;

namespace {

// A record as the table shows it, with its device.
struct Row {
    QString device;
    QString time;
    QString message;
    bool operator==(const Row &other) const
    {
        return device == other.device && time == other.time && message == other.message;
    }
};

char *rowText(const Row &row)
{
    return QTest::toString(QStringLiteral("%1 | %2 | %3").arg(row.device, row.time, row.message));
}

// Runs `read` on the log file at `path`, open read-only on a connection of its own.
template<typename Read> void readFile(const QString &path, Read read)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("test-reader"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(path);
        if (db.open())
            read(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("test-reader"));
}

// The records of the log file at `path` as the table shows them, in their order, each
// said to be of `device` (or, with `device` empty, of the device the merged file names).
QVector<Row> shownRows(const QString &path, const QString &device = QString())
{
    QVector<Row> rows;
    readFile(path, [&](QSqlDatabase &db) {
        const StoreResult<LogViewStatements> statements = LogViewStatements::ofLogFile(db);
        if (!statements)
            return;
        const QStringList devices = device.isEmpty()
            ? LogFixture::rows(db,
                               QStringLiteral("SELECT d.name FROM Log l JOIN %1 d ON d.id = l.device ORDER BY l.id")
                                   .arg(MergedDevicesTable))
            : QStringList();
        const StoreResult<qint64> read = readLogRecordsAfter(db, *statements, 0, [&](const ShownRecord &record) {
            rows.push_back({device.isEmpty() ? devices.value(rows.size()) : device, record.time, record.message});
        });
        // A row no log has, to fail the comparison.
        if (!read)
            rows.push_back({QStringLiteral("read failed"), QString(), read.error().text});
    });
    return rows;
}

} // namespace

namespace QTest {
template<> char *toString(const Row &row)
{
    return rowText(row);
}
} // namespace QTest

class tst_MergedLogFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void mergedRows_data();
    void mergedRows();
    void unreadableFileIsNamed_data();
    void unreadableFileIsNamed();
    void cancelledLeavesNoFile();
    void twoFilesOfOneNameAreRefused();
    void filesAddedToThoseShown_data();
    void filesAddedToThoseShown();
    void recordsStoredSinceEqualAMergeAnew();
    void newestRecordsEndTheWholeMerge_data();
    void newestRecordsEndTheWholeMerge();

private:
    // The station's devices made as log files; their paths.
    QStringList makeStation(int devices, bool setBack);
    // The files the merge left in the system's temporary folder.
    QStringList leftInTemp() const;

    QTemporaryDir root;
    QString temp;
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_MergedLogFile::initTestCase()
{
    QVERIFY(root.isValid());
    // The merged files go to a temporary folder of the test's own, to see what is left.
    temp = root.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(temp));
    StationLogs::useTempFolder(temp);
    QCOMPARE(QDir::tempPath(), QDir(temp).canonicalPath());
}

void tst_MergedLogFile::init()
{
    dir = std::make_unique<QTemporaryDir>(root.filePath(QStringLiteral("logs-XXXXXX")));
    QVERIFY(dir->isValid());
}

void tst_MergedLogFile::cleanup()
{
    dir.reset();
}

QStringList tst_MergedLogFile::leftInTemp() const
{
    return QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

QStringList tst_MergedLogFile::makeStation(int devices, bool setBack)
{
    const QVector<StationLogs::Device> station = StationLogs::threeDevices();
    QStringList paths;
    for (int d = 0; d < devices; ++d) {
        const QString path = dir->filePath(QStringLiteral("станция %1/%2.db").arg(d).arg(station[d].name));
        QDir().mkpath(QFileInfo(path).path());
        const QString failure = StationLogs::makeLogFile(path, station[d].records, quint32(d + 7), station[d].start,
                                                         setBack && d == 0);
        if (!failure.isEmpty())
            return {};
        paths << path;
    }
    return paths;
}

// The merged file holds every record of every device, as each shows in its own file,
// merged as a merged export merges them: by time, then by device name, each device's in
// its own order (kept even where its clock was set back). Its Log.id ascends in that
// order without gaps, and it names the devices.
void tst_MergedLogFile::mergedRows_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<bool>("setBack");
    QTest::newRow("three devices") << 3 << false;
    QTest::newRow("a clock set back") << 3 << true;
    QTest::newRow("one device") << 1 << false;
}

void tst_MergedLogFile::mergedRows()
{
    QFETCH(int, devices);
    QFETCH(bool, setBack);
    const QStringList paths = makeStation(devices, setBack);
    QCOMPARE(paths.size(), devices);

    StoreResult<std::unique_ptr<MergedLogFile>> merged = MergedLogFile::build(paths);
    QVERIFY2(merged.ok(), qPrintable(merged.error().text));
    const QString mergedPath = merged.value()->path();
    QVERIFY(QFile::exists(mergedPath));
    QCOMPARE(merged.value()->sources(), paths);

    // By hand: every device's rows as its own file shows them, sorted by time, then by
    // device name, each device's in its own order (a stable sort).
    QVector<Row> expected;
    for (const QString &path : paths)
        expected += shownRows(path, MergedLogs::deviceNameOfFile(path));
    std::stable_sort(expected.begin(), expected.end(), [](const Row &a, const Row &b) {
        return a.time != b.time ? a.time < b.time : a.device < b.device;
    });
    const QVector<Row> shown = shownRows(mergedPath);
    QCOMPARE(shown.size(), expected.size());
    QCOMPARE(shown.size(), devices == 1 ? 1500 : 1500 + 800 + 2600);
    if (!setBack) {
        for (int r = 0; r < shown.size(); ++r)
            QCOMPARE(shown[r], expected[r]);
    }
    // Each device's rows in its own order, whatever its clock did.
    for (const QString &path : paths) {
        const QString device = MergedLogs::deviceNameOfFile(path);
        QVector<Row> own;
        std::copy_if(shown.begin(), shown.end(), std::back_inserter(own),
                     [&device](const Row &row) { return row.device == device; });
        QCOMPARE(own, shownRows(path, device));
    }

    // The merged export of the same files: the same lines, each after its device's name.
    StoreResult<std::unique_ptr<MergedLogs>> sources = MergedLogs::openFiles(paths, OpenLogSettings());
    QVERIFY2(sources.ok(), qPrintable(sources.error().text));
    QBuffer reference;
    QVERIFY(reference.open(QIODevice::WriteOnly | QIODevice::Text));
    QVERIFY(writeMergedLogCsv(sources.value()->mergedLogs(), reference, LogFilter()).ok());
    QByteArray ownExport;
    readFile(mergedPath, [&](QSqlDatabase &db) {
        const StoreResult<LogViewStatements> statements = LogViewStatements::ofLogFile(db);
        QVERIFY(statements.ok());
        QCOMPARE(statements->hasDevices(), devices > 1);
        QVERIFY(statements->keysInDisplayOrder());
        // Every line: the device (of several), then the single log's line of the record.
        QBuffer out;
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Text));
        QVERIFY(writeLogCsv(db, *statements, out, LogFilter()).ok());
        const QVector<Row> &rows = shown;
        int row = 0;
        for (const QByteArray &line : out.data().split('\n')) {
            if (line.isEmpty())
                continue;
            if (devices > 1)
                QVERIFY2(line.contains(systemCsvEncoding().codec->fromUnicode(rows.value(row).device)),
                         line.constData());
            ++row;
        }
        QCOMPARE(row, rows.size());
        ownExport = out.data();
        // Log.id ascends in display order, from 1 and without gaps.
        QCOMPARE(LogFixture::rows(db, QStringLiteral("SELECT min(id), max(id), count(*) FROM Log")),
                 QStringList(QStringLiteral("1|%1|%1").arg(rows.size())));
        QCOMPARE(LogFixture::rows(db, QStringLiteral("SELECT name, path FROM %1 ORDER BY id").arg(MergedDevicesTable))
                     .size(),
                 devices);
    });
    QCOMPARE(ownExport, reference.data());

    // The file goes with the object.
    merged.value().reset();
    QVERIFY(!QFile::exists(mergedPath));
    QCOMPARE(leftInTemp(), QStringList());
}

// A file that cannot be read as a log fails the whole merge, its error naming that file,
// and leaves nothing behind.
void tst_MergedLogFile::unreadableFileIsNamed_data()
{
    QTest::addColumn<int>("kind"); // a NotLogFiles::Kind; -1: no file at all
    QTest::addColumn<QString>("message");
    QTest::newRow("no such file") << -1 << "Не удается найти файл";
    QTest::newRow("text") << int(NotLogFiles::Text) << "file is not a database";
    QTest::newRow("other database") << int(NotLogFiles::OtherDatabase) << "no such table";
    QTest::newRow("log without events") << int(NotLogFiles::LogWithoutEvents) << "no such table";
}

void tst_MergedLogFile::unreadableFileIsNamed()
{
    QFETCH(int, kind);
    QFETCH(QString, message);
    QStringList paths = makeStation(3, false);
    QCOMPARE(paths.size(), 3);
    paths[1] = dir->filePath(QStringLiteral("не журнал.db"));
    std::unique_ptr<NotLogFiles::NotLogFile> bad;
    if (kind >= 0) {
        bad = std::make_unique<NotLogFiles::NotLogFile>(NotLogFiles::Kind(kind), paths[1]);
        QVERIFY(bad->ready());
    }
    QString failedPath;
    const StoreResult<std::unique_ptr<MergedLogFile>> merged = MergedLogFile::build(paths, {}, CancelToken(),
                                                                                    &failedPath);
    QVERIFY(!merged.ok());
    QCOMPARE(failedPath, paths[1]);
    QVERIFY2(merged.error().text.contains(QDir::toNativeSeparators(paths[1])), qPrintable(merged.error().text));
    QVERIFY2(merged.error().text.contains(message), qPrintable(merged.error().text));
    QCOMPARE(leftInTemp(), QStringList());
}

// A merge cancelled fails Cancelled and leaves no file; the sources are as they were.
void tst_MergedLogFile::cancelledLeavesNoFile()
{
    const QStringList paths = makeStation(3, false);
    QCOMPARE(paths.size(), 3);
    const CancelToken token;
    token.cancel();
    const StoreResult<std::unique_ptr<MergedLogFile>> merged = MergedLogFile::build(paths, {}, token);
    QVERIFY(!merged.ok());
    QCOMPARE(merged.error().kind, StoreError::Kind::Cancelled);
    QCOMPARE(leftInTemp(), QStringList());
    QCOMPARE(recordCount(paths[0]), 1500);
}

// Two files of one name in two folders would be one device: refused, both named.
void tst_MergedLogFile::twoFilesOfOneNameAreRefused()
{
    QStringList paths = makeStation(2, false);
    QCOMPARE(paths.size(), 2);
    const QString twin = dir->filePath(QStringLiteral("другая папка/") + QFileInfo(paths[0]).fileName());
    QVERIFY(QDir().mkpath(QFileInfo(twin).path()));
    QVERIFY(QFile::copy(paths[0], twin));
    paths << twin;
    QString failedPath;
    const StoreResult<std::unique_ptr<MergedLogFile>> merged = MergedLogFile::build(paths, {}, CancelToken(),
                                                                                    &failedPath);
    QVERIFY(!merged.ok());
    QCOMPARE(merged.error().kind, StoreError::Kind::Refused);
    QCOMPARE(failedPath, twin);
    QVERIFY2(merged.error().text.contains(QDir::toNativeSeparators(twin)), qPrintable(merged.error().text));
    QVERIFY2(merged.error().text.contains(QDir::toNativeSeparators(paths[0])), qPrintable(merged.error().text));
    QCOMPARE(leftInTemp(), QStringList());
}

// Files added to those shown: the ones shown first, then the new ones; a file already
// shown, under any path that leads to it, counts once.
void tst_MergedLogFile::filesAddedToThoseShown_data()
{
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("added");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("to none") << QStringList() << QStringList{"a.db", "b.db"} << QStringList{"a.db", "b.db"};
    QTest::newRow("to one") << QStringList{"b.db"} << QStringList{"a.db"} << QStringList{"b.db", "a.db"};
    QTest::newRow("one already shown") << QStringList{"a.db", "b.db"} << QStringList{"c.db", "b.db"}
                                       << QStringList{"a.db", "b.db", "c.db"};
    QTest::newRow("by another path") << QStringList{"a.db"} << QStringList{"sub/../a.db"} << QStringList{"a.db"};
#ifndef Q_OS_WIN
    // A Windows link is a file of its own (a shortcut), not the file it points to.
    QTest::newRow("through a link") << QStringList{"link.db"} << QStringList{"a.db"} << QStringList{"link.db"};
#endif
    QTest::newRow("picked twice") << QStringList() << QStringList{"a.db", "a.db"} << QStringList{"a.db"};
    QTest::newRow("missing, kept to be named")
        << QStringList{"a.db"} << QStringList{"gone.db"} << QStringList{"a.db", "gone.db"};
}

void tst_MergedLogFile::filesAddedToThoseShown()
{
    QFETCH(QStringList, shown);
    QFETCH(QStringList, added);
    QFETCH(QStringList, expected);
    QDir folder(dir->path());
    QVERIFY(folder.mkpath(QStringLiteral("sub")));
    for (const char *name : {"a.db", "b.db", "c.db"}) {
        QFile file(folder.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
#ifndef Q_OS_WIN
    QVERIFY(QFile::link(folder.filePath(QStringLiteral("a.db")), folder.filePath(QStringLiteral("link.db"))));
#endif
    const auto inFolder = [&folder](const QStringList &names) {
        QStringList paths;
        for (const QString &name : names)
            paths << folder.filePath(name);
        return paths;
    };
    QCOMPARE(logFilesWithAdded(inFolder(shown), inFolder(added)), inFolder(expected));
}

// Records stored into the logs after the merge, round after round, as collectors store
// them while the view is open: each look either copies them to the end, and the file
// then holds exactly what merging the logs anew gives, or says to merge anew. Both
// happen; whatever the clocks do (one set back, one behind the others, records sharing
// a second, a record without a caption), no look leaves the file other than a merge
// anew would.
void tst_MergedLogFile::recordsStoredSinceEqualAMergeAnew()
{
    const QStringList paths = makeStation(3, true);
    QCOMPARE(paths.size(), 3);
    StoreResult<std::unique_ptr<MergedLogFile>> merged = MergedLogFile::build(paths);
    QVERIFY2(merged.ok(), qPrintable(merged.error().text));
    StoreResult<MergedGrowth> none = merged.value()->appendNew();
    QVERIFY(none.ok());
    QCOMPARE(*none, MergedGrowth::Nothing);

    QRandomGenerator random(2024);
    // The newest device time of all the logs: new records come near it.
    qint64 newest = 0;
    for (const QString &path : paths) {
        const QStringList times = LogFixture::fileRows(path, QStringLiteral("SELECT max(dt) FROM Log"));
        newest = std::max(newest, times.value(0).toLongLong() - DeviceEpochUnixSeconds);
    }
    int appended = 0;
    int anew = 0;
    for (int round = 0; round < 16; ++round) {
        for (const QString &path : paths) {
            if (random.bounded(3) == 0)
                continue;
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("collector"));
                db.setDatabaseName(path);
                QVERIFY(db.open());
                const int count = 1 + random.bounded(4);
                for (int n = 0; n < count; ++n) {
                    // Mostly after the newest, now and then a little before it.
                    const qint64 time = newest - 20 + random.bounded(60);
                    const quint32 events[] = {1, 2, 99};
                    QCOMPARE(LogFixture::addRecord(db, events[random.bounded(3)], random.bounded(4),
                                                   QByteArray(5, char(round)), quint32(time),
                                                   quint32(10000 + round * 10 + n)),
                             QString());
                    newest = std::max(newest, time);
                }
                db.close();
            }
            QSqlDatabase::removeDatabase(QStringLiteral("collector"));
        }
        const StoreResult<MergedGrowth> grown = merged.value()->appendNew();
        QVERIFY2(grown.ok(), qPrintable(grown.error().text));
        StoreResult<std::unique_ptr<MergedLogFile>> again = MergedLogFile::build(paths);
        QVERIFY2(again.ok(), qPrintable(again.error().text));
        if (*grown == MergedGrowth::Reordered) {
            ++anew;
            merged = std::move(again);
            continue;
        }
        appended += *grown == MergedGrowth::Appended ? 1 : 0;
        QCOMPARE(shownRows(merged.value()->path()), shownRows(again.value()->path()));
    }
    QVERIFY2(appended >= 3 && anew >= 3, qPrintable(QStringLiteral("%1 appended, %2 anew").arg(appended).arg(anew)));
}

// A first look at a merge is the end of the whole merge: every record of every log from
// a time on, that of the asked-for newest record of the log that sets it, so that no log
// gives much more than asked; there is none when no log holds more than that.
void tst_MergedLogFile::newestRecordsEndTheWholeMerge_data()
{
    QTest::addColumn<int>("newest");
    QTest::addColumn<QVector<int>>("offsets");
    QTest::newRow("the 300 newest") << 300 << QVector<int>();
    QTest::newRow("clocks moved") << 300 << QVector<int>{0, 900, -45};
    QTest::newRow("more than one log has") << 1000 << QVector<int>();
    QTest::newRow("more than any log has") << 2600 << QVector<int>{0, 60, 0};
}

void tst_MergedLogFile::newestRecordsEndTheWholeMerge()
{
    QFETCH(int, newest);
    QFETCH(QVector<int>, offsets);
    const QStringList paths = makeStation(3, false);
    QCOMPARE(paths.size(), 3);
    StoreResult<std::unique_ptr<MergedLogFile>> whole = MergedLogFile::build(paths, offsets);
    QVERIFY2(whole.ok(), qPrintable(whole.error().text));
    StoreResult<std::unique_ptr<MergedLogFile>> first = MergedLogFile::buildNewest(paths, offsets, newest);
    QVERIFY2(first.ok(), qPrintable(first.error().text));
    QVERIFY(!whole.value()->newestFrom().isValid());
    if (newest >= 2600) {
        QVERIFY(first.value() == nullptr);
        return;
    }
    QVERIFY(first.value() != nullptr);
    QCOMPARE(first.value()->deviceLabels(), whole.value()->deviceLabels());
    QCOMPARE(first.value()->sources(), paths);

    const QVector<Row> all = shownRows(whole.value()->path());
    const QVector<Row> shown = shownRows(first.value()->path());
    QVERIFY2(shown.size() >= newest - 8 && shown.size() < all.size(), qPrintable(QString::number(shown.size())));
    QCOMPARE(shown, all.mid(all.size() - shown.size()));
    const QString from = first.value()->newestFrom().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    QVERIFY2(shown.constFirst().time >= from, qPrintable(from));
    QVERIFY2(all.at(all.size() - shown.size() - 1).time < from, qPrintable(from));
    int most = 0;
    for (const QString &label : first.value()->deviceLabels()) {
        const int own = int(
            std::count_if(shown.begin(), shown.end(), [&](const Row &row) { return row.device == label; }));
        QVERIFY2(own <= newest, qPrintable(QStringLiteral("%1: %2").arg(label).arg(own)));
        most = std::max(most, own);
    }
    // Less the records of the second before `from`.
    QVERIFY2(most >= newest - 8, qPrintable(QString::number(most)));

    first.value().reset();
    whole.value().reset();
    QCOMPARE(leftInTemp(), QStringList());
}

QTEST_GUILESS_MAIN(tst_MergedLogFile)
#include "tst_mergedlogfile.moc"
