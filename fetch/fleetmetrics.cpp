// The metrics file: what the supervisor knows of every line and device, as text.

#include "fetch/fleetmetrics.h"

#include <QFileDevice>
#include <QSaveFile>

namespace {

const char *const ReplyKindNames[ReplyKindCount] = {"accepted", "timeout", "crc_error", "exception", "unexpected"};

class MetricsWriter
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        text += "# HELP ";
        text += name;
        text += ' ';
        text += help;
        text += "\n# TYPE ";
        text += name;
        text += ' ';
        text += type;
        text += '\n';
    }
    // One sample; `labels` alternate names and (unescaped) values.
    void sample(const char *name, std::initializer_list<std::pair<const char *, QString>> labels, double value)
    {
        text += name;
        if (labels.size() != 0) {
            text += '{';
            bool first = true;
            for (const auto &label : labels) {
                if (!first)
                    text += ',';
                first = false;
                text += label.first;
                text += "=\"";
                text += escapeLabelValue(label.second).toUtf8();
                text += '"';
            }
            text += '}';
        }
        text += ' ';
        text += QByteArray::number(value, 'g', 17);
        text += '\n';
    }

    QByteArray text;
};

QString lineStateName(LineState state)
{
    switch (state) {
    case LineState::Up:
        return QStringLiteral("up");
    case LineState::Reconnecting:
        return QStringLiteral("reconnecting");
    case LineState::Failing:
        return QStringLiteral("failing");
    }
    return QString();
}

} // namespace

QString escapeLabelValue(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            escaped += QLatin1String("\\\\");
        else if (c == QLatin1Char('"'))
            escaped += QLatin1String("\\\"");
        else if (c == QLatin1Char('\n'))
            escaped += QLatin1String("\\n");
        else
            escaped += c;
    }
    return escaped;
}

QByteArray fleetMetricsText(const std::vector<LineStatus> &lines, double passSeconds)
{
    MetricsWriter out;
    const auto eachDevice = [&](const char *name, const auto &value) {
        for (const LineStatus &line : lines) {
            for (const DeviceStatus &device : line.devices) {
                const double number = value(device);
                if (number >= 0)
                    out.sample(
                        name,
                        {{"line", line.name}, {"device", device.name}, {"address", QString::number(device.address)}},
                        number);
            }
        }
    };
    out.family("khronar_device_records_stored_total", "counter",
               "Records of the device stored since the collector started.");
    eachDevice("khronar_device_records_stored_total", [](const DeviceStatus &d) { return double(d.recordsStored); });
    out.family("khronar_device_newest_record_timestamp_seconds", "gauge",
               "Time of the newest stored record of the device, its clock read as UTC, in Unix seconds.");
    eachDevice("khronar_device_newest_record_timestamp_seconds",
               [](const DeviceStatus &d) { return d.newestRecordTime < 0 ? -1.0 : double(d.newestRecordTime); });
    out.family("khronar_device_last_success_timestamp_seconds", "gauge",
               "When the device was last read up to its newest record, in Unix seconds.");
    eachDevice("khronar_device_last_success_timestamp_seconds",
               [](const DeviceStatus &d) { return d.lastSuccess < 0 ? -1.0 : double(d.lastSuccess); });
    out.family("khronar_device_failing", "gauge", "1 when the latest read of the device failed, else 0.");
    eachDevice("khronar_device_failing", [](const DeviceStatus &d) { return d.failing ? 1.0 : 0.0; });

    out.family("khronar_line_state", "gauge", "1 for the state the line is in (up, reconnecting, failing), else 0.");
    for (const LineStatus &line : lines) {
        for (const LineState state : {LineState::Up, LineState::Reconnecting, LineState::Failing})
            out.sample("khronar_line_state", {{"line", line.name}, {"state", lineStateName(state)}},
                       line.state == state ? 1 : 0);
    }
    out.family("khronar_line_reconnects_total", "counter", "Times the line's lost port was opened again.");
    for (const LineStatus &line : lines)
        out.sample("khronar_line_reconnects_total", {{"line", line.name}}, double(line.reconnects));
    out.family("khronar_line_replies_total", "counter",
               "Requests on the line by their outcome: accepted, timeout, crc_error, exception, unexpected.");
    for (const LineStatus &line : lines) {
        for (int kind = 0; kind < ReplyKindCount; ++kind)
            out.sample("khronar_line_replies_total",
                       {{"line", line.name}, {"result", QLatin1String(ReplyKindNames[kind])}},
                       double(line.replies[kind]));
    }
    if (passSeconds >= 0) {
        out.family("khronar_collect_pass_seconds", "gauge", "How long the last collection of the fleet took.");
        out.sample("khronar_collect_pass_seconds", {}, passSeconds);
    }
    return out.text;
}

bool replaceMetricsFile(const QString &path, const QByteArray &text, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    // The service's umask keeps its files from others; the exporter is another user.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    if (file.write(text) != text.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
