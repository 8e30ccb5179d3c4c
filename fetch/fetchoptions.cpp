// Parsing and checking the command line of khronar-fetch.

#include "fetch/fetchoptions.h"

#include "fetch/exportonly.h"
#include "ports/portsettings.h"
#include "serial/comhalfduplexterminal.h"

#include <QCommandLineParser>
#include <QSet>

#include <algorithm>

namespace {

const QString AddressField = QStringLiteral("{address}");

bool parseAddress(const QString &text, int *address)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < 1 || value > 255)
        return false;
    *address = value;
    return true;
}

bool optionError(FetchCommandLine &result, const QString &message)
{
    result.error = message;
    return false;
}

bool takeLineOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    if (parser.isSet(QStringLiteral("baud"))) {
        const QString text = parser.value(QStringLiteral("baud"));
        bool ok = false;
        const std::uint32_t rate = text.toUInt(&ok);
        if (!ok || std::find(std::begin(BaudRates), std::end(BaudRates), rate) == std::end(BaudRates))
            return optionError(result,
                               QStringLiteral("--baud wants one of 1200, 2400, 4800, 9600, 14400, 19200, "
                                              "28800, 38400, 57600, 115200, 230400, not \"%1\"")
                                   .arg(text));
        options.baudRate = rate;
    }
    if (parser.isSet(QStringLiteral("parity"))) {
        const QString text = parser.value(QStringLiteral("parity"));
        static const QStringList names = {QStringLiteral("none"), QStringLiteral("odd"), QStringLiteral("even")};
        const int index = names.indexOf(text);
        if (index < 0)
            return optionError(result, QStringLiteral("--parity wants none, odd or even, not \"%1\"").arg(text));
        options.parity = ParityCodes[index];
    }
    if (parser.isSet(QStringLiteral("stop"))) {
        const QString text = parser.value(QStringLiteral("stop"));
        if (text == QLatin1String("1.5"))
            return optionError(result,
                               QStringLiteral("--stop 1.5: one and a half stop bits do not go with 8 data "
                                              "bits"));
        if (text == QLatin1String("1"))
            options.stopBits = StopBitsCodes[0];
        else if (text == QLatin1String("2"))
            options.stopBits = StopBitsCodes[2];
        else
            return optionError(result, QStringLiteral("--stop wants 1 or 2, not \"%1\"").arg(text));
    }
    return true;
}

bool takeDeviceOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    if (parser.isSet(QStringLiteral("address"))) {
        QString error;
        if (!parseAddressList(parser.value(QStringLiteral("address")), &options.addresses, &error))
            return optionError(result, QStringLiteral("--address: ") + error);
    }
    if (parser.isSet(QStringLiteral("update-config"))) {
        const QString text = parser.value(QStringLiteral("update-config"));
        if (text == QLatin1String("yes"))
            options.updateConfig = ConfigUpdate::Yes;
        else if (text == QLatin1String("no"))
            options.updateConfig = ConfigUpdate::No;
        else
            return optionError(result, QStringLiteral("--update-config wants yes or no, not \"%1\"").arg(text));
    }
    options.port = parser.value(QStringLiteral("port"));
    options.db = parser.value(QStringLiteral("db"));
    options.csv = parser.value(QStringLiteral("csv"));
    options.follow = parser.isSet(QStringLiteral("follow"));
    options.clear = parser.isSet(QStringLiteral("clear"));
    options.quiet = parser.isSet(QStringLiteral("quiet"));

    if (options.port.isEmpty())
        return optionError(result, QStringLiteral("--port is required (--list-ports shows the ports)"));
    if (options.db.isEmpty())
        return optionError(result, QStringLiteral("--db is required"));
    if (options.addresses.size() > 1) {
        // Each device has its own log file: one file for all would mix their logs.
        if (!options.db.contains(AddressField))
            return optionError(result, QStringLiteral("--db must hold {address} when several devices are read"));
        if (!options.csv.isEmpty() && !options.csv.contains(AddressField))
            return optionError(result, QStringLiteral("--csv must hold {address} when several devices are read"));
        if (options.follow)
            return optionError(result, QStringLiteral("--follow reads one device only"));
    }
    // A clear empties the device while it is followed; what it logs next could not be
    // told from what was read before.
    if (options.follow && options.clear)
        return optionError(result, QStringLiteral("--follow and --clear do not go together"));
    return true;
}

