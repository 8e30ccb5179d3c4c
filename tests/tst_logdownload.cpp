// Tests of the download engine without widgets: whole downloads into a log file from a
// simulated device that serves on a pseudo-terminal from a thread of this process.

#include "logdownload/logdownload.h"
#include "protocol/devicetime.h"
#include "store/logfile.h"
#include "store/logfilestore.h"
#include "tests/support/logfixture.h"
#include "tools/devsim/demolog.h"
#include "tools/devsim/devicesimulator.h"
#include "tools/devsim/simulatorline.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

namespace {

constexpr std::uint32_t EndTime = 790000000;

// A device on its own thread at the far end of a new pseudo-terminal.
class Device
{
public:
    Device(const DeviceLog &log, const SimulatorOptions &options = SimulatorOptions()) : simulator(log, options)
    {
        plugIn();
    }
    ~Device() { stop(); }
    // Stops serving; the simulator's log may be looked at afterwards.
    void stop()
    {
        stopFlag = 1;
        if (server.joinable())
            server.join();
    }
    // As an adapter pulled out of its socket: the pseudo-terminal goes, and its
    // client's reads fail. The device keeps its log.
    void unplug()
    {
        stop();
        line.reset();
    }
    // Back, on a new pseudo-terminal (a new `path`).
    void plugIn()
    {
        stopFlag = 0;
        line = std::make_unique<SimulatorLine>();
        std::string error;
        LineSettings settings;
        settings.baud = 230400;
        if (!line->openPseudoTerminal(settings, &path, &error))
            return;
        server = std::thread([this] { line->serve(simulator, ServeSettings(), &stopFlag); });
    }
    const DeviceLog &log() const { return simulator.log(); }

    std::string path;

private:
    DeviceSimulator simulator;
    std::unique_ptr<SimulatorLine> line;
    std::thread server;
    volatile std::sig_atomic_t stopFlag = 0;
};

// A front end as small as it gets: a log file on a connection of its own and a
// LogDownload, with a host that records what it was told and answers the question as
// the test says.
struct Host : LogDownloadHost {
    explicit Host(const QString &file, const QString &connection = QStringLiteral("engine"))
        : connectionName(connection)
    {
        database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        opened = QFile::exists(file) ? openLogFile(database, file).ok() : createLogFile(database, file).ok();
        store.setDatabase(database);
        download.setStore(&store);
    }
    ~Host() override
    {
        download.closePort();
        download.setStore(nullptr);
        store.setDatabase(QSqlDatabase());
        database.close();
        database = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName);
    }

    bool downloadWanted() const override { return wanted; }
    void frameReceived(const std::uint8_t *, std::size_t, ReplyResult code) override
    {
        codes.append(code);
        if (onFrame)
            onFrame();
    }
    void frameBuilt(const std::uint8_t *bytes, std::size_t length) override
    {
        built.append(QByteArray(reinterpret_cast<const char *>(bytes), int(length)));
    }
    void requestSent() override { ++sent; }
    void replyCounted(std::uint32_t remaining) override
    {
        ++counted;
        progress.append(remaining);
    }
    bool confirmConfigurationUpdate() override
    {
        ++questions;
        if (onQuestion)
            onQuestion();
        return updateConfiguration;
    }
    void failed(const DownloadFailure &failure) override
    {
        wanted = false;
        failures.append(failure);
    }
    void recordsStored(std::uint32_t count) override { storedReports.append(count); }
    void portLost(const PortError &cause) override { lostCauses.append(cause.cause); }
    void reconnectFailed(unsigned, const PortError &, std::chrono::milliseconds) override { ++reopenFailures; }
    void portRestored(unsigned) override { ++restored; }

