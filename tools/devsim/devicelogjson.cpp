// The simulator's JSON log format:
//   { "firstIndex": 100,
//     "captions": [ { "event": 10, "text": "Канал #u: #`Норма``Авария`e" } ],
//     "records":  [ { "event": 10, "type": 2, "time": "2024-03-15 13:45:30",
//                     "data": "02 01", "count": 1, "gap": 0 } ] }

#include "tools/devsim/devicelogjson.h"

#include "protocol/devicetime.h"
#include "tools/devsim/windows1251.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QSet>

#include <cmath>

namespace {

// Unix seconds of 2000-01-01 00:00:00, where device time starts.

struct Reader {
    QString *error;

    bool fail(const QString &where, const QString &what)
    {
        *error = where + QStringLiteral(": ") + what;
        return false;
    }

    bool onlyKeys(const QJsonObject &object, const QString &where, const QStringList &known)
    {
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!known.contains(it.key()))
                return fail(where, QStringLiteral("unknown key \"%1\"").arg(it.key()));
        }
        return true;
    }

    // A whole number in [low, high]; `fallback` when the key is absent.
    bool number(const QJsonObject &object, const QString &key, const QString &where, double low, double high,
                double fallback, double *out)
    {
        const QJsonValue value = object.value(key);
        if (value.isUndefined()) {
            *out = fallback;
            return true;
        }
        const double n = value.toDouble(std::nan(""));
        if (!value.isDouble() || n != std::floor(n) || n < low || n > high)
            return fail(where.isEmpty() ? key : where + '.' + key,
                        QStringLiteral("expected a whole number from %1 to %2").arg(qint64(low)).arg(qint64(high)));
        *out = n;
        return true;
    }

    bool deviceTime(const QJsonValue &value, const QString &where, std::uint32_t *out)
    {
        if (value.isUndefined()) {
            *out = 0;
            return true;
        }
        if (value.isDouble()) {
            const double n = value.toDouble();
            if (n != std::floor(n) || n < 0 || n > 4294967295.0)
                return fail(where, QStringLiteral("expected a whole number from 0 to 4294967295"));
            *out = std::uint32_t(n);
            return true;
        }
        // The device clock has no time zone: the text is read as it stands.
        QString text = value.toString();
        text.replace(' ', 'T');
        QDateTime parsed = QDateTime::fromString(text, Qt::ISODate);
        if (!value.isString() || !parsed.isValid())
            return fail(where, QStringLiteral("expected seconds since 2000 or \"YYYY-MM-DD HH:MM:SS\""));
        parsed.setTimeSpec(Qt::UTC);
        const qint64 seconds = parsed.toSecsSinceEpoch() - DeviceEpochUnixSeconds;
        if (seconds < 0 || seconds > qint64(0xFFFFFFFFu))
            return fail(where, QStringLiteral("outside the device clock's years 2000 to 2136"));
        *out = std::uint32_t(seconds);
        return true;
    }

    bool hexBytes(const QJsonValue &value, const QString &where, QByteArray *out)
    {
        if (value.isUndefined()) {
            out->clear();
            return true;
        }
        QString text = value.toString();
        text.remove(' ');
        static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
        if (!value.isString() || !hex.match(text).hasMatch())
            return fail(where, QStringLiteral("expected hexadecimal bytes such as \"02 01 FA 00\""));
        *out = QByteArray::fromHex(text.toLatin1());
        if (out->size() > MaxRecordDataBytes)
            return fail(where, QStringLiteral("more than %1 bytes").arg(MaxRecordDataBytes));
        return true;
    }

    bool caption(const QJsonValue &value, const QString &where, QSet<std::uint32_t> *seen, DeviceLog *log)
    {
        const QJsonObject object = value.toObject();
        if (!value.isObject())
            return fail(where, QStringLiteral("expected an object"));
        if (!onlyKeys(object, where, {QStringLiteral("event"), QStringLiteral("text")}))
            return false;
        double event = 0;
        if (!object.contains(QStringLiteral("event")))
            return fail(where, QStringLiteral("\"event\" is missing"));
        if (!number(object, QStringLiteral("event"), where, 0, 4294967295.0, 0, &event))
            return false;
        if (seen->contains(std::uint32_t(event)))
            return fail(where, QStringLiteral("event %1 has a caption already").arg(qint64(event)));
        seen->insert(std::uint32_t(event));
        const QJsonValue textValue = object.value(QStringLiteral("text"));
        if (!textValue.isString())
            return fail(where + QStringLiteral(".text"), QStringLiteral("expected a string"));
        const QString text = textValue.toString();
        if (text.contains(QChar(0)))
            return fail(where + QStringLiteral(".text"), QStringLiteral("contains a 0 character"));
        bool ok = false;
        const QByteArray encoded = toWindows1251(text, &ok);
        if (!ok)
            return fail(where + QStringLiteral(".text"), QStringLiteral("has characters outside Windows-1251"));
        if (encoded.size() > MaxCaptionBytes)
            return fail(where + QStringLiteral(".text"), QStringLiteral("longer than %1 bytes").arg(MaxCaptionBytes));
        log->addCaption(std::uint32_t(event), encoded);
        return true;
    }

    bool record(const QJsonValue &value, const QString &where, DeviceLogFile *content)
    {
        const QJsonObject object = value.toObject();
        if (!value.isObject())
            return fail(where, QStringLiteral("expected an object"));
        if (!onlyKeys(object, where,
                      {QStringLiteral("event"), QStringLiteral("type"), QStringLiteral("time"), QStringLiteral("data"),
                       QStringLiteral("count"), QStringLiteral("gap")}))
            return false;
        DeviceLog::Record record;
        double event = 0, type = 0, count = 1, gap = 0;
        if (!object.contains(QStringLiteral("event")))
            return fail(where, QStringLiteral("\"event\" is missing"));
        if (!number(object, QStringLiteral("event"), where, 0, 4294967295.0, 0, &event)
            || !number(object, QStringLiteral("type"), where, 0, 255, 0, &type)
            || !number(object, QStringLiteral("count"), where, 1, 255, 1, &count)
            || !number(object, QStringLiteral("gap"), where, 0, 4294967295.0, 0, &gap)
            || !deviceTime(object.value(QStringLiteral("time")), where + QStringLiteral(".time"), &record.time)
            || !hexBytes(object.value(QStringLiteral("data")), where + QStringLiteral(".data"), &record.data))
            return false;
        record.eventId = std::uint32_t(event);
        record.type = std::uint8_t(type);
        record.count = std::uint8_t(count);
        if (!content->log.appendGap(std::uint32_t(gap)) || !content->log.appendRecord(record))
            return fail(where, QStringLiteral("the log would span more than 2^32 positions"));
        content->records.append(record);
        return true;
    }
};

} // namespace

