// khronar-fetch's runs: one line from the command line, or every line of a fleet file
// at once, each on a thread of its own.

#include "fetch/fetcher.h"

#include "fetch/alertdispatcher.h"
#include "fetch/console.h"
#include "fetch/exportonly.h"
#include "fetch/fleetconfig.h"
#include "fetch/fleetsupervisor.h"
#include "fetch/servicemanager.h"
#include "portlist/portlist.h"
#include "serverstore/serverurl.h"

#include "buildidentity.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <thread>

namespace {

void writeStandardError(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void writeStandardOutput(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

// Under systemd, with standard error connected to the journal, events go there with
// their fields; elsewhere (a terminal, a file, a pipe) nothing is sent.
JournalSender journalSender()
{
    if (!standardErrorIsJournal())
        return {};
    return [](const QString &message, const JournalFields &fields) { return sendToJournal(message, fields); };
}

// The result of a device in words.
QString resultText(const DeviceOutcome &outcome)
{
    return outcome.exitCode == ExitDone ? QStringLiteral("готово") : outcome.message;
}

// How often the metrics file is rewritten: every 10 s; KHRONAR_METRICS_INTERVAL_MS
// shortens it for the tests, which would otherwise wait that long for each rewrite.
std::chrono::milliseconds metricsInterval()
{
    bool ok = false;
    const int interval = qEnvironmentVariableIntValue("KHRONAR_METRICS_INTERVAL_MS", &ok);
    return std::chrono::milliseconds(ok && interval > 0 ? interval : 10000);
}

CollectorSettings settingsFor(const FetchOptions &options)
{
    CollectorSettings settings;
    settings.updateConfig = options.updateConfig;
    settings.follow = options.follow;
    settings.clear = options.clear;
    settings.reconnectSeconds = options.reconnectSeconds;
    settings.lockWaitSeconds = options.lockWaitSeconds;
    return settings;
}

// The command line's one line: --port with the devices --address lists.
int runLine(const FetchOptions &options, const std::atomic<bool> &stop)
{
    CollectorSettings settings = settingsFor(options);
    settings.port = options.port;
    settings.baudRate = options.baudRate;
    settings.parity = options.parity;
    settings.stopBits = options.stopBits;
    settings.canAsk = standardInputIsTerminal();
    settings.printFollowed = options.addresses.size() == 1;
    std::vector<CollectorDevice> devices;
    for (const std::uint8_t address : options.addresses) {
        CollectorDevice device;
        device.address = address;
        device.log = logLocationFor(options, address);
        if (!options.csv.isEmpty())
            device.csv = pathForAddress(options.csv, address);
        devices.push_back(device);
    }
    CollectorConsole console(standardErrorIsTerminal() && !options.quiet, journalSender());
    LineCollector line(settings, std::move(devices), stop, console);
    line.run();
    // The first device that failed speaks for the run, unless it was interrupted.
    int code = ExitDone;
    for (const DeviceOutcome &outcome : line.outcomes()) {
        if (outcome.exitCode == ExitInterrupted) {
            code = ExitInterrupted;
            break;
        }
        if (code == ExitDone)
            code = outcome.exitCode;
    }
    if (options.summary == SummaryFormat::Text)
        writeStandardOutput(textSummary(line.outcomes()));
    else if (options.summary == SummaryFormat::Json)
        writeStandardOutput(jsonSummary(line.outcomes()));
    return code;
}

// The text summary as journal entries, one per device with its line and name, so that
// `journalctl KHRONAR_DEVICE=NAME` finds its summaries too.
void journalSummary(const std::vector<DeviceOutcome> &outcomes)
{
    for (const DeviceOutcome &outcome : outcomes) {
        JournalFields fields;
        fields.priority = outcome.exitCode == ExitDone || outcome.exitCode == ExitInterrupted ? 6 : 4;
        fields.line = outcome.line;
        fields.device = outcome.name;
        const QString text = textSummary({outcome});
        if (!sendToJournal(text.trimmed(), fields))
            writeStandardOutput(text);
    }
}

// A fleet: every line of the file at once, one thread each.
int runFleet(const FetchOptions &options, const std::atomic<bool> &stop)
{
    const FleetConfigResult read = readFleetConfig(options.config);
    if (!read.error.isEmpty()) {
        writeStandardError(QStringLiteral("khronar-fetch: %1\n").arg(read.error));
        return ExitUsage;
    }
    const FleetConfig &fleet = read.config;
    const bool server = isServerUrl(fleet.db);
    CollectorConsole console(false, journalSender());
    std::unique_ptr<AlertDispatcher> alerts;
    if (!fleet.alerts.empty())
        alerts = std::make_unique<AlertDispatcher>(fleet.alerts, fleet.alertCommandsAtOnce, console);
    std::vector<std::unique_ptr<LineCollector>> lines;
    std::vector<std::unique_ptr<LineMonitor>> monitors;
    for (const FleetLine &line : fleet.lines) {
        std::vector<std::pair<std::uint8_t, QString>> names;
        for (const FleetDevice &fleetDevice : line.devices)
            names.emplace_back(fleetDevice.address, fleetDevice.name);
        monitors.push_back(std::make_unique<LineMonitor>(line.name, names));
        CollectorSettings settings = settingsFor(options);
        settings.monitor = monitors.back().get();
        settings.alerts = alerts.get();
        settings.lineName = line.name;
        settings.port = line.port;
        settings.baudRate = line.baudRate;
        settings.parity = line.parity;
        settings.stopBits = line.stopBits;
        // Nobody is there to answer, and a service goes on when a gateway is down.
        settings.canAsk = false;
        settings.retryFirstOpen = options.follow;
        std::vector<CollectorDevice> devices;
        for (const FleetDevice &fleetDevice : line.devices) {
            CollectorDevice device;
            device.address = fleetDevice.address;
            device.name = fleetDevice.name;
            device.log = server ? LogLocation::serverDevice(parseServerUrl(fleet.db).url, fleetDevice.name)
                                : LogLocation::file(pathForDevice(fleet.db, fleetDevice.name));
            devices.push_back(device);
        }
        lines.push_back(std::make_unique<LineCollector>(settings, std::move(devices), stop, console));
    }
    std::vector<int> codes(lines.size(), ExitDone);
    std::vector<std::function<void()>> runs;
    std::vector<const LineMonitor *> watched;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        runs.emplace_back([&lines, &codes, &monitors, i] {
            codes[i] = lines[i]->run();
            monitors[i]->finish();
        });
        watched.push_back(monitors[i].get());
    }
    SupervisorSettings supervision;
    supervision.watchdog = serviceWatchdogInterval();
    supervision.metricsFile = options.metricsFile;
    supervision.metricsInterval = metricsInterval();
    supervision.followed = options.follow;
    FleetSupervisor(supervision, watched, stop, console).run(runs);
    // A collection that ends runs the commands of its last records before it does.
    if (alerts)
        alerts->finish(stop.load());

    std::vector<DeviceOutcome> outcomes;
    int worst = ExitDone;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::vector<DeviceOutcome> &lineOutcomes = lines[i]->outcomes();
        outcomes.insert(outcomes.end(), lineOutcomes.begin(), lineOutcomes.end());
        worst = std::max(worst, codes[i]);
    }
    if (options.summary == SummaryFormat::Text && standardOutputIsJournal())
        journalSummary(outcomes);
    else
        writeStandardOutput(options.summary == SummaryFormat::Json ? jsonSummary(outcomes) : textSummary(outcomes));
    return worst;
}

} // namespace

