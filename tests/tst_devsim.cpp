// The device simulator: its request handling, log file format and demo content
// in-process, and the khronar-devsim program over a pseudo-terminal, read by the
// tool's own ModbusMaster and LogTransfer with every fault option.

#include "presentation/captionformat.h"
#include "tools/devsim/demolog.h"
#include "tools/devsim/devicelogjson.h"
#include "tools/devsim/devicesimulator.h"
#include "protocol/logtransfer.h"
#include "protocol/modbuscrc.h"
#include "protocol/modbusmaster.h"
#include "protocol/tickcount.h"
#include "tools/devsim/windows1251.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

const std::uint8_t *bytes(const QByteArray &frame)
{
    return reinterpret_cast<const std::uint8_t *>(frame.constData());
}

QByteArray withCrc(const QByteArray &frame)
{
    const std::uint16_t crc = modbusCrc(bytes(frame), std::size_t(frame.size()));
    return frame + char(crc & 0xFF) + char(crc >> 8);
}

// A small log with every kind of position: records of one and of several positions,
// empty positions between them, and captions whose fields the test can render.
//   offset: 0     1 2 3   4 5     6     7 8   9
//           [10]  [20  ]  empty   [30]  [10]  [20]
const char smallLog[] = R"({
  "captions": [
    {"event": 10, "text": "Канал #u: #`Норма``Авария`e"},
    {"event": 20, "text": "Код #4X, время #d"},
    {"event": 30, "text": "Пуск"}
  ],
  "records": [
    {"event": 10, "type": 2, "time": "2024-03-15 13:45:30", "data": "02 01"},
    {"event": 20, "type": 1, "time": 763825600, "data": "AB 00 7A 0D 87 2D", "count": 3},
    {"event": 30, "type": 0, "time": 763825700, "gap": 2},
    {"event": 10, "type": 3, "time": 763825800, "data": "07 00", "count": 2},
    {"event": 20, "type": 0, "time": 763825900, "data": "FF FF 00 00 00 00"}
  ]
})";

// What the host received, as the window's import would store it.
struct ReceivedRecord {
    std::uint32_t index;
    std::uint8_t count;
    std::uint8_t type;
    std::uint32_t time;
    std::uint32_t eventId;
    QByteArray data;
};

struct Host;
Host *host = nullptr;

// The tool's side of the line: master and transfer client on the client end of the
// pseudo-terminal, with a loop that stands in for the poll cycle.
struct Host {
    enum Outcome { Done, NoReply, Exception, TimedOut };

    int fd = -1;
    LogTransfer transfer;
    ModbusFunctionHandler table[1];
    ModbusMaster master;

    bool wantCaptions = true;
    bool resume = false;
    std::uint32_t resumeAt = 0;

    std::uint16_t captionCount = 0;
    std::uint32_t idHash = 0;
    std::uint32_t captionHash = 0;
    std::uint32_t rangeFirst = 0;
    std::uint32_t rangeSpan = 0;
    QMap<std::uint32_t, QPair<std::uint32_t, QByteArray>> captions; // position -> event, text
    QVector<ReceivedRecord> records;
    QVector<std::uint8_t> results; // of every reply received
    int requestsSent = 0;
    std::uint8_t exceptionCode = 0;
    qint64 slowestReplyMs = 0;

    explicit Host(int lineFd) : fd(lineFd)
    {
        table[0] = transfer.functionHandler();
        master.handlerTable = table;
        master.entryCount = 1;
        transfer.onLogInfo = [](std::uint16_t count, std::uint32_t ids, std::uint32_t texts) {
            host->captionCount = count;
            host->idHash = ids;
            host->captionHash = texts;
            return host->wantCaptions;
        };
        transfer.onCaption = [](std::uint16_t position, std::uint32_t eventId, const char *text) {
            host->captions.insert(position, {eventId, QByteArray(text)});
        };
        transfer.onRange = [](std::uint32_t first, std::uint32_t span) {
            host->rangeFirst = first;
            host->rangeSpan = span;
            return host->resume ? host->resumeAt : first;
        };
        transfer.onRecord = [](std::uint32_t index, std::uint8_t count, std::uint8_t type,
                               std::uint32_t time, std::uint32_t eventId, const std::uint8_t *data,
                               std::int32_t length) {
            host->records.append({index, count, type, time, eventId,
                                  QByteArray(reinterpret_cast<const char *>(data), length)});
        };
        host = this;
    }
    ~Host() { host = nullptr; }

