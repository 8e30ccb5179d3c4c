// Parsing and checking the command line of khronar-fetch.

#include "fetch/fetchoptions.h"

#include "fetch/exportonly.h"
#include "fetch/linesettings.h"
#include "link/comhalfduplexterminal.h"
#include "logaccess/mergedlogs.h"
#include "protocol/addresslist.h"
#include "serverstore/serverurl.h"

#include <QCommandLineParser>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

const QString AddressField = QStringLiteral("{address}");

bool optionError(FetchCommandLine &result, const QString &message)
{
    result.error = message;
    return false;
}

// `text` broken at blanks into lines of at most `width` characters, each after the
// first indented by `indent` blanks.
QString wrapped(const QString &text, int width, int indent)
{
    QStringList lines{QString()};
    for (const QString &word : text.split(QLatin1Char(' '))) {
        if (!lines.last().isEmpty() && lines.last().size() + 1 + word.size() > width)
            lines << QString();
        if (!lines.last().isEmpty())
            lines.last() += QLatin1Char(' ');
        lines.last() += word;
    }
    return lines.join(QLatin1Char('\n') + QString(indent, QLatin1Char(' ')));
}

bool takeLineOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    // Each setting given is taken, or the first one not allowed is said after its option.
    const auto take = [&](const char *name, auto parse, auto &value) {
        if (!parser.isSet(QLatin1String(name)))
            return true;
        const auto parsed = parse(parser.value(QLatin1String(name)));
        if (!parsed)
            return optionError(result, QStringLiteral("--%1 %2").arg(QLatin1String(name), parsed.error()));
        value = *parsed;
        return true;
    };
    return take("baud", parseBaudRate, options.baudRate) && take("parity", parseParity, options.parity)
        && take("stop", parseStopBits, options.stopBits);
}

// --db as a server URL, with --device and --lock-wait, which only a server takes.
bool takeServerOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    if (!isServerUrl(options.db)) {
        // A file path never has a scheme: another one is a mistyped URL.
        if (looksLikeUrl(options.db))
            return optionError(result, QStringLiteral("--db: ") + parseServerUrl(options.db).error);
        if (parser.isSet(QStringLiteral("device-like")))
            return optionError(result,
                               QStringLiteral("--device-like goes with a server URL (--db "
                                              "postgresql://HOST/DBNAME)"));
        if (parser.isSet(QStringLiteral("device")) || parser.isSet(QStringLiteral("lock-wait")))
            return optionError(result,
                               QStringLiteral("--device and --lock-wait go with a server URL (--db "
                                              "postgresql://HOST/DBNAME)"));
        return true;
    }
    const ServerUrlParse url = parseServerUrl(options.db);
    if (!url.error.isEmpty())
        return optionError(result, QStringLiteral("--db: ") + url.error);
    if (options.device.isEmpty() && options.deviceLike.isEmpty())
        return optionError(result, QStringLiteral("--device NAME is required with a server URL"));
    return true;
}

// Without --port, several --db files, or with a server several --device names or
// --device-like: the logs exported merged. Each device goes by its name, which must
// tell it from the others.
bool takeMergedExportOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    if (options.dbs.size() > 1) {
        for (const QString &db : options.dbs) {
            if (db.isEmpty())
                return optionError(result, QStringLiteral("--db is required"));
            if (isServerUrl(db) || looksLikeUrl(db))
                return optionError(result,
                                   QStringLiteral("--db is given several times for log files only; the devices "
                                                  "of a server are named by --device or --device-like"));
        }
    }
    if (parser.isSet(QStringLiteral("device-like"))) {
        if (options.deviceLike.isEmpty())
            return optionError(result, QStringLiteral("--device-like wants a pattern, such as \"ПС-12%\""));
        if (parser.isSet(QStringLiteral("device")))
            return optionError(result, QStringLiteral("--device and --device-like do not go together"));
    }
    if (options.devices.contains(QString()))
        return optionError(result, QStringLiteral("--device NAME is required with a server URL"));
    QHash<QString, QString> given; // device name -> what named it
    const bool server = fetchesToServer(options);
    for (const QString &what : server ? options.devices : options.dbs) {
        const QString name = server ? what : MergedLogs::deviceNameOfFile(what);
        const auto other = given.constFind(name);
        if (other != given.constEnd())
            return optionError(result,
                               server ? QStringLiteral("--device \"%1\" is given twice").arg(name)
                                      : QStringLiteral("--db \"%1\" and \"%2\" are both the device \"%3\" of a "
                                                       "merged export")
                                            .arg(*other, what, name));
        given.insert(name, what);
    }
    return true;
}

