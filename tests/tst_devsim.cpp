// The device simulator: its request handling, bus, sessions, log file format and demo
// content in-process, and the khronar-devsim program over a pseudo-terminal and over
// TCP (RTU frames and Modbus TCP), read by the tool's own ModbusMaster and LogTransfer
// with every fault option.

#include "messagetext/captionformat.h"
#include "protocol/devicetime.h"
#include "protocol/logtransfer.h"
#include "protocol/modbuscrc.h"
#include "protocol/modbusmaster.h"
#include "protocol/tickcount.h"
#include "tools/devsim/demolog.h"
#include "tools/devsim/devicebus.h"
#include "tools/devsim/devicelogjson.h"
#include "tools/devsim/devicesimulator.h"
#include "tools/devsim/optionparsing.h"
#include "tools/devsim/simulatorsession.h"
#include "tools/devsim/windows1251.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

// A request of a test table: hex without CRC, with "!" at the end for a wrong CRC;
// empty for an empty frame.
QByteArray requestFrame(const QByteArray &hex)
{
    if (hex.isEmpty())
        return QByteArray();
    if (hex.endsWith('!'))
        return withCrc(QByteArray::fromHex(hex.chopped(1))) + 'x';
    return withCrc(QByteArray::fromHex(hex));
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

// A second device's content, for the bus: other captions, other place in the index.
const char otherLog[] = R"({
  "firstIndex": 50,
  "captions": [{"event": 7, "text": "Другое устройство, канал #u"}],
  "records": [
    {"event": 7, "type": 1, "time": 1000, "data": "05"},
    {"event": 7, "type": 0, "time": 2000, "data": "06"}
  ]
})";

// Modbus TCP framing, written here rather than borrowed from the simulator, so that
// the test checks the simulator's against its own reading of the protocol.
QByteArray wrapMbap(std::uint16_t transaction, const QByteArray &body)
{
    QByteArray adu;
    adu.append(char(transaction >> 8)).append(char(transaction & 0xFF));
    adu.append('\0').append('\0');
    adu.append(char(body.size() >> 8)).append(char(body.size() & 0xFF));
    return adu + body;
}

std::uint16_t be16At(const QByteArray &bytes, int offset)
{
    return std::uint16_t((std::uint8_t(bytes.at(offset)) << 8) | std::uint8_t(bytes.at(offset + 1)));
}

// Takes one whole ADU off the front of `stream`, or returns an empty array.
QByteArray takeMbapAdu(QByteArray &stream)
{
    if (stream.size() < 7 || stream.size() < 6 + be16At(stream, 4))
        return QByteArray();
    const QByteArray adu = stream.left(6 + be16At(stream, 4));
    stream.remove(0, adu.size());
    return adu;
}

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
// The tool's side of the line: master and transfer client on the client end of the
// pseudo-terminal, with a loop that stands in for the poll cycle.
struct Host {
    enum Outcome { Done, NoReply, Exception, TimedOut, Closed };

    int fd = -1;
    bool mbap = false;   // the connection speaks Modbus TCP: wrap and unwrap
    bool closed = false; // the other side closed the connection
    std::uint16_t transaction = 0;
    QByteArray stream;                        // MBAP bytes received but not yet taken
    QVector<std::uint16_t> otherTransactions; // answers to requests no longer awaited
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