    // Everything that arrives within `waitMs`, up to 5 ms of silence after the last
    // byte: how the terminal finds the end of a reply.
    QByteArray readReply(int waitMs)
    {
        QByteArray reply;
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const int left = reply.isEmpty() ? int(waitMs - clock.elapsed()) : 5;
            pollfd in {fd, POLLIN, 0};
            if (left <= 0 || poll(&in, 1, left) <= 0)
                return reply;
            char buffer[512];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0)
                reply.append(buffer, int(got));
        }
    }

    // Poll ticks until `done` holds, the transfer gives up, or a device exception
    // other than busy ends the download, as the window's poll cycle does.
    Outcome run(const std::function<bool()> &done, int deadlineMs = 20000)
    {
        QElapsedTimer total;
        total.start();
        while (!done()) {
            if (total.elapsed() > deadlineMs)
                return TimedOut;
            std::uint8_t frame[256] = {};
            std::uint8_t length = 0;
            const std::uint8_t code = master.buildRequest(frame, &length);
            if (code == RequestNoReply)
                return NoReply;
            if (length != 0) {
                if (write(fd, frame, length) != length)
                    return TimedOut;
                ++requestsSent;
            }
            const int wait = std::int32_t(transfer.deadline - tickCount());
            QElapsedTimer latency;
            latency.start();
            const QByteArray reply = readReply(wait > 0 ? wait : 0);
            if (reply.isEmpty())
                continue;
            if (length != 0)
                slowestReplyMs = qMax(slowestReplyMs, latency.elapsed());
            const std::uint8_t result = master.processReply(bytes(reply), std::uint8_t(reply.size()));
            results.append(result);
            if (result != ReplyAccepted && result != ReplyUnexpected && result != ReplyCorrupt && result != 6) {
                exceptionCode = result;
                return Exception;
            }
        }
        return Done;
    }

    bool atRest() const
    {
        return transfer.state == LogTransfer::Idle && transfer.pendingKind == LogTransfer::PendingNone;
    }

    Outcome readToRest(int deadlineMs = 20000)
    {
        return run([this] { return atRest(); }, deadlineMs);
    }

    QString recordList(std::uint32_t first) const
    {
        QStringList parts;
        for (const ReceivedRecord &record : records)
            parts << QStringLiteral("%1:%2").arg(qint64(std::int32_t(record.index - first))).arg(record.count);
        return parts.join(' ');
    }
};

// Starts khronar-devsim and returns the first line of its output: its line's path.
QString startProgram(QProcess &process, const QStringList &arguments)
{
    process.start(QStringLiteral(KHRONAR_DEVSIM_PROGRAM), arguments);
    if (!process.waitForStarted(10000))
        return QString();
    QElapsedTimer clock;
    clock.start();
    while (!process.canReadLine() && process.state() == QProcess::Running && clock.elapsed() < 10000)
        process.waitForReadyRead(100);
    return QString::fromLocal8Bit(process.readLine()).trimmed();
}

// khronar-devsim as a child process on a new pseudo-terminal, and our end of it.
struct Simulator {
    QProcess process;
    QString path;
    int fd = -1;

    bool start(const QStringList &arguments)
    {
        path = startProgram(process, arguments);
        return !path.isEmpty() && connectLine();
    }

    bool connectLine()
    {
        fd = open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0;
    }

    void disconnectLine()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    // SIGTERM; true when the program ended by itself with status 0.
    bool stop()
    {
        disconnectLine();
        if (process.state() == QProcess::NotRunning)
            return false;
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(10000);
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    ~Simulator()
    {
        stop();
    }
};

QString renderMessage(const Host &h, const ReceivedRecord &record)
{
    for (const auto &caption : h.captions) {
        if (caption.first == record.eventId)
            return formatCaption(fromWindows1251(caption.second), record.data);
    }
    return QStringLiteral("Неизвестное событие");
}

bool hasErrorWords(const QString &message)
{
    return message.contains(QStringLiteral("Ошибка данных")) || message.contains(QStringLiteral("Неверный формат"))
        || message.contains(QStringLiteral("Неизвестное значение"));
}

DeviceLogFile parsedSmallLog()
{
    DeviceLogFile content;
    QString error;
    if (!parseDeviceLogJson(QByteArray(smallLog), &content, &error))
        qFatal("the small log does not parse: %s", qPrintable(error));
    return content;
}

} // namespace

class tst_DevSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    // In-process
    void requests_data();
    void requests();
    void fingerprints();
    void logFile_data();
    void logFile();
    void capacityAndClear();
    void demoContent();

    // Over the line, with the khronar-devsim program
    void wholeDemoLog();
    void walk_data();
    void walk();
    void clearOverTheLine();
    void liveAppend();
    void faults_data();
    void faults();
    void clientsComeAndGo();
    void givenPort();
    void verboseTrace();
    void badOptions_data();
    void badOptions();

private:
    QTemporaryDir dir;
    QString smallLogPath;
};

