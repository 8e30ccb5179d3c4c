// Reading line settings written by people.

#include "fetch/linesettings.h"

#include "portlist/portsettings.h"

#include <QStringList>

#include <algorithm>
#include <iterator>

QString baudRateList(const QString &lastJoin)
{
    QStringList rates;
    for (const std::uint32_t rate : BaudRates)
        rates << QString::number(rate);
    const QString last = rates.takeLast();
    return rates.join(QStringLiteral(", ")) + lastJoin + last;
}

bool parseBaudRate(const QString &text, std::uint32_t *rate, QString *error)
{
    bool ok = false;
    const std::uint32_t value = text.toUInt(&ok);
    if (!ok || std::find(std::begin(BaudRates), std::end(BaudRates), value) == std::end(BaudRates)) {
        *error = QStringLiteral("wants one of %1, not \"%2\"").arg(baudRateList(QStringLiteral(", ")), text);
        return false;
    }
    *rate = value;
    return true;
}

bool parseParity(const QString &text, std::uint8_t *parity, QString *error)
{
    static const QStringList names = {QStringLiteral("none"), QStringLiteral("odd"), QStringLiteral("even")};
    const int index = names.indexOf(text);
    if (index < 0) {
        *error = QStringLiteral("wants none, odd or even, not \"%1\"").arg(text);
        return false;
    }
    *parity = ParityCodes[index];
    return true;
}

bool parseStopBits(const QString &text, std::uint8_t *stopBits, QString *error)
{
    if (text == QLatin1String("1.5")) {
        *error = QStringLiteral("1.5: one and a half stop bits do not go with 8 data bits");
        return false;
    }
    if (text == QLatin1String("1")) {
        *stopBits = StopBitsCodes[0];
        return true;
    }
    if (text == QLatin1String("2")) {
        *stopBits = StopBitsCodes[2];
        return true;
    }
    *error = QStringLiteral("wants 1 or 2, not \"%1\"").arg(text);
    return false;
}