    explicit Host(int lineFd, bool modbusTcp = false) : fd(lineFd), mbap(modbusTcp)
    {
        table[0] = transfer.functionHandler();
        master.handlerTable = table;
        master.entryCount = 1;
        LogTransfer::Callbacks callbacks;
        callbacks.context = this;
        callbacks.logInfo = [](void *context, std::uint16_t count, std::uint32_t ids, std::uint32_t texts) {
            Host &host = *static_cast<Host *>(context);
            host.captionCount = count;
            host.idHash = ids;
            host.captionHash = texts;
            return host.wantCaptions;
        };
        callbacks.caption = [](void *context, std::uint16_t position, std::uint32_t eventId, const char *text) {
            static_cast<Host *>(context)->captions.insert(position, {eventId, QByteArray(text)});
        };
        callbacks.range = [](void *context, std::uint32_t first, std::uint32_t span) {
            Host &host = *static_cast<Host *>(context);
            host.rangeFirst = first;
            host.rangeSpan = span;
            return host.resume ? host.resumeAt : first;
        };
        callbacks.record = [](void *context, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                              std::uint32_t time, std::uint32_t eventId, const std::uint8_t *data, std::size_t length) {
            static_cast<Host *>(context)->records.append(
                {index, count, type, time, eventId, QByteArray(reinterpret_cast<const char *>(data), int(length))});
        };
        transfer.setCallbacks(callbacks);
    }
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Everything that arrives within `waitMs`, up to 5 ms of silence after the last
    // byte: how the terminal finds the end of a reply.
    QByteArray readReply(int waitMs)
    {
        QByteArray reply;
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const int left = reply.isEmpty() ? int(waitMs - clock.elapsed()) : 5;
            pollfd in{fd, POLLIN, 0};
            if (left <= 0 || poll(&in, 1, left) <= 0)
                return reply;
            char buffer[512];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0)
                reply.append(buffer, int(got));
            else if (got == 0 || (errno != EAGAIN && errno != EINTR && errno != EIO))
                return closed = true, reply;
        }
    }

    // Modbus TCP: the ADU that answers the last request, as an RTU frame with its
    // CRC, so that the master checks it as it checks a line's reply. Answers to other
    // transactions are skipped, as a Modbus TCP client must.
    QByteArray readMbapReply(int waitMs)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            for (QByteArray adu = takeMbapAdu(stream); !adu.isEmpty(); adu = takeMbapAdu(stream)) {
                if (be16At(adu, 0) == transaction)
                    return withCrc(adu.mid(6));
                otherTransactions.append(be16At(adu, 0));
            }
            const int left = int(waitMs - clock.elapsed());
            pollfd in{fd, POLLIN, 0};
            if (left <= 0 || poll(&in, 1, left) <= 0)
                return QByteArray();
            char buffer[512];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0)
                stream.append(buffer, int(got));
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                return closed = true, QByteArray();
        }
    }

    bool send(const std::uint8_t *frame, int length)
    {
        QByteArray bytes(reinterpret_cast<const char *>(frame), length);
        if (mbap) // the unit id and PDU, without the CRC
            bytes = wrapMbap(++transaction, bytes.left(length - 2));
        return write(fd, bytes.constData(), std::size_t(bytes.size())) == bytes.size();
    }

    // Poll ticks until `done` holds, the transfer gives up, or a device exception
    // other than busy ends the download, as the window's poll cycle does.
    Outcome run(const std::function<bool()> &done, int deadlineMs = 20000)
    {
        QElapsedTimer total;
        total.start();
        while (!done()) {
            if (closed)
                return Closed;
            if (total.elapsed() > deadlineMs)
                return TimedOut;
            std::uint8_t frame[256] = {};
            std::uint8_t length = 0;
            const RequestResult code = master.buildRequest(frame, &length);
            if (code == RequestNoReply)
                return NoReply;
            if (length != 0) {
                if (!send(frame, length))
                    return closed ? Closed : TimedOut;
                ++requestsSent;
            }
            const int wait = std::int32_t(transfer.deadline() - tickCount());
            QElapsedTimer latency;
            latency.start();
            const QByteArray reply = mbap ? readMbapReply(wait > 0 ? wait : 0) : readReply(wait > 0 ? wait : 0);
            if (reply.isEmpty())
                continue;
            if (length != 0)
                slowestReplyMs = qMax(slowestReplyMs, latency.elapsed());
            const ReplyResult result = master.processReply(bytes(reply), std::uint8_t(reply.size()));
            results.append(result);
            if (result != ReplyAccepted && result != ReplyUnexpected && result != ReplyCorrupt
                && result != exceptionResult(ExceptionServerBusy)) {
                exceptionCode = result;
                return Exception;
            }
        }
        return Done;
    }

    bool atRest() const
    {
        return transfer.state() == LogTransfer::Idle && transfer.pendingKind() == LogTransfer::PendingNone;
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

// A non-blocking connection to "tcp://HOST:PORT" or "mbtcp://HOST:PORT", or -1.
int connectTo(const QString &url)
{
    const QUrl parsed(url);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (parsed.port() <= 0
        || getaddrinfo(parsed.host().toLatin1().constData(), QByteArray::number(parsed.port()).constData(), &hints,
                       &found)
            != 0)
        return -1;
    const int fd = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    const bool connected = fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// khronar-devsim as a child process on a new pseudo-terminal or TCP port, and our
// end of it.
struct Simulator {
    QProcess process;
    QString path; // or URL
    int fd = -1;

    bool start(const QStringList &arguments)
    {
        path = startProgram(process, arguments);
        return !path.isEmpty() && connectLine();
    }

    bool isTcp() const { return path.contains(QLatin1String("://")); }
    bool isMbap() const { return path.startsWith(QLatin1String("mbtcp://")); }

    bool connectLine()
    {
        fd = isTcp() ? connectTo(path) : open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
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

    ~Simulator() { stop(); }
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

DeviceLogFile parsedLog(const char *json)
{
    DeviceLogFile content;
    QString error;
    if (!parseDeviceLogJson(QByteArray(json), &content, &error))
        qFatal("a test log does not parse: %s", qPrintable(error));
    return content;
}

DeviceLogFile parsedSmallLog()
{
    return parsedLog(smallLog);
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
    void demoContent_data();
    void demoContent();
    void bus_data();
    void bus();
    void busWithTheCallersDevice();
    void listenAddress_data();
    void listenAddress();
    void mbapSession_data();
    void mbapSession();
    void corruptPduOnly();
    void lineTimingHoldsTheReply_data();
    void lineTimingHoldsTheReply();

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
    void busOnOneLine_data();
    void busOnOneLine();
    void lineTimingOverThePseudoTerminal();

    // Over TCP
    void tcpWholeLog_data();
    void tcpWholeLog();
    void tcpListenAddress_data();
    void tcpListenAddress();
    void tcpTransactionId();
    void tcpStaleReply();
    void tcpDisconnectAfter_data();
    void tcpDisconnectAfter();
    void tcpConnectionsInTurn();

    void badOptions_data();
    void badOptions();

private:
    QTemporaryDir dir;
    QString smallLogPath;
    QString otherLogPath;
};

void tst_DevSim::initTestCase()
{
    QVERIFY(dir.isValid());
    smallLogPath = dir.filePath(QStringLiteral("small.json"));
    otherLogPath = dir.filePath(QStringLiteral("other.json"));
    QFile small(smallLogPath);
    QVERIFY(small.open(QIODevice::WriteOnly));
    small.write(smallLog);
    QFile other(otherLogPath);
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.write(otherLog);
    // A write to a connection the simulator has closed must fail, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
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
    QTest::newRow("range") << QByteArray("014202")
                           << QByteArray("014202"
                                         "64000000"
                                         "0a000000");
    QTest::newRow("record 100") << QByteArray("01420364000000")
                                << QByteArray("0142036400000002"
                                              "7a0d872d"
                                              "01"
                                              "0a000000"
                                              "0201");
    QTest::newRow("record of three positions") << QByteArray("01420365000000")
                                               << QByteArray("0142036500000001"
                                                             "c00d872d"
                                                             "03"
                                                             "14000000"
                                                             "ab007a0d872d");
    QTest::newRow("inside a record") << QByteArray("01420366000000")
                                     << QByteArray("01420366000000"
                                                   "00");
    QTest::newRow("empty position") << QByteArray("01420368000000")
                                    << QByteArray("01420368000000"
                                                  "00");
    QTest::newRow("before the log") << QByteArray("01420363000000") << QByteArray("0142036300000084");
    QTest::newRow("at the end") << QByteArray("0142036e000000") << QByteArray("0142036e00000084");
    QTest::newRow("clear, wrong confirmation") << QByteArray("014280"
                                                             "3c00c35b")
                                               << QByteArray("01c203");
    QTest::newRow("clear, short") << QByteArray("014280") << QByteArray("01c203");
    QTest::newRow("record, short") << QByteArray("01420364") << QByteArray("01c203");
    QTest::newRow("unknown sub-function") << QByteArray("014204") << QByteArray("01c201");
    QTest::newRow("other function") << QByteArray("0103000a0001")
                                    << QByteArray("0183"
                                                  "01");
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

    const QByteArray answer = simulator.handleRequest(requestFrame(request));

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
    QTest::newRow("duplicate event") << QByteArray(
        R"({"captions": [{"event": 1, "text": "a"}, {"event": 1, "text": "b"}]})")
                                     << QStringLiteral("captions[1]: event 1 has a caption already");
    QTest::newRow("outside Windows-1251") << QByteArray(R"({"captions": [{"event": 1, "text": "✓"}]})")
                                          << QStringLiteral("captions[0].text: has characters outside Windows-1251");
    QTest::newRow("caption too long") << (QByteArray(R"({"captions": [{"event": 1, "text": ")") + QByteArray(244, 'a')
                                          + "\"}]}")
                                      << QStringLiteral("captions[0].text: longer than 243 bytes");
    QTest::newRow("longest caption") << (QByteArray(R"({"captions": [{"event": 1, "text": ")") + QByteArray(243, 'a')
                                         + "\"}]}")
                                     << QString();
    QTest::newRow("count 0") << QByteArray(R"({"records": [{"event": 1, "count": 0}]})")
                             << QStringLiteral("records[0].count: expected a whole number from 1 to 255");
    QTest::newRow("fractional type") << QByteArray(R"({"records": [{"event": 1, "type": 1.5}]})")
                                     << QStringLiteral("records[0].type: expected a whole number from 0 to 255");
    QTest::newRow("odd hex") << QByteArray(R"({"records": [{"event": 1, "data": "0A B"}]})")
                             << QStringLiteral("records[0].data: expected hexadecimal bytes such as \"02 01 FA 00\"");
    QTest::newRow("data too long") << (QByteArray(R"({"records": [{"event": 1, "data": ")") + QByteArray(237 * 2, 'A')
                                       + "\"}]}")
                                   << QStringLiteral("records[0].data: more than 236 bytes");
    QTest::newRow("time before 2000") << QByteArray(R"({"records": [{"event": 1, "time": "1999-12-31 23:59:59"}]})")
                                      << QStringLiteral(
                                             "records[0].time: outside the device clock's years 2000 to 2136");
    QTest::newRow("time not a date") << QByteArray(R"({"records": [{"event": 1, "time": "yesterday"}]})")
                                     << QStringLiteral(
                                            "records[0].time: expected seconds since 2000 or \"YYYY-MM-DD HH:MM:SS\"");
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

    QCOMPARE(simulator
                 .handleRequest(withCrc(QByteArray::fromHex("014280"
                                                            "3c00c35a")))
                 .toHex(),
             withCrc(QByteArray::fromHex("014280")).toHex());
    QCOMPARE(simulator.log().firstIndex(), 9u);
    QCOMPARE(simulator.log().span(), 0u);
    QCOMPARE(simulator.log().captions().size(), 3);
    QVERIFY(simulator.appendRecord(778));
    QCOMPARE(simulator.log().firstIndex(), 9u);
    QVERIFY(simulator.log().recordAt(9));
}

void tst_DevSim::demoContent_data()
{
    QTest::addColumn<int>("address");
    QTest::newRow("device 1") << 1;
    QTest::newRow("device 2") << 2;
    QTest::newRow("device 255") << 255;
}

void tst_DevSim::demoContent()
{
    QFETCH(int, address);
    const DeviceLog log = makeDemoLog(300, 763825530u, std::uint8_t(address));
    QCOMPARE(log.recordCount(), 300);
    // Devices on one bus share the configuration but not the log.
    const DeviceLog first = makeDemoLog(300, 763825530u);
    QCOMPARE(log.idHash(), first.idHash());
    QCOMPARE(log.captionHash(), first.captionHash());
    int sameRecords = 0;
    for (std::uint32_t index = 0; index != log.endIndex(); ++index) {
        const DeviceLog::Record *mine = log.recordAt(index);
        const DeviceLog::Record *theirs = first.recordAt(index);
        sameRecords += mine && theirs && mine->eventId == theirs->eventId && mine->data == theirs->data
            && mine->time == theirs->time;
    }
    if (address != 1)
        QVERIFY2(sameRecords < 10, qPrintable(QString::number(sameRecords)));
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
    QCOMPARE(types, (QSet<int>{0, 1, 2, 3}));
    QVERIFY(multiPosition > 0);
    QVERIFY(empty > 0);
    QCOMPARE(int(log.span()), positions + empty);
    QCOMPARE(eventsSeen.size(), captions.size());
    // Live records keep rendering cleanly.
    for (std::uint32_t n = 300; n < 400; ++n) {
        const DeviceLog::Record record = demoRecord(n, std::uint8_t(address));
        QVERIFY(!hasErrorWords(formatCaption(captions.value(record.eventId), record.data)));
    }
}

void tst_DevSim::bus_data()
{
    QTest::addColumn<QByteArray>("request"); // hex, without CRC; "!" appends a wrong CRC
    QTest::addColumn<QByteArray>("reply");   // hex, without CRC; empty for silence

    // Devices 1 and 2 hold the small log at 100 and at 200, device 9 the other log at 50.
    QTest::newRow("device 1") << QByteArray("014202")
                              << QByteArray("014202"
                                            "64000000"
                                            "0a000000");
    QTest::newRow("device 2") << QByteArray("024202")
                              << QByteArray("024202"
                                            "c8000000"
                                            "0a000000");
    QTest::newRow("device 9") << QByteArray("094202")
                              << QByteArray("094202"
                                            "32000000"
                                            "02000000");
    QTest::newRow("device 2, exception") << QByteArray("024204") << QByteArray("02c201");
    QTest::newRow("nobody at 3") << QByteArray("034202") << QByteArray();
    QTest::newRow("broadcast") << QByteArray("004202") << QByteArray();
    QTest::newRow("device 2, wrong CRC") << QByteArray("024202!") << QByteArray();
    QTest::newRow("empty frame") << QByteArray("") << QByteArray();
}

void tst_DevSim::bus()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);

    SimulatorOptions options;
    DeviceBus devices;
    for (std::uint8_t address : {1, 2}) {
        DeviceLogFile content = parsedSmallLog();
        content.log.moveTo(address * 100u);
        options.address = address;
        QVERIFY(devices.addDevice(DeviceSimulator(content.log, options)));
    }
    options.address = 9;
    QVERIFY(devices.addDevice(DeviceSimulator(parsedLog(otherLog).log, options)));
    QVERIFY(!devices.addDevice(DeviceSimulator(parsedLog(otherLog).log, options))); // 9 is taken
    options.address = 0;
    QVERIFY(!devices.addDevice(DeviceSimulator(parsedLog(otherLog).log, options)));
    QCOMPARE(devices.addresses(), (QVector<std::uint8_t>{1, 2, 9}));

    QString note;
    const QByteArray answer = devices.handleRequest(requestFrame(request), &note);
    if (reply.isEmpty()) {
        QVERIFY(answer.isEmpty());
        QCOMPARE(note, QStringLiteral("ignored"));
        return;
    }
    QCOMPARE(answer.toHex(), withCrc(QByteArray::fromHex(reply)).toHex());
}

void tst_DevSim::busWithTheCallersDevice()
{
    // A device the caller keeps: what the bus's requests do shows in the caller's log.
    DeviceSimulator device(parsedSmallLog().log, SimulatorOptions());
    DeviceBus devices;
    QVERIFY(devices.attachDevice(device));
    QVERIFY(!devices.addDevice(device)); // address 1 is taken by it
    QCOMPARE(devices
                 .handleRequest(withCrc(QByteArray::fromHex("014280"
                                                            "3c00c35a")))
                 .toHex(),
             withCrc(QByteArray::fromHex("014280")).toHex());
    QCOMPARE(device.log().recordCount(), 0);
    QCOMPARE(device.log().firstIndex(), 10u);
}

void tst_DevSim::listenAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host"); // empty: refused
    QTest::addColumn<int>("port");
    QTest::newRow("port only") << QStringLiteral("5020") << QStringLiteral("127.0.0.1") << 5020;
    QTest::newRow("any free port") << QStringLiteral("0") << QStringLiteral("127.0.0.1") << 0;
    QTest::newRow("IPv4") << QStringLiteral("0.0.0.0:502") << QStringLiteral("0.0.0.0") << 502;
    QTest::newRow("name") << QStringLiteral("localhost:65535") << QStringLiteral("localhost") << 65535;
    QTest::newRow("IPv6") << QStringLiteral("[::1]:5020") << QStringLiteral("::1") << 5020;
    QTest::newRow("IPv6 without brackets") << QStringLiteral("::1:5020") << QString() << 0;
    QTest::newRow("IPv6 without port") << QStringLiteral("[::1]") << QString() << 0;
    QTest::newRow("port too big") << QStringLiteral("65536") << QString() << 0;
    QTest::newRow("negative port") << QStringLiteral("-1") << QString() << 0;
    QTest::newRow("no port") << QStringLiteral("127.0.0.1:") << QString() << 0;
    QTest::newRow("no host") << QStringLiteral(":5020") << QString() << 0;
}

void tst_DevSim::listenAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);
    QString parsedHost, error;
    std::uint16_t parsedPort = 1;
    QCOMPARE(parseListenAddress(text, &parsedHost, &parsedPort, &error), !host.isEmpty());
    if (host.isEmpty()) {
        QVERIFY(error.startsWith(QStringLiteral("wants ")));
        return;
    }
    QCOMPARE(parsedHost, host);
    QCOMPARE(int(parsedPort), port);
}