void tst_DevSim::initTestCase()
{
    QVERIFY(dir.isValid());
    smallLogPath = dir.filePath(QStringLiteral("small.json"));
    QFile file(smallLogPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(smallLog);
}

void tst_DevSim::requests_data()
{
    QTest::addColumn<QByteArray>("request"); // hex, without CRC; "!" appends a wrong CRC
    QTest::addColumn<QByteArray>("reply");   // hex, without CRC; empty for silence

    // The small log at first index 100; captions 10, 20, 30.
    QTest::newRow("info") << QByteArray("014200") << QByteArray("info");
    QTest::newRow("caption 2") << QByteArray("0142010200")
                               << QByteArray("01420102001e000000cff3f1ea00"); // "Пуск" in Windows-1251
    QTest::newRow("caption past the end") << QByteArray("0142010300") << QByteArray("01c202");
    QTest::newRow("range") << QByteArray("014202") << QByteArray("014202" "64000000" "0a000000");
    QTest::newRow("record 100") << QByteArray("01420364000000")
                                << QByteArray("0142036400000002" "7a0d872d" "01" "0a000000" "0201");
    QTest::newRow("record of three positions") << QByteArray("01420365000000")
                                               << QByteArray("0142036500000001" "c00d872d" "03" "14000000" "ab007a0d872d");
    QTest::newRow("inside a record") << QByteArray("01420366000000") << QByteArray("01420366000000" "00");
    QTest::newRow("empty position") << QByteArray("01420368000000") << QByteArray("01420368000000" "00");
    QTest::newRow("before the log") << QByteArray("01420363000000") << QByteArray("0142036300000084");
    QTest::newRow("at the end") << QByteArray("0142036e000000") << QByteArray("0142036e00000084");
    QTest::newRow("clear, wrong confirmation") << QByteArray("014280" "3c00c35b") << QByteArray("01c203");
    QTest::newRow("clear, short") << QByteArray("014280") << QByteArray("01c203");
    QTest::newRow("record, short") << QByteArray("01420364") << QByteArray("01c203");
    QTest::newRow("unknown sub-function") << QByteArray("014204") << QByteArray("01c201");
    QTest::newRow("other function") << QByteArray("0103000a0001") << QByteArray("0183" "01");
    QTest::newRow("other device") << QByteArray("024200") << QByteArray();
    QTest::newRow("broadcast") << QByteArray("004200") << QByteArray();
    QTest::newRow("wrong CRC") << QByteArray("014200!") << QByteArray();
    QTest::newRow("too short") << QByteArray("01") << QByteArray();
}

void tst_DevSim::requests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);

    DeviceLogFile content = parsedSmallLog();
    content.log.moveTo(100);
    DeviceSimulator simulator(content.log, SimulatorOptions());

    QByteArray frame;
    if (request.endsWith('!'))
        frame = withCrc(QByteArray::fromHex(request.chopped(1))) + 'x';
    else
        frame = withCrc(QByteArray::fromHex(request));
    const QByteArray answer = simulator.handleRequest(frame);

    if (reply == "info") {
        // Three captions, then the two fingerprints, little-endian.
        auto le32 = [](std::uint32_t value) {
            QByteArray out;
            for (int shift = 0; shift < 32; shift += 8)
                out.append(char(value >> shift));
            return out.toHex();
        };
        reply = "0142000300" + le32(content.log.idHash()) + le32(content.log.captionHash());
    }
    if (reply.isEmpty()) {
        QVERIFY(answer.isEmpty());
        return;
    }
    QCOMPARE(answer.toHex(), withCrc(QByteArray::fromHex(reply)).toHex());
}

void tst_DevSim::fingerprints()
{
    auto hashes = [](const QVector<QPair<std::uint32_t, QString>> &captions) {
        DeviceLog log;
        for (const auto &caption : captions) {
            bool ok = false;
            log.addCaption(caption.first, toWindows1251(caption.second, &ok));
        }
        return qMakePair(log.idHash(), log.captionHash());
    };
    const auto base = hashes({{10, QStringLiteral("Пуск")}, {20, QStringLiteral("Стоп")}});
    const auto reordered = hashes({{20, QStringLiteral("Стоп")}, {10, QStringLiteral("Пуск")}});
    const auto newText = hashes({{10, QStringLiteral("Пуск #u")}, {20, QStringLiteral("Стоп")}});
    const auto newEvent = hashes({{10, QStringLiteral("Пуск")}, {21, QStringLiteral("Стоп")}});
    const auto splitDifferently = hashes({{10, QStringLiteral("Пус")}, {20, QStringLiteral("кСтоп")}});

    QCOMPARE(reordered.first, base.first); // the set of events is the same
    QCOMPARE(newText.first, base.first);
    QVERIFY(newText.second != base.second);
    QVERIFY(newEvent.first != base.first);
    QVERIFY(splitDifferently.second != base.second);
}