QString textSummary(const std::vector<DeviceOutcome> &outcomes)
{
    QString text;
    for (const DeviceOutcome &outcome : outcomes) {
        const QString name = outcome.name.isEmpty() ? QStringLiteral("адрес %1").arg(outcome.address) : outcome.name;
        QString where = outcome.line.isEmpty() ? name : outcome.line + QLatin1Char('/') + name;
        text += QStringLiteral("%1\tновых записей %2\t%3 с\t%4\n")
                    .arg(where)
                    .arg(outcome.newRecords)
                    .arg(outcome.seconds, 0, 'f', 1)
                    .arg(resultText(outcome));
    }
    return text;
}

QString jsonSummary(const std::vector<DeviceOutcome> &outcomes)
{
    QJsonArray devices;
    for (const DeviceOutcome &outcome : outcomes) {
        QJsonObject device;
        if (!outcome.line.isEmpty())
            device.insert(QStringLiteral("line"), outcome.line);
        if (!outcome.name.isEmpty())
            device.insert(QStringLiteral("device"), outcome.name);
        device.insert(QStringLiteral("address"), outcome.address);
        device.insert(QStringLiteral("newRecords"), qint64(outcome.newRecords));
        device.insert(QStringLiteral("seconds"), qRound64(outcome.seconds * 1000) / 1000.0);
        device.insert(QStringLiteral("exitCode"), outcome.exitCode);
        device.insert(QStringLiteral("result"), resultText(outcome));
        devices.append(device);
    }
    return QString::fromUtf8(QJsonDocument(devices).toJson(QJsonDocument::Indented));
}

int fetchMain(const QStringList &arguments)
{
    const FetchCommandLine commandLine = parseFetchCommandLine(arguments);
    if (!commandLine.error.isEmpty()) {
        writeStandardError(QStringLiteral("khronar-fetch: %1\nTry 'khronar-fetch --help'.\n").arg(commandLine.error));
        return ExitUsage;
    }
    const FetchOptions &options = commandLine.options;
    if (options.help) {
        writeStandardOutput(fetchHelpText());
        return ExitDone;
    }
    if (options.version) {
        writeStandardOutput(
            QStringLiteral("khronar-fetch (%1) %2\n")
                .arg(QString::fromWCharArray(KHRONAR_PRODUCT_NAME), QString::fromWCharArray(KHRONAR_FILE_VERSION)));
        return ExitDone;
    }
    if (options.listPorts) {
        for (const QString &port : availablePortNames())
            writeStandardOutput(port + QLatin1Char('\n'));
        return ExitDone;
    }
    if (options.config.isEmpty() && options.port.isEmpty())
        return exportLogFile(options);

    static std::atomic<bool> stopRequested{false};
    routeStopSignals(&stopRequested);
    return options.config.isEmpty() ? runLine(options, stopRequested) : runFleet(options, stopRequested);
}