void tst_DevSim::mbapSession_data()
{
    QTest::addColumn<QStringList>("reads");   // hex, as the bytes arrive, 1 ms apart
    QTest::addColumn<QStringList>("options"); // "stale", "disconnect N"
    QTest::addColumn<QStringList>("replies"); // hex ADUs as written; "stale:" marks the extra
    QTest::addColumn<bool>("closes");

    // The small log at 100 on device 1.
    const QString range1 = QStringLiteral("0001"
                                          "0000"
                                          "000b"
                                          "01"
                                          "4202"
                                          "64000000"
                                          "0a000000");
    const QString range2 = QStringLiteral("0002"
                                          "0000"
                                          "000b"
                                          "01"
                                          "4202"
                                          "64000000"
                                          "0a000000");
    QTest::newRow("one request") << QStringList{"0001 0000 0003 01 4202"} << QStringList() << QStringList{range1}
                                 << false;
    QTest::newRow("torn header") << QStringList{"0001 00", "00 0003 01", "42", "02"} << QStringList()
                                 << QStringList{range1} << false;
    QTest::newRow("two in one read") << QStringList{"0001 0000 0003 01 4202 0002 0000 0003 01 4202"} << QStringList()
                                     << QStringList{range1, range2} << false;
    QTest::newRow("nobody at unit 5") << QStringList{"0001 0000 0003 05 4202", "0002 0000 0003 01 4202"}
                                      << QStringList() << QStringList{range2} << false;
    QTest::newRow("exception keeps the id")
        << QStringList{"bEEf 0000 0003 01 4204"} << QStringList() << QStringList{"beef 0000 0003 01 c201"} << false;
    QTest::newRow("record") << QStringList{"1234 0000 0007 01 4203 64000000"} << QStringList()
                            << QStringList{"1234 0000 0013 01 4203 64000000 02 7a0d872d 01 0a000000 0201"} << false;
    QTest::newRow("PDU too long for any device")
        << QStringList{"0001 0000 00fe 01 42" + QString(252 * 2, '0'), "0002 0000 0003 01 4202"} << QStringList()
        << QStringList{range2} << false;
    QTest::newRow("protocol not Modbus") << QStringList{"0001 0001 0003 01 4202", "0002 0000 0003 01 4202"}
                                         << QStringList() << QStringList() << true;
    QTest::newRow("length without a function")
        << QStringList{"0001 0000 0001 01"} << QStringList() << QStringList() << true;
    QTest::newRow("length beyond any PDU")
        << QStringList{"0001 0000 00ff 01"} << QStringList() << QStringList() << true;
    QTest::newRow("stale reply") << QStringList{"0001 0000 0003 01 4202", "0002 0000 0003 01 4200",
                                                "0003 0000 0003 01 4202"}
                                 << QStringList{"stale"}
                                 << QStringList{range1, "stale:" + range1,
                                                "0002 0000 000d 01 4200 0300 idHash captionHash",
                                                "stale:0002 0000 000d 01 4200 0300 idHash captionHash",
                                                "0003 0000 000b 01 4202 64000000 0a000000"}
                                 << false;
    QTest::newRow("stale reply after silence")
        << QStringList{"0001 0000 0003 07 4202", "0002 0000 0003 01 4202"} << QStringList{"stale"}
        << QStringList{"stale:0001 0000 000b 01 4202 64000000 0a000000", range2} << false;
    QTest::newRow("disconnect after 2") << QStringList{"0001 0000 0003 01 4202", "0002 0000 0003 01 4202",
                                                       "0003 0000 0003 01 4202"}
                                        << QStringList{"disconnect 2"} << QStringList{range1, range2} << true;
    QTest::newRow("disconnect counts no stale replies")
        << QStringList{"0001 0000 0003 01 4202", "0002 0000 0003 01 4202", "0003 0000 0003 01 4202"}
        << QStringList{"stale", "disconnect 2"} << QStringList{range1, "stale:" + range1, range2} << true;
}