// What a run of any kind takes: --follow, --update-config, --quiet, --summary,
// --reconnect and --lock-wait.
bool takeRunOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    if (parser.isSet(QStringLiteral("update-config"))) {
        const QString text = parser.value(QStringLiteral("update-config"));
        if (text == QLatin1String("yes"))
            options.updateConfig = ConfigUpdate::Yes;
        else if (text == QLatin1String("no"))
            options.updateConfig = ConfigUpdate::No;
        else
            return optionError(result, QStringLiteral("--update-config wants yes or no, not \"%1\"").arg(text));
    }
    if (parser.isSet(QStringLiteral("summary"))) {
        const QString text = parser.value(QStringLiteral("summary"));
        if (text == QLatin1String("text"))
            options.summary = SummaryFormat::Text;
        else if (text == QLatin1String("json"))
            options.summary = SummaryFormat::Json;
        else
            return optionError(result, QStringLiteral("--summary wants text or json, not \"%1\"").arg(text));
    }
    for (const auto &[name, target] : {std::pair<const char *, int *>{"reconnect", &options.reconnectSeconds},
                                       {"lock-wait", &options.lockWaitSeconds}}) {
        if (!parser.isSet(QLatin1String(name)))
            continue;
        const QString text = parser.value(QLatin1String(name));
        bool ok = false;
        *target = text.toInt(&ok);
        if (!ok || *target < 0 || *target > 86400)
            return optionError(
                result, QStringLiteral("--%1 wants 0 to 86400 seconds, not \"%2\"").arg(QLatin1String(name), text));
    }
    options.follow = parser.isSet(QStringLiteral("follow"));
    options.quiet = parser.isSet(QStringLiteral("quiet"));
    return true;
}

// --config: the fleet file names the ports, the devices and where their logs go.
bool takeConfigOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    for (const char *name :
         {"port", "db", "device", "device-like", "baud", "parity", "stop", "address", "csv", "clear"}) {
        if (parser.isSet(QLatin1String(name)))
            return optionError(result,
                               QStringLiteral("--%1 does not go with --config: the fleet file names the "
                                              "ports, the devices and where their logs go")
                                   .arg(QLatin1String(name)));
    }
    if (exportFilterGiven(parser))
        return optionError(result,
                           QStringLiteral("--type, --from, --to, --grep and --regex filter an export of a "
                                          "log file without --port"));
    result.options.config = parser.value(QStringLiteral("config"));
    result.options.metricsFile = parser.value(QStringLiteral("metrics-file"));
    if (parser.isSet(QStringLiteral("metrics-file")) && result.options.metricsFile.isEmpty())
        return optionError(result, QStringLiteral("--metrics-file wants a file's path"));
    if (!takeRunOptions(parser, result))
        return false;
    if (result.options.summary == SummaryFormat::None)
        result.options.summary = SummaryFormat::Text;
    return true;
}

bool takeDeviceOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    if (parser.isSet(QStringLiteral("address"))) {
        std::string error;
        if (!parseAddressList(parser.value(QStringLiteral("address")).toStdString(), &options.addresses, &error))
            return optionError(result, QStringLiteral("--address ") + QString::fromStdString(error));
    }
    if (!takeRunOptions(parser, result))
        return false;
    options.port = parser.value(QStringLiteral("port"));
    options.db = parser.value(QStringLiteral("db"));
    options.device = parser.value(QStringLiteral("device"));
    options.csv = parser.value(QStringLiteral("csv"));
    options.clear = parser.isSet(QStringLiteral("clear"));

    if (options.port.isEmpty())
        return optionError(result, QStringLiteral("--port is required (--list-ports shows the ports)"));
    if (options.db.isEmpty())
        return optionError(result, QStringLiteral("--db is required"));
    // A download goes into one place; the last of several would silently win.
    if (parser.values(QStringLiteral("db")).size() > 1 || parser.values(QStringLiteral("device")).size() > 1
        || parser.isSet(QStringLiteral("device-like")))
        return optionError(result,
                           QStringLiteral("a download takes one --db (and one --device); several, or "
                                          "--device-like, are exported merged without --port"));
    if (!takeServerOptions(parser, result))
        return false;
    const bool server = fetchesToServer(options);
    if (options.addresses.size() > 1) {
        // Each device has its own log file, or its own name on the server: one for all
        // would mix their logs.
        if (server && !options.device.contains(AddressField))
            return optionError(result, QStringLiteral("--device must hold {address} when several devices are read"));
        if (!server && !options.db.contains(AddressField))
            return optionError(result, QStringLiteral("--db must hold {address} when several devices are read"));
        if (!options.csv.isEmpty() && !options.csv.contains(AddressField))
            return optionError(result, QStringLiteral("--csv must hold {address} when several devices are read"));
    }
    // A clear empties the device while it is followed; what it logs next could not be
    // told from what was read before.
    if (options.follow && options.clear)
        return optionError(result, QStringLiteral("--follow and --clear do not go together"));
    return true;
}