    bool connect(const std::string &path) { return download.openPort(path, 230400, 0, 0); }
    // Batches on a clock that stands still: only the download's own events commit them.
    void batchOnFrozenClock()
    {
        const LogDownload::Clock::time_point frozen = LogDownload::Clock::now();
        download.setClock([frozen] { return frozen; });
        download.setBatchInterval(std::chrono::milliseconds(500));
    }
    void start(std::uint8_t address = 1)
    {
        wanted = true;
        download.start(address);
    }
    // Ticks as fast as the line allows until `done` holds; false after `seconds`.
    bool runUntil(const std::function<bool()> &done, int seconds = 30)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            const DownloadEngine::TickResult result = download.tick();
            if (!result.replyTaken && !result.requestSent)
                download.waitForFrame(std::chrono::milliseconds(5));
        }
        return true;
    }
    // The whole log read, or the download ended.
    bool runToRest()
    {
        return runUntil([this] { return (download.atRest() && sent > 0) || !wanted; });
    }
    int requestsOf(std::uint8_t subFunction) const
    {
        int n = 0;
        for (const QByteArray &frame : built)
            n += frame.size() > 2 && std::uint8_t(frame.at(2)) == subFunction;
        return n;
    }
    QStringList storedRecords() const
    {
        return LogFixture::rows(database,
                                QStringLiteral("SELECT i, count, dt, type, event, hex(data) FROM Log ORDER BY id"));
    }

    QString connectionName;
    QSqlDatabase database;
    bool opened = false;
    LogFileStore store;
    // The command line's pace: a frame ends after the line's own silence.
    LogDownload download{*this, DownloadPace::Line};

    bool wanted = false;
    bool updateConfiguration = false;
    int questions = 0;
    QVector<ReplyResult> codes;
    QVector<QByteArray> built;
    int sent = 0;
    int counted = 0;
    QVector<std::uint32_t> progress;
    QVector<DownloadFailure> failures;
    QVector<std::uint32_t> storedReports;
    QVector<PortFailure> lostCauses;
    int reopenFailures = 0;
    int restored = 0;
    std::function<void()> onFrame;
    std::function<void()> onQuestion;
};

// The records the host was told of, all reports together.
std::uint32_t reportedRecords(const Host &host)
{
    std::uint32_t total = 0;
    for (std::uint32_t count : host.storedReports)
        total += count;
    return total;
}

// What another program reading the file sees: the committed records only.
int committedRecords(const QString &file)
{
    int count = -1;
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        other.setDatabaseName(file);
        if (other.open()) {
            QSqlQuery query(other);
            if (query.exec(QStringLiteral("SELECT count(*) FROM Log")) && query.next())
                count = query.value(0).toInt();
        }
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return count;
}

// The file's store, watched: whether a batch is open, and a commit that fails as a
// full disk makes it fail, with the batch rolled back.
class WatchedStore final : public LogStore
{
public:
    WatchedStore(LogStore &inner, QSqlDatabase database) : inner(inner), database(std::move(database)) {}
    StoreResult<StoredFingerprints> readFingerprints() override { return inner.readFingerprints(); }
    StoreStatus writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash) override
    {
        return inner.writeFingerprints(idHash, captionHash);
    }
    StoreStatus storeCaption(std::uint32_t eventId, const char *text) override
    {
        return inner.storeCaption(eventId, text);
    }
    StoreResult<std::uint32_t> resumePoint(std::uint32_t first) override { return inner.resumePoint(first); }
    StoreStatus storeRecord(const DeviceRecord &record) override { return inner.storeRecord(record); }
    bool beginBatch() override
    {
        inBatch = inner.beginBatch();
        return inBatch;
    }
    StoreStatus commitBatch() override
    {
        inBatch = false;
        if (!commitFails)
            return inner.commitBatch();
        database.rollback();
        return storeFailure(StoreError::Kind::Io, QStringLiteral("disk I/O error"), QStringLiteral("10"));
    }

    bool inBatch = false;
    bool commitFails = false;

private:
    LogStore &inner;
    QSqlDatabase database;
};

