// khronar-devsim: devices on a serial line or behind a TCP port that serve their
// event logs over Modbus function 0x42, with faults on demand, for tests and demos.

#include "protocol/addresslist.h"
#include "protocol/devicetime.h"
#include "tools/devsim/demolog.h"
#include "tools/devsim/devicebus.h"
#include "tools/devsim/devicelogjson.h"
#include "tools/devsim/devicesimulator.h"
#include "tools/devsim/optionparsing.h"
#include "tools/devsim/simulatorline.h"
#include "tools/devsim/simulatortcp.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMap>
#include <QRegularExpression>

#include <csignal>
#include <cstdio>

#include <sys/prctl.h>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

// Records in the demo log at start.
constexpr int DemoRecordCount = 300;

// The device clock runs on local time and knows no time zone.
std::uint32_t deviceNow()
{
    const QDateTime local = QDateTime::currentDateTime();
    const QDateTime asDeviceClock(local.date(), local.time(), Qt::UTC);
    return std::uint32_t(asDeviceClock.toSecsSinceEpoch() - DeviceEpochUnixSeconds);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "khronar-devsim: %s\n", qPrintable(message));
    return 2;
}

// A whole number within [low, high] from option `name`, or false after a message.
bool numberOption(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high, qint64 *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 parsed = parser.value(name).toLongLong(&ok);
    if (!ok || parsed < low || parsed > high) {
        fail(QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                 .arg(name)
                 .arg(low)
                 .arg(high)
                 .arg(parser.value(name)));
        return false;
    }
    *value = parsed;
    return true;
}