bool parseDeviceLogJson(const QByteArray &json, DeviceLogFile *content, QString *error)
{
    *content = DeviceLogFile();
    Reader reader{error};
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (document.isNull())
        return reader.fail(QStringLiteral("offset %1").arg(parseError.offset), parseError.errorString());
    if (!document.isObject())
        return reader.fail(QStringLiteral("top level"), QStringLiteral("expected an object"));
    const QJsonObject top = document.object();
    if (!reader.onlyKeys(top, QStringLiteral("top level"),
                         {QStringLiteral("firstIndex"), QStringLiteral("captions"), QStringLiteral("records")}))
        return false;

    const QJsonValue captions = top.value(QStringLiteral("captions"));
    if (!captions.isUndefined() && !captions.isArray())
        return reader.fail(QStringLiteral("captions"), QStringLiteral("expected an array"));
    if (captions.toArray().size() > MaxCaptionCount)
        return reader.fail(QStringLiteral("captions"), QStringLiteral("more than %1").arg(MaxCaptionCount));
    QSet<std::uint32_t> seen;
    const QJsonArray captionArray = captions.toArray();
    for (int i = 0; i < captionArray.size(); ++i) {
        if (!reader.caption(captionArray.at(i), QStringLiteral("captions[%1]").arg(i), &seen, &content->log))
            return false;
    }

    const QJsonValue records = top.value(QStringLiteral("records"));
    if (!records.isUndefined() && !records.isArray())
        return reader.fail(QStringLiteral("records"), QStringLiteral("expected an array"));
    const QJsonArray recordArray = records.toArray();
    for (int i = 0; i < recordArray.size(); ++i) {
        if (!reader.record(recordArray.at(i), QStringLiteral("records[%1]").arg(i), content))
            return false;
    }

    double first = 0;
    if (!reader.number(top, QStringLiteral("firstIndex"), QString(), 0, 4294967295.0, 0, &first))
        return false;
    content->hasFirstIndex = top.contains(QStringLiteral("firstIndex"));
    content->log.moveTo(std::uint32_t(first));
    return true;
}