// A store that, like a server, spoils its whole batch with a failed statement: the
// commit then fails with that statement's error (and keeps nothing of the batch).
class SpoilingStore final : public LogStore
{
public:
    explicit SpoilingStore(LogStore &inner) : inner(inner) {}
    StoreResult<StoredFingerprints> readFingerprints() override { return inner.readFingerprints(); }
    StoreStatus writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash) override
    {
        return remember(inner.writeFingerprints(idHash, captionHash));
    }
    StoreStatus storeCaption(std::uint32_t eventId, const char *text) override
    {
        return remember(inner.storeCaption(eventId, text));
    }
    StoreResult<std::uint32_t> resumePoint(std::uint32_t first) override { return inner.resumePoint(first); }
    StoreStatus storeRecord(const DeviceRecord &record) override { return remember(inner.storeRecord(record)); }
    bool beginBatch() override { return inner.beginBatch(); }
    StoreStatus commitBatch() override
    {
        const StoreStatus committed = inner.commitBatch();
        if (spoiled)
            return committed;
        const StoreStatus error = spoiled;
        spoiled = {};
        return error;
    }

private:
    StoreStatus remember(const StoreStatus &status)
    {
        if (!status && spoiled)
            spoiled = status;
        return status;
    }
    LogStore &inner;
    StoreStatus spoiled;
};

// The rows a correct download of `log` stores, oldest first.
QStringList expectedRows(const DeviceLog &log)
{
    QStringList rows;
    for (std::uint32_t i = log.firstIndex(); i != log.endIndex(); ++i) {
        if (const DeviceLog::Record *r = log.recordAt(i))
            rows << QStringLiteral("%1|%2|%3|%4|%5|%6")
                        .arg(i)
                        .arg(r->count)
                        .arg(qint64(r->time) + DeviceEpochUnixSeconds)
                        .arg(r->type)
                        .arg(r->eventId)
                        .arg(QString::fromLatin1(r->data.toHex().toUpper()));
    }
    return rows;
}

// Another configuration: other events, so the file's event set no longer matches.
DeviceLog otherConfiguration()
{
    DeviceLog log;
    log.addCaption(900, "Насос #u");
    log.addCaption(901, "Клапан #u");
    for (std::uint32_t n = 0; n < 5; ++n) {
        DeviceLog::Record record;
        record.eventId = 900 + n % 2;
        record.time = EndTime + n;
        record.data = QByteArray(1, char(n));
        log.appendRecord(record);
    }
    log.moveTo(1000);
    return log;
}

} // namespace

class tst_LogDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void freshFileThenResume();
    void changedEventSet_data();
    void changedEventSet();
    void deviceFaults_data();
    void deviceFaults();
    void clearDuringDownload();
    void tickInsideTickDoesNothing();
    void twoDownloadsAtOnce();
    void storeFailureEndsTheDownload_data();
    void storeFailureEndsTheDownload();
    void batchIsCommittedWhenReadUp();
    void unpluggedPortComesBack();
    void failedCommitTakesItsRecordsBack();
    void questionIsAskedWithNothingHeld();
    void failureCommitsWhatCameBefore_data();
    void failureCommitsWhatCameBefore();
    void lostPortCommitsWhatCameBefore();
    void storeLetGoMidBatchKeepsItsRecords_data();
    void storeLetGoMidBatchKeepsItsRecords();

private:
    QString logPath() const { return dir->filePath(QStringLiteral("log.db")); }
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_LogDownload::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
}

void tst_LogDownload::freshFileThenResume()
{
    const DeviceLog first = makeDemoLog(40, EndTime);
    {
        Device device(first);
        Host host(logPath());
        QVERIFY(host.opened);
        QVERIFY(host.connect(device.path));
        host.start();
        QVERIFY(host.runToRest());
        QVERIFY(host.failures.isEmpty());
        QCOMPARE(host.storedRecords(), expectedRows(first));
        QCOMPARE(host.requestsOf(0x01), first.captions().size());
        QCOMPARE(host.counted, host.codes.count(ReplyAccepted));
        QCOMPARE(host.progress.last(), 0u);
    }

    // The device has logged more since: only the new records are read, no caption.
    DeviceLog grown = first;
    for (std::uint32_t n = 0; n < 7; ++n) {
        DeviceLog::Record record = demoRecord(n);
        record.time = EndTime + 60 * (n + 1);
        QVERIFY(grown.appendRecord(record));
    }
    Device device(grown);
    Host host(logPath());
    QVERIFY(host.connect(device.path));
    host.start();
    QVERIFY(host.runToRest());
    QCOMPARE(host.requestsOf(0x01), 0);
    QCOMPARE(host.requestsOf(0x03), 7);
    QCOMPARE(host.storedRecords(), expectedRows(grown));
}