void tst_DevSim::logFile_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error"); // empty: valid

    QTest::newRow("empty object") << QByteArray("{}") << QString();
    QTest::newRow("not JSON") << QByteArray("{\"captions\": [") << QStringLiteral("offset");
    QTest::newRow("array") << QByteArray("[]") << QStringLiteral("top level: expected an object");
    QTest::newRow("unknown key") << QByteArray(R"({"records": [{"event": 1, "evnet": 2}]})")
                                 << QStringLiteral("records[0]: unknown key \"evnet\"");
    QTest::newRow("event missing") << QByteArray(R"({"captions": [{"text": "x"}]})")
                                   << QStringLiteral("captions[0]: \"event\" is missing");
    QTest::newRow("duplicate event") << QByteArray(R"({"captions": [{"event": 1, "text": "a"}, {"event": 1, "text": "b"}]})")
                                     << QStringLiteral("captions[1]: event 1 has a caption already");
    QTest::newRow("outside Windows-1251") << QByteArray(R"({"captions": [{"event": 1, "text": "✓"}]})")
                                          << QStringLiteral("captions[0].text: has characters outside Windows-1251");
    QTest::newRow("caption too long") << (QByteArray(R"({"captions": [{"event": 1, "text": ")") + QByteArray(244, 'a') + "\"}]}")
                                      << QStringLiteral("captions[0].text: longer than 243 bytes");
    QTest::newRow("longest caption") << (QByteArray(R"({"captions": [{"event": 1, "text": ")") + QByteArray(243, 'a') + "\"}]}")
                                     << QString();
    QTest::newRow("count 0") << QByteArray(R"({"records": [{"event": 1, "count": 0}]})")
                             << QStringLiteral("records[0].count: expected a whole number from 1 to 255");
    QTest::newRow("fractional type") << QByteArray(R"({"records": [{"event": 1, "type": 1.5}]})")
                                     << QStringLiteral("records[0].type: expected a whole number from 0 to 255");
    QTest::newRow("odd hex") << QByteArray(R"({"records": [{"event": 1, "data": "0A B"}]})")
                             << QStringLiteral("records[0].data: expected hexadecimal bytes such as \"02 01 FA 00\"");
    QTest::newRow("data too long") << (QByteArray(R"({"records": [{"event": 1, "data": ")") + QByteArray(237 * 2, 'A') + "\"}]}")
                                   << QStringLiteral("records[0].data: more than 236 bytes");
    QTest::newRow("time before 2000") << QByteArray(R"({"records": [{"event": 1, "time": "1999-12-31 23:59:59"}]})")
                                      << QStringLiteral("records[0].time: outside the device clock's years 2000 to 2136");
    QTest::newRow("time not a date") << QByteArray(R"({"records": [{"event": 1, "time": "yesterday"}]})")
                                     << QStringLiteral("records[0].time: expected seconds since 2000 or \"YYYY-MM-DD HH:MM:SS\"");
    QTest::newRow("first index too big") << QByteArray(R"({"firstIndex": 4294967296})")
                                         << QStringLiteral("firstIndex: expected a whole number from 0 to 4294967295");
    QTest::newRow("span beyond 2^32") << QByteArray(R"({"records": [{"event": 1, "gap": 4294967295}]})")
                                      << QStringLiteral("records[0]: the log would span more than 2^32 positions");
}

void tst_DevSim::logFile()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);

    DeviceLogFile content;
    QString message;
    QCOMPARE(parseDeviceLogJson(json, &content, &message), error.isEmpty());
    if (!error.isEmpty())
        QVERIFY2(message.startsWith(error), qPrintable(message));
}

void tst_DevSim::capacityAndClear()
{
    // The small log: 5 records over positions 4294967294 .. 7, across the wrap.
    DeviceLogFile content = parsedSmallLog();
    QVERIFY(!content.hasFirstIndex);
    content.log.moveTo(4294967294u);
    QCOMPARE(content.log.endIndex(), 8u);
    QVERIFY(content.log.recordAt(4294967294u));
    QVERIFY(content.log.recordAt(4294967295u));
    QVERIFY(!content.log.recordAt(0)); // inside the record of three positions
    QVERIFY(content.log.recordAt(4));

    SimulatorOptions options;
    options.capacity = 3;
    const QVector<DeviceLog::Record> again = content.records;
    DeviceSimulator simulator(content.log, options,
                              [again](std::uint32_t n) { return again.at(int(n) % again.size()); });
    // Already over capacity at start: the two oldest go, the first index moves to
    // the oldest record left, past the empty positions.
    QCOMPARE(simulator.log().recordCount(), 3);
    QCOMPARE(simulator.log().firstIndex(), 4u);
    QVERIFY(simulator.appendRecord(777));
    QCOMPARE(simulator.log().firstIndex(), 5u);
    QCOMPARE(simulator.log().endIndex(), 9u);
    QCOMPARE(simulator.log().recordAt(8)->time, 777u);

    QCOMPARE(simulator.handleRequest(withCrc(QByteArray::fromHex("014280" "3c00c35a"))).toHex(),
             withCrc(QByteArray::fromHex("014280")).toHex());
    QCOMPARE(simulator.log().firstIndex(), 9u);
    QCOMPARE(simulator.log().span(), 0u);
    QCOMPARE(simulator.log().captions().size(), 3);
    QVERIFY(simulator.appendRecord(778));
    QCOMPARE(simulator.log().firstIndex(), 9u);
    QVERIFY(simulator.log().recordAt(9));
}