void tst_DevSim::mbapSession()
{
    QFETCH(QStringList, reads);
    QFETCH(QStringList, options);
    QFETCH(QStringList, replies);
    QFETCH(bool, closes);

    DeviceLogFile content = parsedSmallLog();
    content.log.moveTo(100);
    DeviceBus devices;
    devices.addDevice(DeviceSimulator(content.log, SimulatorOptions()));
    ServeSettings settings;
    settings.mbap = true;
    settings.staleReply = options.contains(QStringLiteral("stale"));
    for (const QString &option : options) {
        if (option.startsWith(QStringLiteral("disconnect ")))
            settings.disconnectAfter = option.section(' ', 1).toInt();
    }
    SimulatorSession session(devices, settings, 2);

    QStringList written;
    SimulatorClock::time_point now;
    for (const QString &read : reads) {
        const QByteArray bytes = QByteArray::fromHex(read.toLatin1());
        session.received(bytes.constData(), bytes.size(), now);
        session.advance(now);
        PendingReply reply;
        while (session.takeReply(now, &reply)) {
            written << (reply.stale ? QStringLiteral("stale:") : QString()) + QString::fromLatin1(reply.bytes.toHex());
            session.replyWritten(reply, true, "");
        }
        now += std::chrono::milliseconds(1);
    }
    const auto le32 = [](std::uint32_t value) {
        QByteArray bytes;
        for (int shift = 0; shift < 32; shift += 8)
            bytes.append(char(value >> shift));
        return QString::fromLatin1(bytes.toHex());
    };
    for (QString &reply : replies) {
        reply.replace(QStringLiteral("idHash"), le32(content.log.idHash()));
        reply.replace(QStringLiteral("captionHash"), le32(content.log.captionHash()));
        reply.remove(' ');
        reply = reply.toLower();
    }
    QCOMPARE(written, replies);
    QCOMPARE(session.wantsClose(), closes);
}

void tst_DevSim::corruptPduOnly()
{
    // Modbus TCP has no CRC: the flipped bit must land in the function code or data,
    // never in the unit id, so the client sees a wrong answer from the right device.
    DeviceLogFile content = parsedSmallLog();
    DeviceSimulator clean(content.log, SimulatorOptions());
    SimulatorOptions options;
    options.corruptPercent = 100;
    options.corruptPduOnly = true;
    DeviceSimulator corrupting(content.log, options);
    const QByteArray request = withCrc(QByteArray::fromHex("01420300000000"));
    const QByteArray expected = clean.handleRequest(request);
    QSet<int> bytesHit;
    for (int i = 0; i < 200; ++i) {
        const QByteArray reply = corrupting.handleRequest(request);
        QCOMPARE(reply.size(), expected.size());
        int bitsFlipped = 0;
        for (int b = 0; b < reply.size(); ++b) {
            const std::uint8_t diff = std::uint8_t(reply.at(b) ^ expected.at(b));
            bitsFlipped += __builtin_popcount(diff);
            if (diff)
                bytesHit.insert(b);
        }
        QCOMPARE(bitsFlipped, 1);
    }
    QVERIFY(!bytesHit.contains(0));
    QVERIFY(!bytesHit.contains(expected.size() - 1) && !bytesHit.contains(expected.size() - 2));
    QVERIFY(bytesHit.contains(1) && bytesHit.contains(expected.size() - 3)); // the whole PDU is fair game
}