// Without --port only the log is exported: --db (with a server's URL, --device) and
// --csv, and nothing that needs a device.
bool takeExportOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    options.dbs = parser.values(QStringLiteral("db"));
    options.devices = parser.values(QStringLiteral("device"));
    options.deviceLike = parser.value(QStringLiteral("device-like"));
    options.db = options.dbs.value(0);
    options.device = options.devices.value(0);
    options.csv = parser.value(QStringLiteral("csv"));
    options.quiet = parser.isSet(QStringLiteral("quiet"));
    if (options.csv.isEmpty())
        return optionError(result,
                           QStringLiteral("--port is required (--list-ports shows the ports); without it, "
                                          "--db FILE --csv FILE exports a log file"));
    if (options.db.isEmpty())
        return optionError(result, QStringLiteral("--db is required"));
    // An export reads: it takes no device's lock.
    for (const char *name : {"baud", "parity", "stop", "address", "update-config", "follow", "clear", "lock-wait"}) {
        if (parser.isSet(QLatin1String(name)))
            return optionError(result, QStringLiteral("--%1 needs --port").arg(QLatin1String(name)));
    }
    if (!takeMergedExportOptions(parser, result) || !takeServerOptions(parser, result))
        return false;
    const SettingResult<LogFilter> filter = parseExportFilter(parser);
    if (!filter)
        return optionError(result, filter.error());
    options.filter = *filter;
    return true;
}

} // namespace

bool fetchesToServer(const FetchOptions &options)
{
    return isServerUrl(options.db);
}

bool exportsMerged(const FetchOptions &options)
{
    return options.dbs.size() > 1 || options.devices.size() > 1 || !options.deviceLike.isEmpty();
}

QString pathForAddress(const QString &pattern, std::uint8_t address)
{
    QString path = pattern;
    return path.replace(AddressField, QString::number(address));
}