void tst_LogDownload::changedEventSet_data()
{
    QTest::addColumn<bool>("update");
    QTest::newRow("the user updates the configuration") << true;
    QTest::newRow("the user keeps the file's configuration") << false;
}

void tst_LogDownload::changedEventSet()
{
    QFETCH(bool, update);

    const DeviceLog before = makeDemoLog(10, EndTime);
    {
        Device device(before);
        Host host(logPath());
        QVERIFY(host.connect(device.path));
        host.start();
        QVERIFY(host.runToRest());
    }
    const DeviceLog after = otherConfiguration();
    Device device(after);
    Host host(logPath());
    QVERIFY(host.connect(device.path));
    host.updateConfiguration = update;
    host.start();
    QVERIFY(host.runToRest());
    QCOMPARE(host.questions, 1);
    QCOMPARE(host.requestsOf(0x01), update ? 2 : 0);

    const QStringList info = LogFixture::rows(host.database, QStringLiteral("SELECT idHash, captionHash FROM Info"));
    const DeviceLog &current = update ? after : before;
    QCOMPARE(info, QStringList{QStringLiteral("%1|%2").arg(current.idHash()).arg(current.captionHash())});
    const QStringList captions = LogFixture::rows(host.database,
                                                  QStringLiteral("SELECT id FROM Events WHERE id >= 900"));
    QCOMPARE(captions.size(), update ? 2 : 0);
    // The records are stored either way, after the ones already there.
    QCOMPARE(host.storedRecords(), expectedRows(before) + expectedRows(after));
}

void tst_LogDownload::deviceFaults_data()
{
    QTest::addColumn<int>("exceptionCode");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("busyRequests");
    QTest::addColumn<int>("stopReason"); // -1: the download completes
    QTest::addColumn<QString>("message");

    QTest::newRow("illegal data address ends it")
        << 2 << false << 0 << int(FailureKind::DeviceException) << QStringLiteral("Недопустимый номер регистра");
    QTest::newRow("memory parity error ends it")
        << 8 << false << 0 << int(FailureKind::DeviceException) << QStringLiteral("Ошибка внешней памяти устройства");
    QTest::newRow("acknowledge is only shown") << 5 << false << 0 << -2 << QString();
    QTest::newRow("busy device is asked again") << 0 << false << 2 << -1 << QString();
    QTest::newRow("silent device") << 0 << true << 0 << int(FailureKind::NoReply)
                                   << QStringLiteral("Устройство не отвечает");
}

void tst_LogDownload::deviceFaults()
{
    QFETCH(int, exceptionCode);
    QFETCH(bool, silent);
    QFETCH(int, busyRequests);
    QFETCH(int, stopReason);
    QFETCH(QString, message);

    SimulatorOptions options;
    options.exceptionCode = std::uint8_t(exceptionCode);
    options.silent = silent;
    options.busyRequests = busyRequests;
    const DeviceLog log = makeDemoLog(5, EndTime);
    Device device(log, options);
    Host host(logPath());
    QVERIFY(host.connect(device.path));
    // Short reply times keep the silent case quick; the count of attempts is the point.
    // Devices that answer keep the real ones: a loaded machine must not turn a late
    // reply into a resend.
    if (silent)
        host.download.setReplyTiming(40, 3);
    host.start();

    if (stopReason == -2) {
        // Code 5 neither counts nor stops: the same request keeps going out.
        QVERIFY(host.runUntil([&host] { return host.codes.size() >= 2 || !host.failures.isEmpty(); }));
        QVERIFY(host.failures.isEmpty());
        QCOMPARE(host.counted, 0);
        QCOMPARE(host.requestsOf(0x00), host.sent);
        return;
    }
    QVERIFY(host.runToRest());
    if (stopReason == -1) {
        QVERIFY(host.failures.isEmpty());
        QCOMPARE(host.codes.count(exceptionResult(ExceptionServerBusy)), busyRequests);
        QCOMPARE(host.storedRecords(), expectedRows(log));
        return;
    }
    QCOMPARE(host.failures.size(), 1);
    QCOMPARE(int(host.failures.first().kind), stopReason);
    QCOMPARE(failureText(host.failures.first()), message);
    if (stopReason == int(FailureKind::DeviceException))
        QCOMPARE(int(host.failures.first().exception), exceptionCode);
    else
        QCOMPARE(host.sent, 3);
    QVERIFY(host.storedRecords().isEmpty());
    // Stopped means stopped: nothing more goes out.
    const int sentBefore = host.sent;
    host.download.tick();
    QCOMPARE(host.sent, sentBefore);
}