void tst_DevSim::lineTimingHoldsTheReply_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<char>("parity");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("mbap");
    QTest::addColumn<qint64>("characterNs");
    QTest::addColumn<qint64>("silenceNs");

    // A character of 1 + 8 + parity + 1 bits; 3.5 of them end a frame, at least
    // 1.75 ms above 19200 baud.
    QTest::newRow("9600 8N1") << 9600 << 'N' << 0 << false << 1041666LL << 3645833LL;
    QTest::newRow("19200 8E1") << 19200 << 'E' << 0 << false << 572916LL << 2005208LL;
    QTest::newRow("115200 8E1") << 115200 << 'E' << 0 << false << 95486LL << 1750000LL;
    QTest::newRow("with a delay") << 19200 << 'E' << 7 << false << 572916LL << 2005208LL;
    QTest::newRow("modbus tcp") << 19200 << 'E' << 0 << true << 572916LL << 2005208LL;
}

// The session's clock is the test's: the reply is due exactly when a real line would
// have delivered it.
void tst_DevSim::lineTimingHoldsTheReply()
{
    QFETCH(int, baud);
    QFETCH(char, parity);
    QFETCH(int, delayMs);
    QFETCH(bool, mbap);
    QFETCH(qint64, characterNs);
    QFETCH(qint64, silenceNs);
    using std::chrono::nanoseconds;

    LineSettings line;
    line.baud = std::uint32_t(baud);
    line.parity = parity;
    const LineTiming timing = line.timing();
    QCOMPARE(qint64(std::chrono::duration_cast<nanoseconds>(timing.character).count()), characterNs);
    QCOMPARE(qint64(std::chrono::duration_cast<nanoseconds>(timing.silence).count()), silenceNs);

    DeviceLogFile content = parsedSmallLog();
    content.log.moveTo(100);
    DeviceBus devices;
    devices.addDevice(DeviceSimulator(content.log, SimulatorOptions()));
    ServeSettings settings;
    settings.lineTiming = timing;
    settings.delayMs = delayMs;
    settings.mbap = mbap;
    SimulatorSession session(devices, settings, line.silenceMs());

    // A record request: 7 bytes and the CRC on a line, the reply 19 and its CRC. It
    // reaches the session in two pieces, the second while the first is on the wire.
    const QByteArray request = requestFrame("01420364000000");
    const QByteArray sent = mbap ? wrapMbap(1, request.chopped(2)) : request;
    const SimulatorClock::time_point start{};
    const SimulatorClock::time_point complete = start + std::chrono::microseconds(100);
    session.received(sent.constData(), 3, start);
    session.received(sent.constData() + 3, sent.size() - 3, complete);
    const auto onTheWire = timing.wire(request.size());
    // A gateway puts the RTU request on its line once the whole ADU is in.
    const auto due = (mbap ? complete : start) + onTheWire + timing.silence + std::chrono::milliseconds(delayMs)
        + timing.wire(21);

    PendingReply reply;
    if (!mbap) {
        // The request is not complete before its silence on the wire.
        const auto requestEnd = start + onTheWire + timing.silence;
        QCOMPARE(session.nextWake(start + std::chrono::hours(1)), requestEnd);
        session.advance(requestEnd - nanoseconds(1));
        QCOMPARE(session.nextWake(start + std::chrono::hours(1)), requestEnd);
        // Looked at late, the reply is due all the same.
        session.advance(requestEnd + std::chrono::microseconds(300));
    } else {
        session.advance(complete);
    }
    QCOMPARE(session.nextWake(start + std::chrono::hours(1)), due);
    QVERIFY(!session.takeReply(due - nanoseconds(1), &reply));
    QVERIFY(session.takeReply(due, &reply));
    // Over Modbus TCP: the header and the PDU, without address and CRC.
    QCOMPARE(reply.bytes.size(), mbap ? 7 + 18 : 21);
}

void tst_DevSim::lineTimingOverThePseudoTerminal()
{
    // 1200 baud, 8N1: 8.3 ms a character. The info request is 5 bytes, its reply 15:
    // 41.7 + 29.2 + 125 ms.
    constexpr auto Held = std::chrono::microseconds(41667 + 29167 + 125000);
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--baud"), QStringLiteral("1200"), QStringLiteral("--line-timing"),
                             QStringLiteral("--log"), smallLogPath}));
    Host h(simulator.fd);
    const QByteArray request = requestFrame("014200");
    for (int i = 0; i < 3; ++i) {
        const auto sent = std::chrono::steady_clock::now();
        QVERIFY(h.send(bytes(request), request.size()));
        pollfd in{simulator.fd, POLLIN, 0};
        QCOMPARE(poll(&in, 1, 10000), 1);
        const auto arrived = std::chrono::steady_clock::now();
        // No earlier than a real line allows; later is a busy machine's business.
        QVERIFY2(
            arrived - sent >= Held,
            qPrintable(QString::number(std::chrono::duration_cast<std::chrono::microseconds>(arrived - sent).count())));
        QCOMPARE(h.readReply(1000).size(), 15);
    }
    QVERIFY(simulator.stop());
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
    const qint64 deviceNow = QDateTime(local.date(), local.time(), Qt::UTC).toSecsSinceEpoch() - DeviceEpochUnixSeconds;
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
    QTest::newRow("resume inside a record")
        << qint64(100) << true << 2 << QStringLiteral("6:1 7:2 9:1") << 1 + 3 + 1 + 7;
    QTest::newRow("resume before the log") << qint64(100) << true << -5 << all << 1 + 3 + 1 + 7;
    QTest::newRow("resume at the end") << qint64(100) << true << 10 << QString() << 1 + 3 + 1;
    QTest::newRow("resume past the end") << qint64(100) << true << 500 << QString() << 1 + 3 + 1;
    QTest::newRow("wrapped") << qint64(4294967293) << false << 0 << all << 1 + 3 + 1 + 7;
    QTest::newRow("wrapped, resume after the wrap")
        << qint64(4294967293) << true << 6 << QStringLiteral("6:1 7:2 9:1") << 1 + 3 + 1 + 3;
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
    QCOMPARE(h.run([&h] {
        return h.transfer.state() == LogTransfer::ReadInfo && h.transfer.pendingKind() == LogTransfer::PendingNone;
    }),
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
    QVERIFY(
        simulator.start({QStringLiteral("--log"), smallLogPath, QStringLiteral("--first-index"), QStringLiteral("100"),
                         QStringLiteral("--append-every"), QStringLiteral("1"), QStringLiteral("--capacity"),
                         QStringLiteral("5"), QStringLiteral("--baud"), QStringLiteral("230400")}));
    Host h(simulator.fd);
    h.resume = true; // resume after the newest record received, as the import does
    h.resumeAt = 100;
    QCOMPARE(h.readToRest(), Host::Done);
    QCOMPARE(h.records.size(), 5);

    // The window's request timer: back to the range whenever the transfer rests.
    const QDateTime local = QDateTime::currentDateTime();
    const qint64 deviceNow = QDateTime(local.date(), local.time(), Qt::UTC).toSecsSinceEpoch() - DeviceEpochUnixSeconds;
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
    QTest::addColumn<QStringList>("transport"); // how the simulator serves
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("exceptionCode");
    QTest::addColumn<int>("leadingBusy");  // replies with code 6 before the rest
    QTest::addColumn<bool>("retried");     // more requests than a clean read needs
    QTest::addColumn<bool>("corruptSeen"); // some replies failed their CRC
    QTest::addColumn<int>("minLatencyMs");

    const QStringList tcp{"--tcp", "0"};
    const QStringList mbap{"--tcp", "0", "--mbap"};
    const struct {
        const char *name;
        QStringList transport;
    } transports[] = {{"line", {}}, {"tcp", tcp}, {"mbap", mbap}};
    for (const auto &transport : transports) {
        const auto row = [&transport](const char *name) {
            const QByteArray tag = QByteArray(transport.name) + ", " + name;
            return &(QTest::newRow(tag.constData()) << transport.transport);
        };
        *row("exception 2") << QStringList{"--exception", "2"} << int(Host::Exception) << 2 << 0 << false << false << 0;
        *row("silent") << QStringList{"--silent"} << int(Host::NoReply) << 0 << 0 << false << false << 0;
        *row("drop all") << QStringList{"--drop", "100"} << int(Host::NoReply) << 0 << 0 << false << false << 0;
        *row("drop some") << QStringList{"--drop", "30", "--seed", "5"} << int(Host::Done) << 0 << 0 << true << false
                          << 0;
        *row("busy 3") << QStringList{"--busy", "3"} << int(Host::Done) << 0 << 3 << true << false << 0;
        *row("delay") << QStringList{"--delay", "150"} << int(Host::Done) << 0 << 0 << false << false << 150;
        // Without a CRC a corrupted Modbus TCP reply is just a wrong one; the session
        // test checks where its bit flips.
        if (transport.transport != mbap) {
            *row("corrupt all") << QStringList{"--corrupt", "100"} << int(Host::NoReply) << 0 << 0 << false << true
                                << 0;
            *row("corrupt some") << QStringList{"--corrupt", "30", "--seed", "5"} << int(Host::Done) << 0 << 0 << true
                                 << true << 0;
        }
    }
    QTest::newRow("line, exception 4") << QStringList() << QStringList{"--exception", "4"} << int(Host::Exception) << 4
                                       << 0 << false << false << 0;
}

