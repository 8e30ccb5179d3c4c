// khronar-devsim: a device on a serial line that serves its event log over Modbus RTU
// function 0x42, with faults on demand, for tests and demonstrations.

#include "tools/devsim/demolog.h"
#include "tools/devsim/devicelogjson.h"
#include "tools/devsim/devicesimulator.h"
#include "tools/devsim/simulatorline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include <csignal>
#include <cstdio>

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
    return std::uint32_t(asDeviceClock.toSecsSinceEpoch() - 946684800);
}

int fail(const QString &message)
{
    std::fprintf(stderr, "khronar-devsim: %s\n", qPrintable(message));
    return 2;
}

// A whole number within [low, high] from option `name`, or false after a message.
bool numberOption(const QCommandLineParser &parser, const QString &name, qint64 low, qint64 high,
                  qint64 *value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qint64 parsed = parser.value(name).toLongLong(&ok);
    if (!ok || parsed < low || parsed > high) {
        fail(QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                 .arg(name).arg(low).arg(high).arg(parser.value(name)));
        return false;
    }
    *value = parsed;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("khronar-devsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated device for Khronar: answers Modbus RTU function 0x42 (event-log\n"
        "transfer) on a new pseudo-terminal, whose path it prints as the first line of\n"
        "its output, or on a given serial port. Runs until interrupted."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Serve on this serial device instead of a new pseudo-terminal."), QStringLiteral("PATH")},
        {QStringLiteral("baud"), QStringLiteral("Baud rate, 1200 to 230400 (default 9600)."), QStringLiteral("RATE"), QStringLiteral("9600")},
        {QStringLiteral("parity"), QStringLiteral("none, odd or even (default none)."), QStringLiteral("PARITY"), QStringLiteral("none")},
        {QStringLiteral("stop"), QStringLiteral("Stop bits, 1 or 2 (default 1)."), QStringLiteral("BITS"), QStringLiteral("1")},
        {QStringLiteral("address"), QStringLiteral("Device address, 1 to 255 (default 1)."), QStringLiteral("N"), QStringLiteral("1")},
        {QStringLiteral("log"), QStringLiteral("Captions and records from this JSON file instead of the demo content."), QStringLiteral("FILE")},
        {QStringLiteral("first-index"), QStringLiteral("Index of the oldest position, 0 to 4294967295."), QStringLiteral("N")},
        {QStringLiteral("append-every"), QStringLiteral("Append a record every SECONDS."), QStringLiteral("SECONDS")},
        {QStringLiteral("capacity"), QStringLiteral("Keep at most N records; the oldest go first."), QStringLiteral("N")},
        {QStringLiteral("exception"), QStringLiteral("Answer every request with exception CODE (1 to 255)."), QStringLiteral("CODE")},
        {QStringLiteral("silent"), QStringLiteral("Never answer.")},
        {QStringLiteral("drop"), QStringLiteral("Lose this share of the replies."), QStringLiteral("PERCENT")},
        {QStringLiteral("corrupt"), QStringLiteral("Flip one bit in this share of the replies."), QStringLiteral("PERCENT")},
        {QStringLiteral("busy"), QStringLiteral("Answer the first N requests with exception 6 (busy)."), QStringLiteral("N")},
        {QStringLiteral("delay"), QStringLiteral("Wait MS more before each reply."), QStringLiteral("MS")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the --drop and --corrupt dice (default 1)."), QStringLiteral("N")},
        {QStringLiteral("verbose"), QStringLiteral("Print each request and reply in hex on standard error.")},
    });
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    SimulatorOptions options;
    LineSettings line;
    ServeSettings serve;
    qint64 baud = 9600, stopBits = 1, address = 1, firstIndex = 0, appendEvery = 0, capacity = 0,
           exceptionCode = 0, drop = 0, corrupt = 0, busy = 0, delay = 0, seed = 1;
    if (!numberOption(parser, QStringLiteral("baud"), 1200, 230400, &baud)
        || !numberOption(parser, QStringLiteral("stop"), 1, 2, &stopBits)
        || !numberOption(parser, QStringLiteral("address"), 1, 255, &address)
        || !numberOption(parser, QStringLiteral("first-index"), 0, 0xFFFFFFFFLL, &firstIndex)
        || !numberOption(parser, QStringLiteral("append-every"), 1, 86400, &appendEvery)
        || !numberOption(parser, QStringLiteral("capacity"), 1, 0x7FFFFFFF, &capacity)
        || !numberOption(parser, QStringLiteral("exception"), 1, 255, &exceptionCode)
        || !numberOption(parser, QStringLiteral("drop"), 0, 100, &drop)
        || !numberOption(parser, QStringLiteral("corrupt"), 0, 100, &corrupt)
        || !numberOption(parser, QStringLiteral("busy"), 0, 0x7FFFFFFF, &busy)
        || !numberOption(parser, QStringLiteral("delay"), 0, 600000, &delay)
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
    line.baud = std::uint32_t(baud);
    line.stopBits = int(stopBits);
    options.address = std::uint8_t(address);
    options.exceptionCode = std::uint8_t(exceptionCode);
    options.silent = parser.isSet(QStringLiteral("silent"));
    options.dropPercent = int(drop);
    options.corruptPercent = int(corrupt);
    options.busyRequests = int(busy);
    options.capacity = int(capacity);
    options.seed = std::uint32_t(seed);
    serve.delayMs = int(delay);
    serve.appendEverySeconds = int(appendEvery);
    serve.verbose = parser.isSet(QStringLiteral("verbose"));
    serve.deviceClock = deviceNow;

    DeviceLog log;
    DeviceSimulator::RecordSource source;
    if (parser.isSet(QStringLiteral("log"))) {
        const QString path = parser.value(QStringLiteral("log"));
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        DeviceLogFile content;
        QString error;
        if (!parseDeviceLogJson(file.readAll(), &content, &error))
            return fail(QStringLiteral("%1: %2").arg(path, error));
        log = content.log;
        // A file's records come round again when the log grows live.
        const QVector<DeviceLog::Record> records = content.records;
        if (!records.isEmpty())
            source = [records](std::uint32_t n) { return records.at(int(n % std::uint32_t(records.size()))); };
        else if (appendEvery > 0)
            std::fprintf(stderr, "khronar-devsim: the log file has no records to repeat; nothing is appended\n");
    } else {
        log = makeDemoLog(DemoRecordCount, deviceNow());
        source = [](std::uint32_t n) { return demoRecord(DemoRecordCount + n); };
    }
    if (parser.isSet(QStringLiteral("first-index")))
        log.moveTo(std::uint32_t(firstIndex));

    SimulatorLine simulatorLine;
    std::string linePath;
    std::string error;
    const bool opened = parser.isSet(QStringLiteral("port"))
        ? simulatorLine.openPort((linePath = parser.value(QStringLiteral("port")).toStdString()), line, &error)
        : simulatorLine.openPseudoTerminal(line, &linePath, &error);
    if (!opened)
        return fail(QString::fromStdString(error));

    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    DeviceSimulator simulator(log, options, source);
    // The first line of the output is the line's path, for scripts that start us.
    std::printf("%s\n", linePath.c_str());
    std::fflush(stdout);
    const DeviceLog &served = simulator.log();
    std::fprintf(stderr, "khronar-devsim: device %d on %s, %d captions, %d records at %u..%u\n",
                 int(address), linePath.c_str(), served.captions().size(), served.recordCount(),
                 unsigned(served.firstIndex()), unsigned(served.endIndex()));
    return simulatorLine.serve(simulator, serve, &stopRequested);
}