// Without --port only the log file is exported: --db and --csv, and nothing that needs
// a device.
bool takeExportOptions(const QCommandLineParser &parser, FetchCommandLine &result)
{
    FetchOptions &options = result.options;
    options.db = parser.value(QStringLiteral("db"));
    options.csv = parser.value(QStringLiteral("csv"));
    options.quiet = parser.isSet(QStringLiteral("quiet"));
    if (options.csv.isEmpty())
        return optionError(result,
                           QStringLiteral("--port is required (--list-ports shows the ports); without it, "
                                          "--db FILE --csv FILE exports a log file"));
    if (options.db.isEmpty())
        return optionError(result, QStringLiteral("--db is required"));
    for (const char *name : {"baud", "parity", "stop", "address", "update-config", "follow", "clear"}) {
        if (parser.isSet(QLatin1String(name)))
            return optionError(result, QStringLiteral("--%1 needs --port").arg(QLatin1String(name)));
    }
    QString error;
    return parseExportFilter(parser, &options.filter, &error) || optionError(result, error);
}

} // namespace

bool parseAddressList(const QString &text, std::vector<std::uint8_t> *addresses, QString *error)
{
    std::vector<std::uint8_t> parsed;
    QSet<int> seen;
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString &item : items) {
        const QStringList bounds = item.split(QLatin1Char('-'));
        int low = 0, high = 0;
        const bool ok = bounds.size() == 1 ? parseAddress(bounds[0], &low) && parseAddress(bounds[0], &high)
            : bounds.size() == 2           ? parseAddress(bounds[0], &low) && parseAddress(bounds[1], &high)
                                           : false;
        if (!ok || low > high) {
            *error = QStringLiteral("\"%1\" is no address 1 to 255 nor a range such as 7-12").arg(item);
            return false;
        }
        for (int address = low; address <= high; ++address) {
            if (seen.contains(address)) {
                *error = QStringLiteral("address %1 is listed twice").arg(address);
                return false;
            }
            seen.insert(address);
            parsed.push_back(std::uint8_t(address));
        }
    }
    *addresses = parsed;
    return true;
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
        {QStringLiteral("port"), QString(), QStringLiteral("PORT")},
        {QStringLiteral("db"), QString(), QStringLiteral("FILE")},
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
                          "       khronar-fetch --db FILE --csv FILE [--type LIST] [--from TIME] [--to TIME]\n"
                          "                     [--grep TEXT [--regex]]\n"
                          "\n"
                          "Downloads the event log of a device on a serial line (Modbus RTU) into a\n"
                          "Khronar log file, as the Khronar window does, at the pace of the line.\n"
                          "A new file is created; an existing one is continued after its newest record.\n"
                          "Without --port it only exports a log file to CSV, as the window does, with\n"
                          "the records its filter bar would show; no port is opened.\n"
                          "\n"
                          "Options:\n"
                          "  --port PORT            serial port: ttyUSB0, /dev/ttyS0, a full path; or a\n"
                          "                         gateway: tcp://HOST:PORT (RTU frames over TCP),\n"
                          "                         mbtcp://HOST:PORT[/UNIT] (Modbus TCP) (required\n"
                          "                         for a download)\n"
                          "  --db FILE              log file (.db) (required); with several addresses it\n"
                          "                         must hold {address}, e.g. site-{address}.db\n"
                          "  --baud RATE            1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400,\n"
                          "                         57600, 115200 or 230400 (default 19200)\n"
                          "  --parity PARITY        none, odd or even (default even)\n"
                          "  --stop BITS            1 or 2 (default 1; 1.5 does not go with 8 data bits)\n"
                          "  --address LIST         device address 1 to 255, or a list such as 1,3,7-12\n"
                          "                         read in turn, each into its own file (default 1)\n"
                          "  --update-config ANSWER yes or no: whether a device's changed event set\n"
                          "                         replaces the file's (default: ask on a terminal,\n"
                          "                         answer no elsewhere, with a warning)\n"
                          "  --csv FILE             after the download, export the log to CSV as the\n"
                          "                         window does; holds {address} like --db (default none)\n"
                          "  --follow               stay on, ask once a second for new records and print\n"
                          "                         each as a CSV line on standard output until\n"
                          "                         interrupted (one device only)\n"
                          "  --clear                clear the device's log after a complete download\n"
                          "  --quiet                no progress line; only errors and warnings\n"
                          "  --list-ports           list the serial ports the window offers, and exit\n"
                          "  --help                 show this text, and exit\n"
                          "  --version              show the version, and exit\n"
                          "\n"
                          "Export without --port (--db FILE --csv FILE; the file is only read):\n"
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
                          "  6    a log file or CSV file cannot be found, opened, read or written\n"
                          "  130  interrupted\n"
                          "With several addresses, every device is read in turn and the exit code is\n"
                          "that of the first device that failed.\n");
}