void tst_DevSim::faults()
{
    QFETCH(QStringList, transport);
    QFETCH(QStringList, options);
    QFETCH(int, outcome);
    QFETCH(int, exceptionCode);
    QFETCH(int, leadingBusy);
    QFETCH(bool, retried);
    QFETCH(bool, corruptSeen);
    QFETCH(int, minLatencyMs);

    Simulator simulator;
    QVERIFY(simulator.start(
        QStringList{QStringLiteral("--log"), smallLogPath, QStringLiteral("--baud"), QStringLiteral("230400")}
        + transport + options));
    Host h(simulator.fd, simulator.isMbap());
    // Short reply times and few attempts keep the failing cases quick.
    h.transfer.setReplyTiming(150, 4);
    if (minLatencyMs > 0) {
        h.transfer.setReplyTiming(1000, 4);
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
    QVERIFY(
        simulator.start({QStringLiteral("--log"), smallLogPath, QStringLiteral("--baud"), QStringLiteral("230400")}));
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
    termios mode{};
    QVERIFY(tcgetattr(master, &mode) == 0);
    cfmakeraw(&mode);
    QVERIFY(tcsetattr(master, TCSANOW, &mode) == 0);

    QProcess process;
    QCOMPARE(startProgram(process,
                          {QStringLiteral("--port"), port, QStringLiteral("--parity"), QStringLiteral("even"),
                           QStringLiteral("--stop"), QStringLiteral("2"), QStringLiteral("--address"),
                           QStringLiteral("7"), QStringLiteral("--log"), smallLogPath}),
             port);

    {
        Host h(master);
        h.transfer.setReplyTiming(150, 2);
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
    h.transfer.setReplyTiming(100, 2);
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

void tst_DevSim::busOnOneLine_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("address");     // the one the host reads
    QTest::addColumn<QString>("content"); // "small", "other", "demo" or "none"

    const QStringList threeShareAFile{"--address", "1-3", "--log", smallLogPath};
    QTest::newRow("1 of 1-3, one file") << threeShareAFile << 1 << QStringLiteral("small");
    QTest::newRow("3 of 1-3, one file") << threeShareAFile << 3 << QStringLiteral("small");
    QTest::newRow("4, nobody") << threeShareAFile << 4 << QStringLiteral("none");
    const QStringList ownFile{"--address", "1,5", "--log", smallLogPath, "--log", "5=" + otherLogPath};
    QTest::newRow("1 of 1,5, common file") << ownFile << 1 << QStringLiteral("small");
    QTest::newRow("5 of 1,5, its own file") << ownFile << 5 << QStringLiteral("other");
    const QStringList demoBeside{"--address", "2,4,9", "--log", "4=" + otherLogPath};
    QTest::newRow("2 of 2,4,9, demo") << demoBeside << 2 << QStringLiteral("demo");
    QTest::newRow("4 of 2,4,9, its own file") << demoBeside << 4 << QStringLiteral("other");
    QTest::newRow("9 of 2,4,9, demo") << demoBeside << 9 << QStringLiteral("demo");
    QTest::newRow("1, nobody") << demoBeside << 1 << QStringLiteral("none");
}

void tst_DevSim::busOnOneLine()
{
    QFETCH(QStringList, options);
    QFETCH(int, address);
    QFETCH(QString, content);

    Simulator simulator;
    QVERIFY(simulator.start(options + QStringList{QStringLiteral("--baud"), QStringLiteral("230400")}));
    Host h(simulator.fd);
    h.master.deviceAddress = std::uint8_t(address);
    if (content == QLatin1String("none")) {
        h.transfer.setReplyTiming(150, 2);
        QCOMPARE(h.readToRest(), Host::NoReply);
        QVERIFY(h.results.isEmpty()); // no other device spoke up either
        QVERIFY(simulator.stop());
        return;
    }

    DeviceLog expected;
    if (content == QLatin1String("demo"))
        expected = makeDemoLog(300, 0, std::uint8_t(address));
    else
        expected = parsedLog(content == QLatin1String("small") ? smallLog : otherLog).log;
    // The demo's last dozen positions are enough to tell two devices apart.
    h.resume = true;
    h.resumeAt = expected.span() > 12 ? expected.endIndex() - 12 : expected.firstIndex();
    QCOMPARE(h.readToRest(), Host::Done);

    QCOMPARE(h.idHash, expected.idHash());
    QCOMPARE(h.captionHash, expected.captionHash());
    QCOMPARE(h.captions.size(), expected.captions().size());
    QCOMPARE(h.rangeFirst, expected.firstIndex());
    QCOMPARE(h.rangeSpan, expected.span());
    QVERIFY(!h.records.isEmpty());
    for (const ReceivedRecord &record : h.records) {
        const DeviceLog::Record *stored = expected.recordAt(record.index);
        QVERIFY(stored);
        QCOMPARE(record.eventId, stored->eventId);
        QCOMPARE(record.type, stored->type);
        QCOMPARE(record.count, stored->count);
        QCOMPARE(record.data, stored->data);
        if (content != QLatin1String("demo")) // the demo is dated at start-up
            QCOMPARE(record.time, stored->time);
    }
    // Every frame that came back answered this host: no other device spoke.
    QCOMPARE(h.results.count(ReplyAccepted), h.results.size());
    QVERIFY(simulator.stop());
    // The summary names each device with its own content.
    const QString summary = QString::fromLocal8Bit(simulator.process.readAllStandardError());
    QVERIFY2(summary.contains(QStringLiteral("; %1: %2 captions, %3 records")
                                  .arg(address)
                                  .arg(expected.captions().size())
                                  .arg(expected.recordCount())),
             qPrintable(summary));
}

void tst_DevSim::tcpWholeLog_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("address");

    QTest::newRow("raw") << QStringList{"--tcp", "0", "--log", smallLogPath} << 1;
    QTest::newRow("raw, device 2 of 1,2")
        << QStringList{"--tcp", "127.0.0.1:0", "--address", "1,2", "--log", smallLogPath} << 2;
    QTest::newRow("mbap") << QStringList{"--tcp", "0", "--mbap", "--log", smallLogPath} << 1;
    QTest::newRow("mbap, unit 3 of 1-3") << QStringList{"--tcp", "0",     "--mbap",    "--address",
                                                        "1-3",   "--log", smallLogPath}
                                         << 3;
    QTest::newRow("mbap, demo log") << QStringList{"--tcp", "0", "--mbap"} << 1;
}

void tst_DevSim::tcpWholeLog()
{
    QFETCH(QStringList, options);
    QFETCH(int, address);

    Simulator simulator;
    QVERIFY(simulator.start(options + QStringList{QStringLiteral("--baud"), QStringLiteral("230400")}));
    QVERIFY2(simulator.path.startsWith(options.contains(QStringLiteral("--mbap")) ? QStringLiteral("mbtcp://127.0.0.1:")
                                                                                  : QStringLiteral("tcp://127.0.0.1:")),
             qPrintable(simulator.path));
    Host h(simulator.fd, simulator.isMbap());
    h.master.deviceAddress = std::uint8_t(address);
    QCOMPARE(h.readToRest(60000), Host::Done);

    const DeviceLog expected = options.contains(QStringLiteral("--log")) ? parsedSmallLog().log : makeDemoLog(300, 0);
    QCOMPARE(h.idHash, expected.idHash());
    QCOMPARE(h.captions.size(), expected.captions().size());
    QCOMPARE(h.rangeSpan, expected.span());
    QCOMPARE(h.records.size(), expected.recordCount());
    for (const ReceivedRecord &record : h.records) {
        const DeviceLog::Record *stored = expected.recordAt(record.index);
        QVERIFY(stored);
        QCOMPARE(record.eventId, stored->eventId);
        QCOMPARE(record.data, stored->data);
        QVERIFY(!hasErrorWords(renderMessage(h, record)));
    }
    // One request, one reply, all of them in order.
    QCOMPARE(h.requestsSent, h.results.size());
    QCOMPARE(h.results.count(ReplyAccepted), h.results.size());
    QVERIFY(h.otherTransactions.isEmpty());
    QVERIFY(simulator.stop());
}

void tst_DevSim::tcpListenAddress_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("urlStart");

    QTest::newRow("port 0") << QStringList{"--tcp", "0"} << QStringLiteral("tcp://127.0.0.1:");
    QTest::newRow("port 0, mbap") << QStringList{"--tcp", "0", "--mbap"} << QStringLiteral("mbtcp://127.0.0.1:");
    QTest::newRow("given host") << QStringList{"--tcp", "127.0.0.2:0"} << QStringLiteral("tcp://127.0.0.2:");
    QTest::newRow("IPv6") << QStringList{"--tcp", "[::1]:0", "--mbap"} << QStringLiteral("mbtcp://[::1]:");
}