void tst_DevSim::demoContent()
{
    const DeviceLog log = makeDemoLog(300, 763825530u);
    QCOMPARE(log.recordCount(), 300);
    QMap<std::uint32_t, QString> captions;
    for (const DeviceLog::Caption &caption : log.captions())
        captions.insert(caption.eventId, fromWindows1251(caption.text));
    QCOMPARE(captions.size(), log.captions().size());
    for (const QString &caption : captions) // every character has its Windows-1251 code
        QVERIFY2(!caption.contains('?'), qPrintable(caption));

    QSet<int> types;
    int positions = 0, multiPosition = 0, empty = 0;
    std::uint32_t previousTime = 0;
    QSet<std::uint32_t> eventsSeen;
    for (std::uint32_t index = log.firstIndex(); index != log.endIndex();) {
        const DeviceLog::Record *record = log.recordAt(index);
        if (!record) {
            ++empty;
            ++index;
            continue;
        }
        index += record->count;
        QVERIFY2(captions.contains(record->eventId), qPrintable(QString::number(record->eventId)));
        const QString message = formatCaption(captions.value(record->eventId), record->data);
        QVERIFY2(!hasErrorWords(message), qPrintable(message));
        QVERIFY(record->time >= previousTime);
        previousTime = record->time;
        types.insert(record->type);
        eventsSeen.insert(record->eventId);
        positions += record->count;
        if (record->count > 1)
            ++multiPosition;
    }
    QCOMPARE(previousTime, 763825530u);
    QCOMPARE(types, (QSet<int> {0, 1, 2, 3}));
    QVERIFY(multiPosition > 0);
    QVERIFY(empty > 0);
    QCOMPARE(int(log.span()), positions + empty);
    QCOMPARE(eventsSeen.size(), captions.size());
    // Live records keep rendering cleanly.
    for (std::uint32_t n = 300; n < 400; ++n) {
        const DeviceLog::Record record = demoRecord(n);
        QVERIFY(!hasErrorWords(formatCaption(captions.value(record.eventId), record.data)));
    }
}

void tst_DevSim::wholeDemoLog()
{
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--baud"), QStringLiteral("230400")}));
    Host h(simulator.fd);
    QCOMPARE(h.readToRest(60000), Host::Done);

    const DeviceLog expected = makeDemoLog(300, 0);
    QCOMPARE(h.captionCount, std::uint16_t(expected.captions().size()));
    QCOMPARE(h.idHash, expected.idHash());
    QCOMPARE(h.captionHash, expected.captionHash());
    QCOMPARE(h.captions.size(), expected.captions().size());
    for (int i = 0; i < expected.captions().size(); ++i) {
        QCOMPARE(h.captions.value(std::uint32_t(i)).first, expected.captions().at(i).eventId);
        QCOMPARE(h.captions.value(std::uint32_t(i)).second, expected.captions().at(i).text);
    }
    QCOMPARE(h.rangeFirst, 0u);
    QCOMPARE(h.rangeSpan, expected.span());
    QCOMPARE(h.records.size(), 300);
    for (const ReceivedRecord &record : h.records) {
        const DeviceLog::Record *stored = expected.recordAt(record.index);
        QVERIFY(stored);
        QCOMPARE(record.count, stored->count);
        QCOMPARE(record.type, stored->type);
        QCOMPARE(record.eventId, stored->eventId);
        QCOMPARE(record.data, stored->data);
        const QString message = renderMessage(h, record);
        QVERIFY2(!hasErrorWords(message) && message != QStringLiteral("Неизвестное событие"), qPrintable(message));
    }
    // The newest record is dated at the program's start on the local clock.
    const QDateTime local = QDateTime::currentDateTime();
    const qint64 deviceNow = QDateTime(local.date(), local.time(), Qt::UTC).toSecsSinceEpoch() - 946684800;
    QVERIFY(qAbs(deviceNow - qint64(h.records.last().time)) < 600);
    QVERIFY(simulator.stop());
}