FetchCommandLine parseFetchCommandLine(const QStringList &arguments)
{
    FetchCommandLine result;
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({
        {QStringLiteral("config"), QString(), QStringLiteral("FILE")},
        {QStringLiteral("summary"), QString(), QStringLiteral("FORMAT")},
        {QStringLiteral("metrics-file"), QString(), QStringLiteral("PATH")},
        {QStringLiteral("reconnect"), QString(), QStringLiteral("SECONDS")},
        {QStringLiteral("port"), QString(), QStringLiteral("PORT")},
        {QStringLiteral("db"), QString(), QStringLiteral("FILE")},
        {QStringLiteral("device"), QString(), QStringLiteral("NAME")},
        {QStringLiteral("device-like"), QString(), QStringLiteral("PATTERN")},
        {QStringLiteral("lock-wait"), QString(), QStringLiteral("SECONDS")},
        {QStringLiteral("baud"), QString(), QStringLiteral("RATE")},
        {QStringLiteral("parity"), QString(), QStringLiteral("PARITY")},
        {QStringLiteral("stop"), QString(), QStringLiteral("BITS")},
        {QStringLiteral("address"), QString(), QStringLiteral("LIST")},
        {QStringLiteral("update-config"), QString(), QStringLiteral("ANSWER")},
        {QStringLiteral("csv"), QString(), QStringLiteral("FILE")},
        {QStringLiteral("follow"), QString()},
        {QStringLiteral("clear"), QString()},
        {QStringLiteral("quiet"), QString()},
        {QStringLiteral("list-ports"), QString()},
        {QStringLiteral("help"), QString()},
        {QStringLiteral("version"), QString()},
    });
    for (const ExportFilterOption &option : ExportFilterOptions)
        parser.addOption(
            {QLatin1String(option.name), QString(), option.valueName ? QLatin1String(option.valueName) : QString()});
    // The parser wants the program name first.
    if (!parser.parse(QStringList{QStringLiteral("khronar-fetch")} + arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (!parser.positionalArguments().isEmpty()) {
        result.error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first());
        return result;
    }
    FetchOptions &options = result.options;
    options.help = parser.isSet(QStringLiteral("help"));
    options.version = parser.isSet(QStringLiteral("version"));
    options.listPorts = parser.isSet(QStringLiteral("list-ports"));
    if (options.help || options.version || options.listPorts)
        return result;
    if (parser.isSet(QStringLiteral("config"))) {
        takeConfigOptions(parser, result);
        return result;
    }
    if (parser.isSet(QStringLiteral("metrics-file"))) {
        result.error = QStringLiteral("--metrics-file goes with --config: the metrics are a fleet's");
        return result;
    }
    if (!parser.isSet(QStringLiteral("port"))) {
        takeExportOptions(parser, result);
        return result;
    }
    // The filters choose what the window would show; a download stores everything.
    if (exportFilterGiven(parser)) {
        result.error = QStringLiteral("--type, --from, --to, --grep and --regex filter an export of a log file "
                                      "without --port");
        return result;
    }
    if (takeLineOptions(parser, result))
        takeDeviceOptions(parser, result);
    return result;
}

QString fetchHelpText()
{
    return QStringLiteral("Usage: khronar-fetch --port PORT --db FILE [options]\n"
                          "       khronar-fetch --port PORT --db URL --device NAME [options]\n"
                          "       khronar-fetch --config FILE [--follow] [options]\n"
                          "       khronar-fetch --db FILE --csv FILE [--type LIST] [--from TIME] [--to TIME]\n"
                          "                     [--grep TEXT [--regex]]\n"
                          "       khronar-fetch --db URL --device NAME --csv FILE [--type LIST] ...\n"
                          "       khronar-fetch --db FILE --db FILE ... --csv FILE [--type LIST] ...\n"
                          "       khronar-fetch --db URL --device NAME --device NAME ... --csv FILE ...\n"
                          "       khronar-fetch --db URL --device-like PATTERN --csv FILE ...\n"
                          "\n"
                          "Downloads the event log of a device on a serial line (Modbus RTU) into a\n"
                          "Khronar log file, as the Khronar window does, at the pace of the line.\n"
                          "A new file is created; an existing one is continued after its newest record.\n"
                          "With a server URL the log goes into the server's khronar schema instead,\n"
                          "continued after the newest record stored there for the device's name.\n"
                          "With --config it reads a fleet: every line of a fleet file at once, each\n"
                          "with its devices in turn (see khronar-fetch(1)).\n"
                          "Without --port it only exports a log file, or a device's log on a server, to\n"
                          "CSV, as the window does, with the records its filter bar would show; no port\n"
                          "is opened. Several log files, or several devices of a server, are exported\n"
                          "merged on one time axis.\n"
                          "\n"
                          "Options:\n"
                          "  --port PORT            serial port: ttyUSB0, /dev/ttyS0, a full path; or a\n"
                          "                         gateway: tcp://HOST:PORT (RTU frames over TCP),\n"
                          "                         mbtcp://HOST:PORT[/UNIT] (Modbus TCP) (required\n"
                          "                         for a download)\n"
                          "  --db FILE              log file (.db) (required); with several addresses it\n"
                          "                         must hold {address}, e.g. site-{address}.db\n"
                          "  --db URL               or a central PostgreSQL database:\n"
                          "                         postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME\n"
                          "                         [?sslmode=...] (a password from PGPASSWORD or\n"
                          "                         ~/.pgpass is better than one in the URL)\n"
                          "  --device NAME          with a server URL: the device's name there (required;\n"
                          "                         with several addresses it must hold {address})\n"
                          "  --lock-wait SECONDS    with a server URL: how long to wait for a device that\n"
                          "                         another collector is reading (default 30)\n"
                          "  --baud RATE            %1\n"
                          "  --parity PARITY        none, odd or even (default even)\n"
                          "  --stop BITS            1 or 2 (default 1; 1.5 does not go with 8 data bits)\n"
                          "  --address LIST         device address 1 to 255, or a list such as 1,3,7-12\n"
                          "                         read in turn, each into its own file (default 1)\n"
                          "  --update-config ANSWER yes or no: whether a device's changed event set\n"
                          "                         replaces the file's (default: ask on a terminal,\n"
                          "                         answer no elsewhere, with a warning)\n"
                          "  --csv FILE             after the download, export the log to CSV as the\n"
                          "                         window does; holds {address} like --db (default none)\n"
                          "  --follow               stay on, ask once a second for new records until\n"
                          "                         interrupted; with one device, print each as a CSV\n"
                          "                         line on standard output; with several, go round them\n"
                          "                         and try one that fails again after a pause\n"
                          "  --reconnect SECONDS    how long a run that ends waits for a lost port to come\n"
                          "                         back before it gives up with exit code 3 (default\n"
                          "                         10); a run with --follow waits for as long as it takes\n"
                          "  --config FILE          read the lines and devices of a fleet file instead of\n"
                          "                         --port, --db and --address\n"
                          "  --summary FORMAT       text or json: at the end, one line or object per device\n"
                          "                         on standard output (default: text with --config)\n"
                          "  --metrics-file PATH    with --config: the fleet's metrics for Prometheus's\n"
                          "                         node exporter, rewritten every 10 s and at the end\n"
                          "  --clear                clear the device's log after a complete download\n"
                          "  --quiet                no progress line; only errors and warnings\n"
                          "  --list-ports           list the serial ports the window offers, and exit\n"
                          "  --help                 show this text, and exit\n"
                          "  --version              show the version, and exit\n"
                          "\n"
                          "Export without --port (--db FILE --csv FILE, or --db URL --device NAME\n"
                          "--csv FILE; the log is only read). --db FILE given several times, or with a\n"
                          "server URL --device NAME several times or --device-like, exports the logs\n"
                          "merged: each line starts with a field of the device's name (the file's name\n"
                          "without folder and extension, or its name on the server), then the three of\n"
                          "a single log's line; the lines are ordered by time, then by device name, then\n"
                          "in the device's own order (a device whose clock was set back keeps its own\n"
                          "order). One device gives the lines of its own export. The filters apply to\n"
                          "every device.\n"
                          "  --device-like PATTERN  with a server URL: every device whose name is LIKE\n"
                          "                         PATTERN (SQL: % any text, _ one character); none\n"
                          "                         that matches fails with exit code 6\n"
                          "  --type LIST            record types to keep: info, warning, error, change\n"
                          "                         (or 0 to 3), such as error,warning; info keeps the\n"
                          "                         records of unknown types too (default every type)\n"
                          "  --from TIME            records at TIME or later: 2024-03-15, 2024-03-15 13:45\n"
                          "                         or 2024-03-15 13:45:30, on the device's clock as the\n"
                          "                         window shows it (default no bound)\n"
                          "  --to TIME              records at TIME or earlier; a date alone keeps its whole\n"
                          "                         day (default no bound)\n"
                          "  --grep TEXT            records whose message holds TEXT, in any case\n"
                          "  --regex                TEXT is a regular expression (in any case)\n"
                          "\n"
                          "A progress line is shown on standard error when it is a terminal.\n"
                          "Ctrl+C (SIGINT) or SIGTERM stops between two exchanges; every record stored\n"
                          "stays stored, and the next run continues after it.\n"
                          "\n"
                          "Exit codes:\n"
                          "  0    every device read (and exported, cleared) completely\n"
                          "  2    usage: an unknown option or a value not allowed\n"
                          "  3    the port cannot be opened\n"
                          "  4    a device answered with an exception\n"
                          "  5    a device did not answer\n"
                          "  6    a log file or CSV file cannot be found, opened, read or written; the\n"
                          "       server cannot be reached, refuses the login, fails or goes away, or\n"
                          "       another collector holds the device longer than --lock-wait\n"
                          "  130  interrupted\n"
                          "With several addresses, every device is read in turn and the exit code is\n"
                          "that of the first device that failed; the lines of a fleet are read at the\n"
                          "same time, and its exit code is the highest of its devices'.\n")
        .arg(wrapped(baudRateList(QStringLiteral(" or ")) + QStringLiteral(" (default 19200)"), 55, 25));
}