void tst_DevSim::tcpListenAddress()
{
    QFETCH(QStringList, options);
    QFETCH(QString, urlStart);

    if (urlStart.contains(QLatin1String("[::1]"))) {
        const int probe = socket(AF_INET6, SOCK_STREAM, 0);
        sockaddr_in6 loopback{};
        loopback.sin6_family = AF_INET6;
        loopback.sin6_addr = in6addr_loopback;
        const bool ipv6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr *>(&loopback), sizeof loopback) == 0;
        if (probe >= 0)
            close(probe);
        if (!ipv6)
            QSKIP("this machine has no IPv6 loopback");
    }
    Simulator simulator;
    QVERIFY(simulator.start(options + QStringList{QStringLiteral("--log"), smallLogPath}));
    QVERIFY2(simulator.path.startsWith(urlStart), qPrintable(simulator.path));
    const int port = QUrl(simulator.path).port();
    QVERIFY2(port > 0, qPrintable(simulator.path));
    // The printed URL is where a client gets its answers.
    Host h(simulator.fd, simulator.isMbap());
    h.wantCaptions = false;
    QCOMPARE(h.readToRest(), Host::Done);
    QCOMPARE(h.records.size(), 5);
    QVERIFY(simulator.stop());
    QVERIFY(QString::fromLocal8Bit(simulator.process.readAllStandardError()).contains(simulator.path));
}

void tst_DevSim::tcpTransactionId()
{
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--mbap"),
                             QStringLiteral("--log"), smallLogPath, QStringLiteral("--first-index"),
                             QStringLiteral("100")}));
    // Three requests at once: to a unit nobody plays, a range and an unknown sub-function.
    const QByteArray requests = wrapMbap(0xBEEF, QByteArray::fromHex("094202"))
        + wrapMbap(0xCAFE, QByteArray::fromHex("014202")) + wrapMbap(0x0102, QByteArray::fromHex("014204"));
    QCOMPARE(write(simulator.fd, requests.constData(), std::size_t(requests.size())), ssize_t(requests.size()));

    QByteArray stream;
    QList<QByteArray> adus;
    const auto readAdus = [&] {
        char buffer[512];
        const ssize_t got = read(simulator.fd, buffer, sizeof buffer);
        if (got > 0)
            stream.append(buffer, int(got));
        for (QByteArray adu = takeMbapAdu(stream); !adu.isEmpty(); adu = takeMbapAdu(stream))
            adus.append(adu);
        return adus.size() >= 2;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readAdus(), 10000);
    // Unit 9 stayed silent; each answer carries its request's id and unit, and no CRC.
    QCOMPARE(adus.at(0).toHex(),
             QByteArray("cafe"
                        "0000"
                        "000b"
                        "01"
                        "4202"
                        "64000000"
                        "0a000000"));
    QCOMPARE(adus.at(1).toHex(),
             QByteArray("0102"
                        "0000"
                        "0003"
                        "01"
                        "c201"));
    QVERIFY(stream.isEmpty());
    QVERIFY(simulator.stop());
}

void tst_DevSim::tcpStaleReply()
{
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--mbap"),
                             QStringLiteral("--stale-reply"), QStringLiteral("--log"), smallLogPath}));
    QByteArray stream;
    QList<QByteArray> adus;
    const auto exchange = [&](const QByteArray &request, int replies) {
        adus.clear();
        if (write(simulator.fd, request.constData(), std::size_t(request.size())) != request.size())
            return false;
        QElapsedTimer clock;
        clock.start();
        while (adus.size() < replies && clock.elapsed() < 10000) {
            pollfd in{simulator.fd, POLLIN, 0};
            poll(&in, 1, 100);
            char buffer[512];
            const ssize_t got = read(simulator.fd, buffer, sizeof buffer);
            if (got > 0)
                stream.append(buffer, int(got));
            for (QByteArray adu = takeMbapAdu(stream); !adu.isEmpty(); adu = takeMbapAdu(stream))
                adus.append(adu);
        }
        return adus.size() == replies;
    };
    // The first request of a connection has no predecessor to answer late.
    QVERIFY(exchange(wrapMbap(1, QByteArray::fromHex("014202")), 1));
    QCOMPARE(be16At(adus.at(0), 0), std::uint16_t(1));
    const QByteArray rangeReply = adus.at(0).mid(2);
    QVERIFY(exchange(wrapMbap(2, QByteArray::fromHex("014200")), 2));
    QCOMPARE(be16At(adus.at(0), 0), std::uint16_t(1)); // the stale one first: the range again
    QCOMPARE(adus.at(0).mid(2), rangeReply);
    QCOMPARE(be16At(adus.at(1), 0), std::uint16_t(2));
    QCOMPARE(adus.at(1).mid(7, 2).toHex(), QByteArray("4200"));
    simulator.disconnectLine();

    // A client that ignores the stale answers reads the whole log as usual.
    QVERIFY(simulator.connectLine());
    Host h(simulator.fd, true);
    QCOMPARE(h.readToRest(), Host::Done);
    QCOMPARE(h.recordList(0), QStringLiteral("0:1 1:3 6:1 7:2 9:1"));
    QCOMPARE(h.requestsSent, 1 + 3 + 1 + 7); // none sent twice
    QCOMPARE(h.otherTransactions.size(), h.requestsSent - 1);
    for (int i = 0; i < h.otherTransactions.size(); ++i)
        QCOMPARE(h.otherTransactions.at(i), std::uint16_t(i + 1));
    QVERIFY(simulator.stop());
}