void tst_DevSim::walk_data()
{
    QTest::addColumn<qint64>("firstIndex");
    QTest::addColumn<bool>("resume");
    QTest::addColumn<int>("resumeOffset"); // from the first index
    QTest::addColumn<QString>("records");  // offset from the first index : count
    QTest::addColumn<int>("requests");

    // Offsets 4 and 5 are empty; 2 and 3 lie inside the record at 1; 8 inside the one at 7.
    const QString all = QStringLiteral("0:1 1:3 6:1 7:2 9:1");
    QTest::newRow("whole log") << qint64(100) << false << 0 << all << 1 + 3 + 1 + 7;
    QTest::newRow("resume at the first index") << qint64(100) << true << 0 << all << 1 + 3 + 1 + 7;
    QTest::newRow("resume in the middle") << qint64(100) << true << 6 << QStringLiteral("6:1 7:2 9:1") << 1 + 3 + 1 + 3;
    QTest::newRow("resume inside a record") << qint64(100) << true << 2 << QStringLiteral("6:1 7:2 9:1") << 1 + 3 + 1 + 7;
    QTest::newRow("resume before the log") << qint64(100) << true << -5 << all << 1 + 3 + 1 + 7;
    QTest::newRow("resume at the end") << qint64(100) << true << 10 << QString() << 1 + 3 + 1;
    QTest::newRow("resume past the end") << qint64(100) << true << 500 << QString() << 1 + 3 + 1;
    QTest::newRow("wrapped") << qint64(4294967293) << false << 0 << all << 1 + 3 + 1 + 7;
    QTest::newRow("wrapped, resume after the wrap") << qint64(4294967293) << true << 6
                                                    << QStringLiteral("6:1 7:2 9:1") << 1 + 3 + 1 + 3;
    QTest::newRow("wrapped, resume before the log") << qint64(4294967293) << true << -100 << all << 1 + 3 + 1 + 7;
}

void tst_DevSim::walk()
{
    QFETCH(qint64, firstIndex);
    QFETCH(bool, resume);
    QFETCH(int, resumeOffset);
    QFETCH(QString, records);
    QFETCH(int, requests);

    const std::uint32_t first = std::uint32_t(firstIndex);
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--log"), smallLogPath, QStringLiteral("--first-index"),
                             QString::number(firstIndex), QStringLiteral("--baud"), QStringLiteral("230400")}));
    Host h(simulator.fd);
    h.resume = resume;
    h.resumeAt = first + std::uint32_t(resumeOffset);
    QCOMPARE(h.readToRest(), Host::Done);

    QCOMPARE(h.rangeFirst, first);
    QCOMPARE(h.rangeSpan, 10u);
    QCOMPARE(h.recordList(first), records);
    QCOMPARE(h.requestsSent, requests); // every request answered at the first attempt
    if (!records.isEmpty()) {
        // Every record arrives whole, and renders through its caption as sent.
        QCOMPARE(h.records.last().eventId, 20u);
        QCOMPARE(renderMessage(h, h.records.last()), QStringLiteral("Код FFFF, время 01.01.2000 00:00:00"));
    }
    if (records == QStringLiteral("0:1 1:3 6:1 7:2 9:1")) {
        QCOMPARE(renderMessage(h, h.records.at(0)), QStringLiteral("Канал 2: Авария"));
        QCOMPARE(h.records.at(0).time, 763825530u);
        QCOMPARE(h.records.at(0).type, std::uint8_t(2));
        QCOMPARE(renderMessage(h, h.records.at(1)), QStringLiteral("Код 00AB, время 15.03.2024 13:45:30"));
        QCOMPARE(renderMessage(h, h.records.at(2)), QStringLiteral("Пуск"));
    }
    QVERIFY(simulator.stop());
}

void tst_DevSim::clearOverTheLine()
{
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--log"), smallLogPath, QStringLiteral("--first-index"),
                             QStringLiteral("4294967295"), QStringLiteral("--baud"), QStringLiteral("230400")}));
    Host h(simulator.fd);
    QCOMPARE(h.readToRest(), Host::Done);
    QCOMPARE(h.records.size(), 5);

    h.transfer.startClear();
    const int before = h.requestsSent;
    QCOMPARE(h.run([&h] { return h.transfer.state == LogTransfer::ReadInfo
                                 && h.transfer.pendingKind == LogTransfer::PendingNone; }),
             Host::Done);
    QCOMPARE(h.requestsSent, before + 1);
    QCOMPARE(h.results.last(), ReplyAccepted);

    // Read again: the captions stay, the log is empty and starts where it ended.
    h.records.clear();
    h.captions.clear();
    QCOMPARE(h.readToRest(), Host::Done);
    QCOMPARE(h.captions.size(), 3);
    QCOMPARE(h.rangeFirst, 9u);
    QCOMPARE(h.rangeSpan, 0u);
    QVERIFY(h.records.isEmpty());
    QVERIFY(simulator.stop());
}

