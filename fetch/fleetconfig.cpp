// Reading fleet files, with every error naming the file and line it is on.

#include "fetch/fleetconfig.h"

#include "fetch/exportonly.h"
#include "fetch/linesettings.h"
#include "protocol/addresslist.h"
#include "serverstore/serverurl.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

namespace {

const QString StoreSection = QStringLiteral("store");
const QString AlertsSection = QStringLiteral("alerts");
const QString DeviceField = QStringLiteral("{device}");
const QString AddressField = QStringLiteral("{address}");

// A line of the file without its comment: ';' or '#' at the start or after a blank
// (a URL's "#" or a path's ";" inside a word stays).
QString withoutComment(const QString &line)
{
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if ((c == QLatin1Char(';') || c == QLatin1Char('#')) && (i == 0 || line.at(i - 1).isSpace()))
            return line.left(i);
    }
    return line;
}

class Reader
{
public:
    explicit Reader(const QString &fileName) : fileName(fileName) {}

    bool read(const QByteArray &text);
    FleetConfig config;
    QString error;

private:
    bool fail(int line, const QString &message)
    {
        error = QStringLiteral("%1:%2: %3").arg(fileName).arg(line).arg(message);
        return false;
    }
    bool takeStoreKey(int line, const QString &key, const QString &value);
    bool takeAlertKey(int line, const QString &key, const QString &value);
    bool finishAlerts();
    bool takeLineKey(int line, FleetLine &target, const QString &key, const QString &value);
    bool takeDevices(int line, FleetLine &target, const QString &value);
    bool finishLine(const FleetLine &line);

    QString fileName;
    QHash<QString, int> deviceLines; // device name -> line of the file that named it
    QHash<QString, int> sectionLines;
    int storeLine = 0;
    int dbLine = 0;
};

bool Reader::read(const QByteArray &text)
{
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    bool inStore = false;
    bool inAlerts = false;
    FleetLine *current = nullptr;
    QStringList keysSeen;
    for (int n = 0; n < lines.size(); ++n) {
        const int lineNumber = n + 1;
        const QString line = withoutComment(lines.at(n)).trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')) || line.size() < 3)
                return fail(lineNumber, QStringLiteral("a section is written [NAME], not \"%1\"").arg(line));
            if (current && !finishLine(*current))
                return false;
            const QString name = line.mid(1, line.size() - 2).trimmed();
            if (sectionLines.contains(name))
                return fail(lineNumber,
                            QStringLiteral("section [%1] is there twice (first on line %2)")
                                .arg(name)
                                .arg(sectionLines.value(name)));
            sectionLines.insert(name, lineNumber);
            keysSeen.clear();
            inAlerts = name == AlertsSection;
            if (name == StoreSection) {
                inStore = true;
                current = nullptr;
                storeLine = lineNumber;
            } else if (inAlerts) {
                inStore = false;
                current = nullptr;
            } else {
                if (config.lines.size() == MaxFleetLines)
                    return fail(lineNumber, QStringLiteral("more than %1 lines in one file").arg(MaxFleetLines));
                inStore = false;
                config.lines.emplace_back();
                current = &config.lines.back();
                current->name = name;
                current->fileLine = lineNumber;
            }
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            return fail(lineNumber, QStringLiteral("a setting is written KEY=VALUE, not \"%1\"").arg(line));
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (!inStore && !inAlerts && !current)
            return fail(lineNumber, QStringLiteral("\"%1\" stands before any section").arg(key));
        if (keysSeen.contains(key))
            return fail(lineNumber, QStringLiteral("%1 is set twice in one section").arg(key));
        keysSeen << key;
        if (inAlerts) {
            if (!takeAlertKey(lineNumber, key, value))
                return false;
        } else if (inStore ? !takeStoreKey(lineNumber, key, value) : !takeLineKey(lineNumber, *current, key, value)) {
            return false;
        }
    }
    if (current && !finishLine(*current))
        return false;
    if (!finishAlerts())
        return false;
    if (storeLine == 0 || config.db.isEmpty())
        return fail(storeLine == 0 ? 1 : storeLine, QStringLiteral("no [store] with db=... where the logs go"));
    if (config.lines.empty())
        return fail(lines.size(),
                    QStringLiteral("no line: every section but [store] and [alerts] is a line with a port"));
    // One file for several devices would mix their logs.
    if (!isServerUrl(config.db) && !config.db.contains(DeviceField) && deviceLines.size() > 1)
        return fail(dbLine,
                    QStringLiteral("db must hold {device} when several devices are read, as in "
                                   "/var/lib/khronar/{device}.db"));
    return true;
}