void tst_DevSim::tcpDisconnectAfter_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("raw") << QStringList{"--tcp", "0", "--disconnect-after", "4"};
    QTest::newRow("mbap") << QStringList{"--tcp", "0", "--mbap", "--disconnect-after", "4"};
}

void tst_DevSim::tcpDisconnectAfter()
{
    QFETCH(QStringList, options);

    Simulator simulator;
    QVERIFY(simulator.start(
        options
        + QStringList{QStringLiteral("--log"), smallLogPath, QStringLiteral("--baud"), QStringLiteral("230400")}));
    // Each connection is closed after its fourth reply; the client connects again
    // and goes on where it was, as a downloader resumes.
    Host h(simulator.fd, simulator.isMbap());
    h.transfer.setReplyTiming(200, 10);
    int connections = 1;
    Host::Outcome outcome;
    while ((outcome = h.readToRest()) == Host::Closed && connections < 10) {
        simulator.disconnectLine();
        QVERIFY(simulator.connectLine());
        h.fd = simulator.fd;
        h.closed = false;
        h.stream.clear();
        ++connections;
    }
    QCOMPARE(outcome, Host::Done);
    // Info and three captions; range and the records at 0, 1 and 4 (empty); those
    // at 5 (empty), 6, 7 and 9. Nothing read twice: the log did not change.
    QCOMPARE(connections, 3);
    QCOMPARE(h.captions.size(), 3);
    QCOMPARE(h.recordList(0), QStringLiteral("0:1 1:3 6:1 7:2 9:1"));
    QCOMPARE(h.results.size(), 12);
    QCOMPARE(h.results.count(ReplyAccepted), 12);
    QCOMPARE(simulator.process.state(), QProcess::Running);
    QVERIFY(simulator.stop());
}

void tst_DevSim::tcpConnectionsInTurn()
{
    Simulator simulator;
    QVERIFY(simulator.start({QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--log"), smallLogPath,
                             QStringLiteral("--first-index"), QStringLiteral("100")}));
    const int second = connectTo(simulator.path);
    QVERIFY(second >= 0);
    const QByteArray range = withCrc(QByteArray::fromHex("014202"));
    const QByteArray rangeReply = withCrc(QByteArray::fromHex("014202"
                                                              "64000000"
                                                              "0a000000"));
    const auto replyOn = [](int fd, QByteArray *received) {
        char buffer[512];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0)
            received->append(buffer, int(got));
        return !received->isEmpty();
    };

    // The second client asks first, but the first connection is served.
    QCOMPARE(write(second, range.constData(), std::size_t(range.size())), ssize_t(range.size()));
    QCOMPARE(write(simulator.fd, range.constData(), std::size_t(range.size())), ssize_t(range.size()));
    QByteArray first, later;
    QTRY_VERIFY_WITH_TIMEOUT(replyOn(simulator.fd, &first), 10000);
    QCOMPARE(first.toHex(), rangeReply.toHex());
    QVERIFY(!replyOn(second, &later));

    // Once the first has gone, the waiting client's request is answered.
    simulator.disconnectLine();
    QTRY_VERIFY_WITH_TIMEOUT(replyOn(second, &later), 10000);
    QCOMPARE(later.toHex(), rangeReply.toHex());
    close(second);
    QVERIFY(simulator.stop());
}

void tst_DevSim::badOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");

    QTest::newRow("address 0") << QStringList{"--address", "0"}
                               << QStringLiteral("--address wants a whole number from 1 to 255");
    QTest::newRow("parity") << QStringList{"--parity", "mark"} << QStringLiteral("--parity wants none, odd or even");
    QTest::newRow("drop above 100") << QStringList{"--drop", "101"}
                                    << QStringLiteral("--drop wants a whole number from 0 to 100");
    QTest::newRow("first index beyond 32 bits")
        << QStringList{"--first-index", "4294967296"}
        << QStringLiteral("--first-index wants a whole number from 0 to 4294967295");
    QTest::newRow("missing log") << QStringList{"--log", "/nonexistent/log.json"}
                                 << QStringLiteral("cannot read /nonexistent/log.json");
    QTest::newRow("missing port") << QStringList{"--port", "/nonexistent/tty"}
                                  << QStringLiteral("cannot open /nonexistent/tty");
    QTest::newRow("address list") << QStringList{"--address", "1,3-2"}
                                  << QStringLiteral("--address wants a whole number from 1 to 255");
    QTest::newRow("address twice") << QStringList{"--address", "1-3,3"}
                                   << QStringLiteral("--address names device 3 twice");
    QTest::newRow("log of nobody") << QStringList{"--address", "1,2", "--log", "3=/tmp/x.json"}
                                   << QStringLiteral("--log 3=/tmp/x.json: no device has address 3");
    QTest::newRow("two common logs") << QStringList{"--log", "/tmp/x.json", "--log", "/tmp/y.json"}
                                     << QStringLiteral("--log FILE is given twice");
    QTest::newRow("one device, two logs")
        << QStringList{"--address", "1,2", "--log", "2=/tmp/x.json", "--log", "2=/tmp/y.json"}
        << QStringLiteral("--log gives device 2 two files");
    QTest::newRow("missing own log") << QStringList{"--address", "1,2", "--log", "2=/nonexistent/log.json"}
                                     << QStringLiteral("cannot read /nonexistent/log.json");
    QTest::newRow("tcp port") << QStringList{"--tcp", "70000"} << QStringLiteral("--tcp wants [HOST:]PORT");
    QTest::newRow("tcp and port") << QStringList{"--tcp", "0", "--port", "/dev/null"}
                                  << QStringLiteral("--port and --tcp exclude each other");
    QTest::newRow("tcp host unknown") << QStringList{"--tcp", "no.such.host.invalid:0"}
                                      << QStringLiteral("cannot listen on no.such.host.invalid");
    QTest::newRow("mbap without tcp") << QStringList{"--mbap"} << QStringLiteral("--mbap needs --tcp");
    QTest::newRow("disconnect without tcp")
        << QStringList{"--disconnect-after", "3"} << QStringLiteral("--disconnect-after needs --tcp");
    QTest::newRow("disconnect after 0") << QStringList{"--tcp", "0", "--disconnect-after", "0"}
                                        << QStringLiteral("--disconnect-after wants a whole number from 1");
    QTest::newRow("stale without mbap") << QStringList{"--tcp", "0", "--stale-reply"}
                                        << QStringLiteral("--stale-reply needs --mbap");
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