void tst_DevSim::liveAppend()
{
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--log"), smallLogPath, QStringLiteral("--first-index"),
                             QStringLiteral("100"), QStringLiteral("--append-every"), QStringLiteral("1"),
                             QStringLiteral("--capacity"), QStringLiteral("5"), QStringLiteral("--baud"),
                             QStringLiteral("230400")}));
    Host h(simulator.fd);
    h.resume = true; // resume after the newest record received, as the import does
    h.resumeAt = 100;
    QCOMPARE(h.readToRest(), Host::Done);
    QCOMPARE(h.records.size(), 5);

    // The window's request timer: back to the range whenever the transfer rests.
    const QDateTime local = QDateTime::currentDateTime();
    const qint64 deviceNow = QDateTime(local.date(), local.time(), Qt::UTC).toSecsSinceEpoch() - 946684800;
    const auto twoMore = [&h] {
        if (h.atRest()) {
            h.resumeAt = h.records.last().index + h.records.last().count;
            h.transfer.repoll();
        }
        return h.records.size() >= 7;
    };
    QCOMPARE(h.run(twoMore, 10000), Host::Done);
    // The file's records come round again, dated now; the oldest ones made room, so
    // the first index has moved past the first two records at least.
    QCOMPARE(h.recordList(100), QStringLiteral("0:1 1:3 6:1 7:2 9:1 10:1 11:3"));
    QCOMPARE(h.records.at(5).eventId, 10u);
    QVERIFY(qAbs(qint64(h.records.at(6).time) - deviceNow) < 600);
    QVERIFY2(h.rangeFirst - 100u >= 6u && h.rangeFirst - 100u < 12u, qPrintable(QString::number(h.rangeFirst)));
    QVERIFY(simulator.stop());
}

void tst_DevSim::faults_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("exceptionCode");
    QTest::addColumn<int>("leadingBusy");  // replies with code 6 before the rest
    QTest::addColumn<bool>("retried");     // more requests than a clean read needs
    QTest::addColumn<bool>("corruptSeen"); // some replies failed their CRC
    QTest::addColumn<int>("minLatencyMs");

    QTest::newRow("exception 2") << QStringList {"--exception", "2"} << int(Host::Exception) << 2 << 0 << false << false << 0;
    QTest::newRow("exception 4") << QStringList {"--exception", "4"} << int(Host::Exception) << 4 << 0 << false << false << 0;
    QTest::newRow("silent") << QStringList {"--silent"} << int(Host::NoReply) << 0 << 0 << false << false << 0;
    QTest::newRow("drop all") << QStringList {"--drop", "100"} << int(Host::NoReply) << 0 << 0 << false << false << 0;
    QTest::newRow("corrupt all") << QStringList {"--corrupt", "100"} << int(Host::NoReply) << 0 << 0 << false << true << 0;
    QTest::newRow("drop some") << QStringList {"--drop", "30", "--seed", "5"} << int(Host::Done) << 0 << 0 << true << false << 0;
    QTest::newRow("corrupt some") << QStringList {"--corrupt", "30", "--seed", "5"} << int(Host::Done) << 0 << 0 << true << true << 0;
    QTest::newRow("busy 3") << QStringList {"--busy", "3"} << int(Host::Done) << 0 << 3 << true << false << 0;
    QTest::newRow("delay") << QStringList {"--delay", "250"} << int(Host::Done) << 0 << 0 << false << false << 250;
}

void tst_DevSim::faults()
{
    QFETCH(QStringList, options);
    QFETCH(int, outcome);
    QFETCH(int, exceptionCode);
    QFETCH(int, leadingBusy);
    QFETCH(bool, retried);
    QFETCH(bool, corruptSeen);
    QFETCH(int, minLatencyMs);

    Simulator simulator;
    QVERIFY(simulator.start(QStringList {QStringLiteral("--log"), smallLogPath, QStringLiteral("--baud"),
                                         QStringLiteral("230400")} + options));
    Host h(simulator.fd);
    // Short reply times and few attempts keep the failing cases quick.
    h.transfer.replyTimeoutMs = 150;
    h.transfer.attemptsPerRequest = 4;
    if (minLatencyMs > 0) {
        h.transfer.replyTimeoutMs = 1000;
        h.wantCaptions = false;
    }

    QCOMPARE(int(h.readToRest()), outcome);
    switch (outcome) {
    case Host::Exception:
        QCOMPARE(int(h.exceptionCode), exceptionCode);
        QCOMPARE(h.requestsSent, 1);
        break;
    case Host::NoReply:
        QCOMPARE(h.requestsSent, 4); // the info request, four attempts
        QVERIFY(h.records.isEmpty());
        break;
    case Host::Done:
        QCOMPARE(h.recordList(0), QStringLiteral("0:1 1:3 6:1 7:2 9:1"));
        QCOMPARE(h.captions.size(), h.wantCaptions ? 3 : 0);
        break;
    }
    QCOMPARE(h.requestsSent > 1 + (h.wantCaptions ? 3 : 0) + 1 + 7, retried);
    QCOMPARE(h.results.contains(ReplyCorrupt), corruptSeen);
    for (int i = 0; i < leadingBusy; ++i)
        QCOMPARE(int(h.results.value(i)), 6);
    QCOMPARE(h.results.count(6), leadingBusy);
    QVERIFY2(h.slowestReplyMs >= minLatencyMs, qPrintable(QString::number(h.slowestReplyMs)));
    QVERIFY(simulator.stop());
}

