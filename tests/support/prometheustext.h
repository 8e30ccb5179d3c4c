// A strict reader of Prometheus's text exposition format, for the tests of the metrics
// file: anything the format does not allow is an error, not skipped.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTextCodec>

#include <cmath>
#include <limits>

struct ExpositionSample {
    QString name;
    QMap<QString, QString> labels;
    double value = 0;
};

struct Exposition {
    QMap<QString, QString> types; // family -> counter, gauge, ...
    QList<ExpositionSample> samples;
    QString error; // empty when the text is sound

    // The value of the sample `name` with exactly `labels`; NaN when there is none.
    double value(const QString &name, const QMap<QString, QString> &labels = {}) const
    {
        for (const ExpositionSample &sample : samples) {
            if (sample.name == name && sample.labels == labels)
                return sample.value;
        }
        return std::numeric_limits<double>::quiet_NaN();
    }
    int count(const QString &name) const
    {
        int n = 0;
        for (const ExpositionSample &sample : samples)
            n += sample.name == name ? 1 : 0;
        return n;
    }
};

inline Exposition parseExposition(const QByteArray &bytes)
{
    Exposition result;
    const auto fail = [&result](int line, const QString &what) {
        result.error = QStringLiteral("line %1: %2").arg(line).arg(what);
        return result;
    };
    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars != 0)
        return fail(0, QStringLiteral("not UTF-8"));
    if (text.isEmpty() || !text.endsWith(QLatin1Char('\n')))
        return fail(0, QStringLiteral("empty, or the last line does not end"));
    static const QRegularExpression metricName(QStringLiteral("^[a-zA-Z_:][a-zA-Z0-9_:]*$"));
    static const QRegularExpression labelName(QStringLiteral("^[a-zA-Z_][a-zA-Z0-9_]*$"));
    static const QSet<QString> typeNames = {"counter", "gauge", "histogram", "summary", "untyped"};
    QSet<QString> helped;
    QSet<QString> finishedFamilies;
    QSet<QString> series;
    QString currentFamily;
    const QStringList lines = text.left(text.size() - 1).split(QLatin1Char('\n'));
    for (int n = 0; n < lines.size(); ++n) {
        const QString &line = lines.at(n);
        const int number = n + 1;
        if (line.isEmpty())
            return fail(number, QStringLiteral("empty line"));
        if (line.startsWith(QLatin1Char('#'))) {
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.size() >= 3 && (words.at(1) == QLatin1String("HELP") || words.at(1) == QLatin1String("TYPE"))) {
                const QString &family = words.at(2);
                if (!metricName.match(family).hasMatch())
                    return fail(number, QStringLiteral("bad family name"));
                if (words.at(1) == QLatin1String("TYPE")) {
                    if (words.size() != 4 || !typeNames.contains(words.at(3)))
                        return fail(number, QStringLiteral("bad TYPE"));
                    if (result.types.contains(family))
                        return fail(number, QStringLiteral("TYPE twice"));
                    if (result.samples.size() && result.samples.last().name == family)
                        return fail(number, QStringLiteral("TYPE after samples"));
                    result.types.insert(family, words.at(3));
                } else {
                    if (helped.contains(family))
                        return fail(number, QStringLiteral("HELP twice"));
                    helped.insert(family);
                    const QString help = line.mid(QStringLiteral("# HELP ").size() + family.size() + 1);
                    for (int i = 0; i < help.size(); ++i) {
                        if (help.at(i) == QLatin1Char('\\')) {
                            if (i + 1 >= help.size() || (help.at(i + 1) != QLatin1Char('\\') && help.at(i + 1) != 'n'))
                                return fail(number, QStringLiteral("bad escape in HELP"));
                            ++i;
                        }
                    }
                }
            }
            continue;
        }
        // name{label="value",...} value [timestamp]
        int i = 0;
        while (i < line.size() && line.at(i) != QLatin1Char('{') && line.at(i) != QLatin1Char(' '))
            ++i;
        ExpositionSample sample;
        sample.name = line.left(i);
        if (!metricName.match(sample.name).hasMatch())
            return fail(number, QStringLiteral("bad metric name \"%1\"").arg(sample.name));
        if (!result.types.contains(sample.name))
            return fail(number, QStringLiteral("%1 has no TYPE before it").arg(sample.name));
        QString key;
        if (i < line.size() && line.at(i) == QLatin1Char('{')) {
            ++i;
            while (i < line.size() && line.at(i) != QLatin1Char('}')) {
                const int equals = line.indexOf(QLatin1Char('='), i);
                if (equals < 0)
                    return fail(number, QStringLiteral("label without ="));
                const QString name = line.mid(i, equals - i);
                if (!labelName.match(name).hasMatch() || sample.labels.contains(name))
                    return fail(number, QStringLiteral("bad or repeated label name \"%1\"").arg(name));
                i = equals + 1;
                if (i >= line.size() || line.at(i) != QLatin1Char('"'))
                    return fail(number, QStringLiteral("label value not quoted"));
                ++i;
                QString value;
                for (;; ++i) {
                    if (i >= line.size())
                        return fail(number, QStringLiteral("label value does not end"));
                    const QChar c = line.at(i);
                    if (c == QLatin1Char('"'))
                        break;
                    if (c == QLatin1Char('\\')) {
                        if (++i >= line.size())
                            return fail(number, QStringLiteral("escape at the end"));
                        const QChar e = line.at(i);
                        if (e == QLatin1Char('\\') || e == QLatin1Char('"'))
                            value += e;
                        else if (e == QLatin1Char('n'))
                            value += QLatin1Char('\n');
                        else
                            return fail(number, QStringLiteral("bad escape \\%1").arg(e));
                    } else {
                        value += c;
                    }
                }
                ++i; // the closing quote
                sample.labels.insert(name, value);
                if (i < line.size() && line.at(i) == QLatin1Char(','))
                    ++i;
                else if (i >= line.size() || line.at(i) != QLatin1Char('}'))
                    return fail(number, QStringLiteral("labels not separated by commas"));
            }
            if (i >= line.size())
                return fail(number, QStringLiteral("labels do not end"));
            ++i; // '}'
        }
        if (i >= line.size() || line.at(i) != QLatin1Char(' '))
            return fail(number, QStringLiteral("no blank before the value"));
        const QStringList rest = line.mid(i + 1).split(QLatin1Char(' '));
        if (rest.isEmpty() || rest.size() > 2)
            return fail(number, QStringLiteral("value and at most a timestamp"));
        bool ok = false;
        if (rest.at(0) == QLatin1String("+Inf"))
            sample.value = std::numeric_limits<double>::infinity(), ok = true;
        else if (rest.at(0) == QLatin1String("-Inf"))
            sample.value = -std::numeric_limits<double>::infinity(), ok = true;
        else if (rest.at(0) == QLatin1String("NaN"))
            sample.value = std::numeric_limits<double>::quiet_NaN(), ok = true;
        else
            sample.value = rest.at(0).toDouble(&ok);
        if (!ok)
            return fail(number, QStringLiteral("bad value \"%1\"").arg(rest.at(0)));
        if (rest.size() == 2) {
            rest.at(1).toLongLong(&ok);
            if (!ok)
                return fail(number, QStringLiteral("bad timestamp"));
        }
        // A family's samples stand together; a series is there once.
        if (sample.name != currentFamily) {
            if (finishedFamilies.contains(sample.name))
                return fail(number, QStringLiteral("%1's samples are not together").arg(sample.name));
            if (!currentFamily.isEmpty())
                finishedFamilies.insert(currentFamily);
            currentFamily = sample.name;
        }
        QString id = sample.name;
        for (auto it = sample.labels.begin(); it != sample.labels.end(); ++it)
            id += QLatin1Char('\x01') + it.key() + QLatin1Char('\x02') + it.value();
        if (series.contains(id))
            return fail(number, QStringLiteral("a series twice"));
        series.insert(id);
        result.samples << sample;
    }
    return result;
}