// The one-line summary: every device with its log, and where they are served.
QString summary(const DeviceBus &bus, const std::string &where)
{
    auto content = [](const DeviceLog &log) {
        return QStringLiteral("%1 captions, %2 records at %3..%4")
            .arg(log.captions().size())
            .arg(log.recordCount())
            .arg(log.firstIndex())
            .arg(log.endIndex());
    };
    const QVector<std::uint8_t> addresses = bus.addresses();
    if (addresses.size() == 1)
        return QStringLiteral("device %1 on %2, %3")
            .arg(addresses.first())
            .arg(QString::fromStdString(where), content(bus.device(addresses.first())->log()));
    QStringList numbers, devices;
    for (std::uint8_t address : addresses) {
        numbers << QString::number(address);
        devices << QStringLiteral("%1: %2").arg(address).arg(content(bus.device(address)->log()));
    }
    return QStringLiteral("devices %1 on %2; %3")
        .arg(numbers.join(QStringLiteral(", ")), QString::fromStdString(where), devices.join(QStringLiteral("; ")));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("khronar-devsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulated devices for Khronar: answer Modbus function 0x42 (event-log transfer)\n"
                       "on a new pseudo-terminal, whose path they print as the first line of their\n"
                       "output, on a given serial port, or on a TCP port, whose URL they print.\n"
                       "Several addresses play several devices on the same line. Runs until interrupted."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Serve on this serial device instead of a new pseudo-terminal."),
         QStringLiteral("PATH")},
        {QStringLiteral("tcp"),
         QStringLiteral("Listen on this TCP port instead (HOST defaults to 127.0.0.1; PORT 0 takes a free one)."),
         QStringLiteral("[HOST:]PORT")},
        {QStringLiteral("mbap"),
         QStringLiteral("With --tcp: speak Modbus TCP (MBAP header, no CRC) instead of RTU frames.")},
        {QStringLiteral("baud"), QStringLiteral("Baud rate, 1200 to 230400 (default 9600)."), QStringLiteral("RATE"),
         QStringLiteral("9600")},
        {QStringLiteral("parity"), QStringLiteral("none, odd or even (default none)."), QStringLiteral("PARITY"),
         QStringLiteral("none")},
        {QStringLiteral("stop"), QStringLiteral("Stop bits, 1 or 2 (default 1)."), QStringLiteral("BITS"),
         QStringLiteral("1")},
        {QStringLiteral("address"),
         QStringLiteral("Device address 1 to 255, or a list of devices such as 1,3,7-9 (default 1)."),
         QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("log"),
         QStringLiteral("Captions and records from this JSON file instead of the demo content; ADDR=FILE for one "
                        "device only. Repeatable."),
         QStringLiteral("[ADDR=]FILE")},
        {QStringLiteral("first-index"), QStringLiteral("Index of the oldest position, 0 to 4294967295."),
         QStringLiteral("N")},
        {QStringLiteral("append-every"), QStringLiteral("Append a record every SECONDS."), QStringLiteral("SECONDS")},
        {QStringLiteral("capacity"), QStringLiteral("Keep at most N records; the oldest go first."),
         QStringLiteral("N")},
        {QStringLiteral("exception"), QStringLiteral("Answer every request with exception CODE (1 to 255)."),
         QStringLiteral("CODE")},
        {QStringLiteral("silent"), QStringLiteral("Never answer.")},
        {QStringLiteral("drop"), QStringLiteral("Lose this share of the replies."), QStringLiteral("PERCENT")},
        {QStringLiteral("corrupt"), QStringLiteral("Flip one bit in this share of the replies."),
         QStringLiteral("PERCENT")},
        {QStringLiteral("busy"), QStringLiteral("Answer the first N requests with exception 6 (busy)."),
         QStringLiteral("N")},
        {QStringLiteral("delay"), QStringLiteral("Wait MS more before each reply."), QStringLiteral("MS")},
        {QStringLiteral("line-timing"),
         QStringLiteral("Take a real line's time at --baud, --parity and --stop: a request ends 3.5 characters "
                        "after its last byte would have come off the wire, and each reply is held until its own "
                        "last byte would have (--delay adds to it).")},
        {QStringLiteral("disconnect-after"), QStringLiteral("With --tcp: close each connection after N replies."),
         QStringLiteral("N")},
        {QStringLiteral("stale-reply"),
         QStringLiteral("With --mbap: send the previous request's reply again before each reply.")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the --drop and --corrupt dice (default 1)."),
         QStringLiteral("N")},
        {QStringLiteral("verbose"), QStringLiteral("Print each request and reply in hex on standard error.")},
    });
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    SimulatorOptions options;
    LineSettings line;
    ServeSettings serve;
    qint64 baud = 9600, stopBits = 1, firstIndex = 0, appendEvery = 0, capacity = 0, exceptionCode = 0, drop = 0,
           corrupt = 0, busy = 0, delay = 0, disconnectAfter = 0, seed = 1;
    if (!numberOption(parser, QStringLiteral("baud"), 1200, 230400, &baud)
        || !numberOption(parser, QStringLiteral("stop"), 1, 2, &stopBits)
        || !numberOption(parser, QStringLiteral("first-index"), 0, 0xFFFFFFFFLL, &firstIndex)
        || !numberOption(parser, QStringLiteral("append-every"), 1, 86400, &appendEvery)
        || !numberOption(parser, QStringLiteral("capacity"), 1, 0x7FFFFFFF, &capacity)
        || !numberOption(parser, QStringLiteral("exception"), 1, 255, &exceptionCode)
        || !numberOption(parser, QStringLiteral("drop"), 0, 100, &drop)
        || !numberOption(parser, QStringLiteral("corrupt"), 0, 100, &corrupt)
        || !numberOption(parser, QStringLiteral("busy"), 0, 0x7FFFFFFF, &busy)
        || !numberOption(parser, QStringLiteral("delay"), 0, 600000, &delay)
        || !numberOption(parser, QStringLiteral("disconnect-after"), 1, 0x7FFFFFFF, &disconnectAfter)
        || !numberOption(parser, QStringLiteral("seed"), 0, 0xFFFFFFFFLL, &seed))
        return 2;
    const QString parity = parser.value(QStringLiteral("parity"));
    if (parity == QLatin1String("none"))
        line.parity = 'N';
    else if (parity == QLatin1String("odd"))
        line.parity = 'O';
    else if (parity == QLatin1String("even"))
        line.parity = 'E';
    else
        return fail(QStringLiteral("--parity wants none, odd or even, not \"%1\"").arg(parity));
    std::vector<std::uint8_t> addresses;
    std::string addressError;
    if (!parseAddressList(parser.value(QStringLiteral("address")).toStdString(), &addresses, &addressError))
        return fail(QStringLiteral("--address ") + QString::fromStdString(addressError));
    QString error;

    const bool tcp = parser.isSet(QStringLiteral("tcp"));
    QString host;
    std::uint16_t tcpPort = 0;
    if (tcp && parser.isSet(QStringLiteral("port")))
        return fail(QStringLiteral("--port and --tcp exclude each other"));
    if (tcp && !parseListenAddress(parser.value(QStringLiteral("tcp")), &host, &tcpPort, &error))
        return fail(QStringLiteral("--tcp ") + error);
    for (const char *option : {"mbap", "disconnect-after"}) {
        if (!tcp && parser.isSet(QString::fromLatin1(option)))
            return fail(QStringLiteral("--%1 needs --tcp").arg(QString::fromLatin1(option)));
    }
    if (parser.isSet(QStringLiteral("stale-reply")) && !parser.isSet(QStringLiteral("mbap")))
        return fail(QStringLiteral("--stale-reply needs --mbap"));

    line.baud = std::uint32_t(baud);
    line.stopBits = int(stopBits);
    options.exceptionCode = std::uint8_t(exceptionCode);
    options.silent = parser.isSet(QStringLiteral("silent"));
    options.dropPercent = int(drop);
    options.corruptPercent = int(corrupt);
    options.busyRequests = int(busy);
    options.capacity = int(capacity);
    options.seed = std::uint32_t(seed);
    serve.delayMs = int(delay);
    if (parser.isSet(QStringLiteral("line-timing"))) {
        serve.lineTiming = line.timing();
        // A reply is due to the microsecond; the default timer slack of 50 us would
        // make every one late by as much.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    serve.appendEverySeconds = int(appendEvery);
    serve.verbose = parser.isSet(QStringLiteral("verbose"));
    serve.deviceClock = deviceNow;
    serve.mbap = parser.isSet(QStringLiteral("mbap"));
    serve.disconnectAfter = int(disconnectAfter);
    serve.staleReply = parser.isSet(QStringLiteral("stale-reply"));
    // No CRC guards a Modbus TCP reply; a flipped bit must show as wrong content.
    options.corruptPduOnly = serve.mbap;

    // --log FILE for every device, --log ADDR=FILE for one. A path that itself looks
    // like "7=x.json" is given as "./7=x.json".
    QString commonLog;
    QMap<std::uint8_t, QString> ownLogs;
    static const QRegularExpression addressed(QStringLiteral("^(\\d+)=(.+)$"));
    for (const QString &value : parser.values(QStringLiteral("log"))) {
        const QRegularExpressionMatch match = addressed.match(value);
        if (!match.hasMatch()) {
            if (!commonLog.isEmpty())
                return fail(QStringLiteral("--log FILE is given twice; use ADDR=FILE for one device's own file"));
            commonLog = value;
            continue;
        }
        const int address = match.captured(1).toInt();
        if (address > 255 || std::find(addresses.begin(), addresses.end(), std::uint8_t(address)) == addresses.end())
            return fail(QStringLiteral("--log %1: no device has address %2").arg(value, match.captured(1)));
        if (ownLogs.contains(std::uint8_t(address)))
            return fail(QStringLiteral("--log gives device %1 two files").arg(address));
        ownLogs.insert(std::uint8_t(address), match.captured(2));
    }

    QMap<QString, DeviceLogFile> files;
    const QStringList paths = QStringList(ownLogs.values()) << commonLog;
    for (const QString &path : paths) {
        if (path.isEmpty() || files.contains(path))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        DeviceLogFile content;
        if (!parseDeviceLogJson(file.readAll(), &content, &error))
            return fail(QStringLiteral("%1: %2").arg(path, error));
        if (content.records.isEmpty() && appendEvery > 0)
            std::fprintf(stderr, "khronar-devsim: %s has no records to repeat; nothing is appended\n",
                         qPrintable(path));
        files.insert(path, content);
    }

    DeviceBus bus;
    const std::uint32_t startTime = deviceNow();
    for (std::uint8_t address : addresses) {
        DeviceLog log;
        DeviceSimulator::RecordSource source;
        const QString path = ownLogs.value(address, commonLog);
        if (!path.isEmpty()) {
            const DeviceLogFile &content = files[path];
            log = content.log;
            // A file's records come round again when the log grows live.
            const QVector<DeviceLog::Record> records = content.records;
            if (!records.isEmpty())
                source = [records](std::uint32_t n) { return records.at(int(n % std::uint32_t(records.size()))); };
        } else {
            log = makeDemoLog(DemoRecordCount, startTime, address);
            source = [address](std::uint32_t n) { return demoRecord(DemoRecordCount + n, address); };
        }
        if (parser.isSet(QStringLiteral("first-index")))
            log.moveTo(std::uint32_t(firstIndex));
        options.address = address;
        bus.addDevice(DeviceSimulator(log, options, source));
    }

    SimulatorLine simulatorLine;
    SimulatorTcp server;
    std::string where;
    std::string openError;
    if (tcp) {
        if (!server.listen(host.toStdString(), tcpPort, line, &openError))
            return fail(QString::fromStdString(openError));
        where = (serve.mbap ? "mbtcp://" : "tcp://") + server.address();
    } else {
        const bool opened = parser.isSet(QStringLiteral("port"))
            ? simulatorLine.openPort((where = parser.value(QStringLiteral("port")).toStdString()), line, &openError)
            : simulatorLine.openPseudoTerminal(line, &where, &openError);
        if (!opened)
            return fail(QString::fromStdString(openError));
    }

    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // The first line of the output is the line's path or the server's URL, for
    // scripts that start us.
    std::printf("%s\n", where.c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "khronar-devsim: %s\n", qPrintable(summary(bus, where)));
    return tcp ? server.serve(bus, serve, &stopRequested) : simulatorLine.serve(bus, serve, &stopRequested);
}