bool Reader::takeStoreKey(int line, const QString &key, const QString &value)
{
    if (key != QLatin1String("db"))
        return fail(line, QStringLiteral("unknown key \"%1\" in [store] (it has db only)").arg(key));
    if (value.isEmpty())
        return fail(line, QStringLiteral("db is empty"));
    config.db = value;
    dbLine = line;
    return true;
}

bool Reader::takeLineKey(int line, FleetLine &target, const QString &key, const QString &value)
{
    // A setting is taken, or said not to be allowed after its key.
    const auto take = [&](auto parsed, auto &setting) {
        if (!parsed)
            return fail(line, key + QLatin1Char(' ') + parsed.error());
        setting = *parsed;
        return true;
    };
    if (key == QLatin1String("port")) {
        if (value.isEmpty())
            return fail(line, QStringLiteral("port is empty"));
        target.port = value;
    } else if (key == QLatin1String("baud")) {
        return take(parseBaudRate(value), target.baudRate);
    } else if (key == QLatin1String("parity")) {
        return take(parseParity(value), target.parity);
    } else if (key == QLatin1String("stop")) {
        return take(parseStopBits(value), target.stopBits);
    } else if (key == QLatin1String("devices")) {
        return takeDevices(line, target, value);
    } else {
        return fail(line,
                    QStringLiteral("unknown key \"%1\" (a line has port, baud, parity, stop and devices)").arg(key));
    }
    return true;
}

// "1=feeder-1, 2=feeder-2, 7-9=relay-{address}"
bool Reader::takeDevices(int line, FleetLine &target, const QString &value)
{
    bool taken[256] = {};
    for (const QString &item : value.split(QLatin1Char(','))) {
        const int equals = item.indexOf(QLatin1Char('='));
        const QString addresses = item.left(equals).trimmed();
        const QString name = item.mid(equals + 1).trimmed();
        if (equals < 0 || name.isEmpty())
            return fail(line,
                        QStringLiteral("a device is written ADDRESS=NAME or FIRST-LAST=NAME{address}, "
                                       "not \"%1\"")
                            .arg(item.trimmed()));
        std::vector<std::uint8_t> list;
        std::string error;
        if (addresses.contains(QLatin1Char(',')) || !parseAddressList(addresses.toStdString(), &list, &error))
            return fail(
                line,
                QStringLiteral("the address \"%1\" is no address 1 to 255 nor a range such as 7-9").arg(addresses));
        if (list.size() > 1 && !name.contains(AddressField))
            return fail(line,
                        QStringLiteral("the devices %1 would all be called \"%2\": put {address} in the "
                                       "name")
                            .arg(addresses, name));
        for (const std::uint8_t address : list) {
            if (taken[address])
                return fail(line, QStringLiteral("address %1 is given twice on this line").arg(address));
            taken[address] = true;
            FleetDevice device;
            device.address = address;
            device.name = QString(name).replace(AddressField, QString::number(address));
            if (deviceLines.contains(device.name))
                return fail(line,
                            QStringLiteral("two devices are called \"%1\" (the other on line %2)")
                                .arg(device.name)
                                .arg(deviceLines.value(device.name)));
            deviceLines.insert(device.name, line);
            target.devices.push_back(device);
        }
    }
    return true;
}