// The user clears while records arrive: the clear reaches the device, the file keeps
// an exact prefix of the log, and the record whose reply was cut off is not stored.
void tst_LogDownload::clearDuringDownload()
{
    const DeviceLog log = makeDemoLog(60, EndTime);
    Device device(log);
    Host host(logPath());
    QVERIFY(host.connect(device.path));
    host.start();
    QVERIFY(host.runUntil([&host] { return host.storedRecords().size() >= 10; }));
    // As the window does: the download stops, then the clear is queued.
    host.wanted = false;
    host.download.stop();
    host.download.clear();
    QVERIFY(host.runUntil([&host] { return !host.download.clearing(); }));
    QVERIFY(host.failures.isEmpty());
    QCOMPARE(host.requestsOf(0x80), 1);

    const QStringList stored = host.storedRecords();
    QCOMPARE(stored, expectedRows(log).mid(0, stored.size()));

    // A download afterwards finds nothing more to read.
    const int recordRequests = host.requestsOf(0x03);
    host.start();
    QVERIFY(host.runToRest());
    QCOMPARE(host.requestsOf(0x03), recordRequests);
    QCOMPARE(host.storedRecords(), stored);
    device.stop();
    QCOMPARE(device.log().recordCount(), 0);
}

// A box shown while a reply is handled lets the timers run again inside the tick.
void tst_LogDownload::tickInsideTickDoesNothing()
{
    Device device(makeDemoLog(3, EndTime));
    Host host(logPath());
    QVERIFY(host.connect(device.path));
    int nested = 0;
    host.onFrame = [&host, &nested] {
        const int sentBefore = host.sent;
        const DownloadEngine::TickResult inner = host.download.tick();
        host.download.repoll();
        if (!inner.replyTaken && !inner.requestSent && !inner.stopped && host.sent == sentBefore)
            ++nested;
    };
    host.start();
    QVERIFY(host.runToRest());
    QVERIFY(nested > 0);
    QCOMPARE(nested, host.codes.size());
    QCOMPARE(host.storedRecords(), expectedRows(makeDemoLog(3, EndTime)));
}

// Two devices on two lines, each read by its own download on its own thread into its
// own file, as a collector of many lines does: nothing of one reaches the other.
void tst_LogDownload::twoDownloadsAtOnce()
{
    const DeviceLog logs[2] = {makeDemoLog(80, EndTime, 1), makeDemoLog(50, EndTime - 86400, 2)};
    Device first(logs[0]), second(logs[1]);
    const std::string paths[2] = {first.path, second.path};
    QStringList stored[2];
    QString problems[2];
    auto read = [&](int n) {
        Host host(dir->filePath(QStringLiteral("line%1.db").arg(n)), QStringLiteral("line%1").arg(n));
        if (!host.opened || !host.connect(paths[n])) {
            problems[n] = QStringLiteral("not opened");
            return;
        }
        host.start();
        if (!host.runToRest() || !host.failures.isEmpty())
            problems[n] = QStringLiteral("not read up");
        stored[n] = host.storedRecords();
    };
    std::thread one(read, 0), two(read, 1);
    one.join();
    two.join();
    for (int n = 0; n < 2; ++n) {
        QVERIFY2(problems[n].isEmpty(), qPrintable(problems[n]));
        QCOMPARE(stored[n], expectedRows(logs[n]));
    }
}