void tst_DevSim::clientsComeAndGo()
{
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--log"), smallLogPath, QStringLiteral("--baud"), QStringLiteral("230400")}));
    for (int client = 0; client < 3; ++client) {
        if (client > 0)
            QVERIFY(simulator.connectLine());
        Host h(simulator.fd);
        h.wantCaptions = false;
        QCOMPARE(h.readToRest(), Host::Done);
        QCOMPARE(h.records.size(), 5);
        simulator.disconnectLine();
    }
    QCOMPARE(simulator.process.state(), QProcess::Running);
    QVERIFY(simulator.stop());
}

void tst_DevSim::givenPort()
{
    // Our own pseudo-terminal pair; the simulator takes the client side as its port,
    // where it leaves parity and stop bits alone.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0);
    QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
    const QString port = QString::fromLocal8Bit(ptsname(master));
    termios mode {};
    QVERIFY(tcgetattr(master, &mode) == 0);
    cfmakeraw(&mode);
    QVERIFY(tcsetattr(master, TCSANOW, &mode) == 0);

    QProcess process;
    QCOMPARE(startProgram(process, {QStringLiteral("--port"), port, QStringLiteral("--parity"), QStringLiteral("even"),
                                    QStringLiteral("--stop"), QStringLiteral("2"), QStringLiteral("--address"),
                                    QStringLiteral("7"), QStringLiteral("--log"), smallLogPath}),
             port);

    {
        Host h(master);
        h.transfer.replyTimeoutMs = 150;
        h.transfer.attemptsPerRequest = 2;
        QCOMPARE(h.readToRest(), Host::NoReply); // the device has address 7
    }
    Host h(master);
    h.master.deviceAddress = 7;
    QCOMPARE(h.readToRest(), Host::Done);
    QCOMPARE(h.records.size(), 5);

    process.terminate();
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    close(master);
}

void tst_DevSim::verboseTrace()
{
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--log"), smallLogPath, QStringLiteral("--verbose"),
                             QStringLiteral("--drop"), QStringLiteral("100")}));
    Host h(simulator.fd);
    h.transfer.replyTimeoutMs = 100;
    h.transfer.attemptsPerRequest = 2;
    QCOMPARE(h.readToRest(), Host::NoReply);
    QVERIFY(simulator.stop());
    const QString trace = QString::fromLocal8Bit(simulator.process.readAllStandardError());
    QVERIFY2(trace.contains(QStringLiteral("<- 01 42 00 10 A0 (dropped)")), qPrintable(trace));
    QCOMPARE(trace.count(QStringLiteral("<- 01 42 00 10 A0")), 2);

    Simulator chatty;
    QVERIFY(chatty.start({QStringLiteral("--log"), smallLogPath, QStringLiteral("--verbose")}));
    Host answered(chatty.fd);
    answered.wantCaptions = false;
    QCOMPARE(answered.readToRest(), Host::Done);
    QVERIFY(chatty.stop());
    const QString replies = QString::fromLocal8Bit(chatty.process.readAllStandardError());
    QVERIFY2(replies.contains(QStringLiteral("\n-> 01 42 00 03 00 ")), qPrintable(replies));
    QVERIFY2(replies.contains(QStringLiteral("\n-> 01 42 02 00 00 00 00 0A 00 00 00 ")), qPrintable(replies));
}

void tst_DevSim::badOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");

    QTest::newRow("address 0") << QStringList {"--address", "0"} << QStringLiteral("--address wants a whole number from 1 to 255");
    QTest::newRow("parity") << QStringList {"--parity", "mark"} << QStringLiteral("--parity wants none, odd or even");
    QTest::newRow("drop above 100") << QStringList {"--drop", "101"} << QStringLiteral("--drop wants a whole number from 0 to 100");
    QTest::newRow("first index beyond 32 bits") << QStringList {"--first-index", "4294967296"}
                                                << QStringLiteral("--first-index wants a whole number from 0 to 4294967295");
    QTest::newRow("missing log") << QStringList {"--log", "/nonexistent/log.json"} << QStringLiteral("cannot read /nonexistent/log.json");
    QTest::newRow("missing port") << QStringList {"--port", "/nonexistent/tty"} << QStringLiteral("cannot open /nonexistent/tty");
}

void tst_DevSim::badOptions()
{
    QFETCH(QStringList, options);
    QFETCH(QString, message);

    QProcess process;
    process.start(QStringLiteral(KHRONAR_DEVSIM_PROGRAM), options);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardOutput().isEmpty()); // no path: nothing to connect to
    const QString error = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(error.contains(message), qPrintable(error));
}

QTEST_GUILESS_MAIN(tst_DevSim)
#include "tst_devsim.moc"