// "NAME.KEY=VALUE" for a rule, or "commands=N" for them all.
bool Reader::takeAlertKey(int line, const QString &key, const QString &value)
{
    if (key == QLatin1String("commands")) {
        bool ok = false;
        config.alertCommandsAtOnce = value.toInt(&ok);
        if (!ok || config.alertCommandsAtOnce < 1 || config.alertCommandsAtOnce > 64)
            return fail(line, QStringLiteral("commands wants 1 to 64 at once, not \"%1\"").arg(value));
        return true;
    }
    const int dot = key.lastIndexOf(QLatin1Char('.'));
    const QString name = key.left(dot);
    const QString field = key.mid(dot + 1);
    if (dot <= 0)
        return fail(line,
                    QStringLiteral("a rule's setting is written NAME.KEY=VALUE (or commands=N), not \"%1\"").arg(key));
    auto rule = std::find_if(config.alerts.begin(), config.alerts.end(),
                             [&name](const AlertRule &r) { return r.name == name; });
    if (rule == config.alerts.end()) {
        config.alerts.emplace_back();
        rule = config.alerts.end() - 1;
        rule->name = name;
        rule->fileLine = line;
    }
    if (field == QLatin1String("types")) {
        rule->types = 0;
        for (const QString &word : value.split(QLatin1Char(','))) {
            const int type = recordTypeByName(word);
            if (type < 0)
                return fail(line,
                            QStringLiteral("%1 wants info, warning, error or change (or 0 to 3), not \"%2\"")
                                .arg(key, word.trimmed()));
            rule->types |= 1u << type;
        }
    } else if (field == QLatin1String("message")) {
        rule->message = QRegularExpression(
            value, QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
        if (value.isEmpty() || !rule->message.isValid())
            return fail(line,
                        QStringLiteral("%1 is no regular expression: %2")
                            .arg(key, value.isEmpty() ? QStringLiteral("empty") : rule->message.errorString()));
    } else if (field == QLatin1String("journal")) {
        static const QStringList priorities = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};
        bool ok = false;
        rule->journalPriority = value.toInt(&ok);
        if (!ok)
            rule->journalPriority = priorities.indexOf(value == QLatin1String("error") ? QStringLiteral("err") : value);
        if (rule->journalPriority < 0 || rule->journalPriority > 7)
            return fail(line,
                        QStringLiteral("%1 wants a priority: emerg, alert, crit, err, warning, notice, info, "
                                       "debug (or 0 to 7), not \"%2\"")
                            .arg(key, value));
    } else if (field == QLatin1String("command")) {
        rule->command = QProcess::splitCommand(value);
        if (rule->command.isEmpty())
            return fail(line, QStringLiteral("%1 is empty").arg(key));
    } else if (field == QLatin1String("timeout")) {
        bool ok = false;
        rule->timeoutSeconds = value.toInt(&ok);
        if (!ok || rule->timeoutSeconds < 1 || rule->timeoutSeconds > 3600)
            return fail(line, QStringLiteral("%1 wants 1 to 3600 seconds, not \"%2\"").arg(key, value));
    } else if (field == QLatin1String("history")) {
        if (value != QLatin1String("yes") && value != QLatin1String("no"))
            return fail(line, QStringLiteral("%1 wants yes or no, not \"%2\"").arg(key, value));
        rule->history = value == QLatin1String("yes");
    } else {
        return fail(line,
                    QStringLiteral("unknown key \"%1\" (a rule has types, message, journal, command, "
                                   "timeout and history)")
                        .arg(key));
    }
    return true;
}

bool Reader::finishAlerts()
{
    for (const AlertRule &rule : config.alerts) {
        if (rule.types == 0 && rule.message.pattern().isEmpty())
            return fail(rule.fileLine,
                        QStringLiteral("rule %1 takes every record: give it types, a message, or both").arg(rule.name));
        if (rule.journalPriority < 0 && rule.command.isEmpty())
            return fail(
                rule.fileLine,
                QStringLiteral("rule %1 does nothing: give it a journal priority, a command, or both").arg(rule.name));
    }
    return true;
}

bool Reader::finishLine(const FleetLine &line)
{
    if (line.port.isEmpty())
        return fail(line.fileLine, QStringLiteral("line [%1] has no port").arg(line.name));
    if (line.devices.empty())
        return fail(line.fileLine, QStringLiteral("line [%1] has no devices").arg(line.name));
    return true;
}

} // namespace

FleetConfigResult parseFleetConfig(const QByteArray &text, const QString &fileName)
{
    Reader reader(fileName);
    FleetConfigResult result;
    if (reader.read(text))
        result.config = reader.config;
    else
        result.error = reader.error;
    return result;
}

FleetConfigResult readFleetConfig(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        FleetConfigResult result;
        result.error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return result;
    }
    return parseFleetConfig(file.readAll(), path);
}

QString pathForDevice(const QString &pattern, const QString &deviceName)
{
    return QString(pattern).replace(DeviceField, deviceName);
}