// The store refuses a record (a disk that fills up, say): the download ends with the
// store's own words, and what was stored before stays, whether records commit one by
// one or in batches.
void tst_LogDownload::storeFailureEndsTheDownload_data()
{
    QTest::addColumn<int>("batchMs");
    QTest::addColumn<bool>("spoiling");
    QTest::newRow("every record commits") << 0 << false;
    QTest::newRow("records commit in batches") << 500 << false;
    // The commit fails again with the same error: still one failure, said once.
    QTest::newRow("the failed batch fails its commit too") << 500 << true;
}

void tst_LogDownload::storeFailureEndsTheDownload()
{
    QFETCH(int, batchMs);
    QFETCH(bool, spoiling);
    const DeviceLog log = makeDemoLog(20, EndTime);
    Device device(log);
    Host host(logPath());
    QVERIFY(host.opened);
    const std::uint32_t refusedFrom = log.firstIndex() + 6;
    QSqlQuery trigger(host.database);
    QVERIFY(trigger.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON Log WHEN NEW.i >= %1 "
                                        "BEGIN SELECT RAISE(ABORT, 'the disk is full'); END")
                             .arg(refusedFrom)));
    host.download.setBatchInterval(std::chrono::milliseconds(batchMs));
    SpoilingStore spoilingStore(host.store);
    if (spoiling)
        host.download.setStore(&spoilingStore);
    QVERIFY(host.connect(device.path));
    host.start();
    QVERIFY(host.runToRest());

    QCOMPARE(host.failures.size(), 1);
    QCOMPARE(host.failures.first().kind, FailureKind::StoreFailed);
    QVERIFY2(failureText(host.failures.first()).contains(QStringLiteral("the disk is full")),
             qPrintable(failureText(host.failures.first())));
    QStringList before;
    for (const QString &row : expectedRows(log)) {
        if (row.section(QLatin1Char('|'), 0, 0).toUInt() < refusedFrom)
            before << row;
    }
    // A spoiling store keeps what earlier batches committed: a prefix of the log.
    const QStringList stored = host.storedRecords();
    if (spoiling) {
        QCOMPARE(stored, before.mid(0, stored.size()));
    } else {
        QCOMPARE(stored, before);
        // The refused record is not counted as stored, nor reported.
        QCOMPARE(host.download.recordsStored(), std::uint32_t(stored.size()));
        QCOMPARE(reportedRecords(host), std::uint32_t(stored.size()));
    }
    // Stopped means stopped: no request for the refused record goes out again.
    const int sentBefore = host.sent;
    for (int i = 0; i < 5; ++i)
        host.download.tick();
    QCOMPARE(host.sent, sentBefore);
}

// With batches, the host hears of records once they are committed; on a clock that
// stands still that is when the log is read up, all at once.
void tst_LogDownload::batchIsCommittedWhenReadUp()
{
    const DeviceLog log = makeDemoLog(30, EndTime);
    Device device(log);
    Host host(logPath());
    host.batchOnFrozenClock();
    QVERIFY(host.connect(device.path));
    host.start();
    QVERIFY(host.runToRest());
    QVERIFY(host.failures.isEmpty());
    QCOMPARE(host.storedReports, QVector<std::uint32_t>{std::uint32_t(expectedRows(log).size())});
    QCOMPARE(host.download.recordsStored(), std::uint32_t(expectedRows(log).size()));

    // What another connection sees is committed: the whole log.
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        other.setDatabaseName(logPath());
        QVERIFY(other.open());
        QCOMPARE(LogFixture::rows(other, QStringLiteral("SELECT count(*) FROM Log")),
                 QStringList{QString::number(expectedRows(log).size())});
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
}

