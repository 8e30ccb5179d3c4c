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

SettingResult<std::uint32_t> parseBaudRate(const QString &text)
{
    bool ok = false;
    const std::uint32_t value = text.toUInt(&ok);
    if (!ok || std::find(std::begin(BaudRates), std::end(BaudRates), value) == std::end(BaudRates))
        return Failure(QStringLiteral("wants one of %1, not \"%2\"").arg(baudRateList(QStringLiteral(", ")), text));
    return value;
}

SettingResult<std::uint8_t> parseParity(const QString &text)
{
    static const QStringList names = {QStringLiteral("none"), QStringLiteral("odd"), QStringLiteral("even")};
    const int index = names.indexOf(text);
    if (index < 0)
        return Failure(QStringLiteral("wants none, odd or even, not \"%1\"").arg(text));
    return ParityCodes[index];
}

SettingResult<std::uint8_t> parseStopBits(const QString &text)
{
    if (text == QLatin1String("1.5"))
        return Failure(QStringLiteral("1.5: one and a half stop bits do not go with 8 data bits"));
    if (text == QLatin1String("1"))
        return StopBitsCodes[0];
    if (text == QLatin1String("2"))
        return StopBitsCodes[2];
    return Failure(QStringLiteral("wants 1 or 2, not \"%1\"").arg(text));
}