// A USB adapter bumped out of its socket, reached by its stable name (a link, as
// /dev/serial/by-id/... is): the port fails, the name is gone for a while, then back
// on another pseudo-terminal. The download is not given up as a silent device would
// be; it goes on where the file ends, and the file holds the whole log exactly once.
void tst_LogDownload::unpluggedPortComesBack()
{
    const DeviceLog log = makeDemoLog(120, EndTime);
    Device device(log);
    const QString link = dir->filePath(QStringLiteral("usb-FTDI_FT232R-if00-port0"));
    QVERIFY(QFile::link(QString::fromStdString(device.path), link));
    Host host(logPath());
    QVERIFY(host.connect(link.toStdString()));
    host.start();
    QVERIFY(host.runUntil([&host] { return host.storedRecords().size() >= 20; }));

    device.unplug();
    QVERIFY(QFile::remove(link));
    QVERIFY(host.runUntil([&host] { return !host.lostCauses.isEmpty(); }));
    QCOMPARE(host.lostCauses, QVector<PortFailure>{PortFailure::PortLost});
    QVERIFY(host.download.reconnecting());
    // While it is gone, every try to open it again fails; nothing ends the download.
    QVERIFY(host.runUntil([&host] { return host.reopenFailures >= 1; }));

    device.plugIn();
    QVERIFY(QFile::link(QString::fromStdString(device.path), link));
    QVERIFY(host.runUntil([&host] { return host.restored == 1; }));
    QVERIFY(host.runToRest());
    QVERIFY(host.failures.isEmpty());
    QVERIFY(host.wanted);
    QCOMPARE(host.storedRecords(), expectedRows(log));
}

// Batches on a clock that stands still, so that only the download's own events commit
// them. The commit fails: the batch is rolled back, and neither the count nor the host
// keep records the file does not hold.
void tst_LogDownload::failedCommitTakesItsRecordsBack()
{
    const DeviceLog log = makeDemoLog(30, EndTime);
    Device device(log);
    Host host(logPath());
    WatchedStore watched(host.store, host.database);
    watched.commitFails = true;
    host.download.setStore(&watched);
    host.batchOnFrozenClock();
    QVERIFY(host.connect(device.path));
    host.start();
    QVERIFY(host.runToRest());

    QCOMPARE(host.failures.size(), 1);
    QCOMPARE(host.failures.first().store.kind, StoreError::Kind::Io);
    QCOMPARE(committedRecords(logPath()), 0);
    QCOMPARE(host.storedRecords().size(), 0);
    QCOMPARE(host.download.recordsStored(), 0u);
    QCOMPARE(reportedRecords(host), 0u);

    // The next download reads them all again.
    watched.commitFails = false;
    host.start();
    QVERIFY(host.runToRest());
    QVERIFY(host.failures.size() == 1);
    QCOMPARE(host.storedRecords(), expectedRows(log));
    QCOMPARE(host.download.recordsStored(), std::uint32_t(expectedRows(log).size()));
}

// The configuration question waits for a person: the store is not held in a
// transaction meanwhile (another program, or a server, would wait with it).
void tst_LogDownload::questionIsAskedWithNothingHeld()
{
    const DeviceLog before = makeDemoLog(10, EndTime);
    {
        Device device(before);
        Host host(logPath());
        QVERIFY(host.connect(device.path));
        host.start();
        QVERIFY(host.runToRest());
    }
    Device device(otherConfiguration());
    Host host(logPath());
    WatchedStore watched(host.store, host.database);
    host.download.setStore(&watched);
    host.batchOnFrozenClock();
    bool heldAtQuestion = true;
    host.onQuestion = [&] { heldAtQuestion = watched.inBatch; };
    host.updateConfiguration = true;
    QVERIFY(host.connect(device.path));
    host.start();
    QVERIFY(host.runToRest());
    QCOMPARE(host.questions, 1);
    QVERIFY(!heldAtQuestion);
    QVERIFY(host.failures.isEmpty());
    QCOMPARE(host.storedRecords(), expectedRows(before) + expectedRows(otherConfiguration()));
}

void tst_LogDownload::failureCommitsWhatCameBefore_data()
{
    QTest::addColumn<QString>("failure");
    QTest::newRow("the store refuses a record") << "refused";
    QTest::newRow("the device falls silent") << "silent";
}

// A download that fails mid-batch keeps what it read before: the batch is committed at
// once, not when a clock says so, and the host hears of exactly those records.
void tst_LogDownload::failureCommitsWhatCameBefore()
{
    QFETCH(QString, failure);
    const DeviceLog log = makeDemoLog(40, EndTime);
    Device device(log);
    Host host(logPath());
    if (failure == "refused") {
        QSqlQuery trigger(host.database);
        QVERIFY(trigger.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON Log WHEN NEW.i >= %1 "
                                            "BEGIN SELECT RAISE(ABORT, 'the disk is full'); END")
                                 .arg(log.firstIndex() + 12)));
    }
    host.batchOnFrozenClock();
    host.download.setReplyTiming(40, 3);
    QVERIFY(host.connect(device.path));
    host.start();
    if (failure == "silent") {
        QVERIFY(host.runUntil([&host] { return host.storedRecords().size() >= 12; }));
        device.stop();
    }
    QVERIFY(host.runToRest());

    QCOMPARE(host.failures.size(), 1);
    const int stored = host.storedRecords().size();
    QVERIFY(stored > 0);
    QCOMPARE(committedRecords(logPath()), stored);
    QCOMPARE(host.storedRecords(), expectedRows(log).mid(0, stored));
    QCOMPARE(reportedRecords(host), std::uint32_t(stored));
    QCOMPARE(host.download.recordsStored(), std::uint32_t(stored));
}

// The port goes mid-batch: what was read is committed as the port is found lost, before
// any reopening, and the download resumes after it once the port is back.
void tst_LogDownload::lostPortCommitsWhatCameBefore()
{
    const DeviceLog log = makeDemoLog(60, EndTime);
    Device device(log);
    const QString link = dir->filePath(QStringLiteral("usb-adapter"));
    QVERIFY(QFile::link(QString::fromStdString(device.path), link));
    Host host(logPath());
    host.batchOnFrozenClock();
    int committedAtLoss = -1;
    QVERIFY(host.connect(link.toStdString()));
    host.start();
    QVERIFY(host.runUntil([&host] { return host.storedRecords().size() >= 15; }));
    device.unplug();
    QVERIFY(QFile::remove(link));
    QVERIFY(host.runUntil([&] {
        if (host.lostCauses.isEmpty())
            return false;
        committedAtLoss = committedRecords(logPath());
        return true;
    }));
    const int stored = host.storedRecords().size();
    QVERIFY(stored >= 15);
    QCOMPARE(committedAtLoss, stored);
    QCOMPARE(reportedRecords(host), std::uint32_t(stored));

    // The frozen clock never lets a reopen fall due: the port comes back by a new open.
    device.plugIn();
    QVERIFY(host.connect(device.path));
    host.start();
    QVERIFY(host.runToRest());
    QVERIFY(host.failures.isEmpty());
    QCOMPARE(host.storedRecords(), expectedRows(log));
}

void tst_LogDownload::storeLetGoMidBatchKeepsItsRecords_data()
{
    QTest::addColumn<bool>("stopFirst");
    QTest::newRow("the user stops") << true;
    QTest::newRow("the log is closed under the download") << false;
}

// A window that stops the download, or closes the log shown while records gather in a
// batch: what the batch holds is committed to the store it was read into.
void tst_LogDownload::storeLetGoMidBatchKeepsItsRecords()
{
    QFETCH(bool, stopFirst);
    const DeviceLog log = makeDemoLog(60, EndTime);
    Device device(log);
    Host host(logPath());
    host.batchOnFrozenClock();
    QVERIFY(host.connect(device.path));
    host.start();
    QVERIFY(host.runUntil([&host] { return host.storedRecords().size() >= 15; }));
    if (stopFirst) {
        host.wanted = false;
        host.download.stop();
    }
    const int stored = host.storedRecords().size();
    host.download.setStore(nullptr);
    QCOMPARE(committedRecords(logPath()), stored);
    QCOMPARE(reportedRecords(host), std::uint32_t(stored));
    // Without a store the download ends with a failure, or rests when stopped; nothing more
    // is written either way.
    QVERIFY(host.runUntil([&host] { return !host.wanted; }, 10));
    for (int i = 0; i < 5; ++i)
        host.download.tick();
    QCOMPARE(committedRecords(logPath()), stored);
}

QTEST_GUILESS_MAIN(tst_LogDownload)
#include "tst_logdownload.moc"
