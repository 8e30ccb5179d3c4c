// The list and address values of khronar-devsim's options.

#include "tools/devsim/optionparsing.h"

#include <QStringList>

bool parseListenAddress(const QString &text, QString *host, std::uint16_t *port, QString *error)
{
    QString portText = text;
    *host = QStringLiteral("127.0.0.1");
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1String("]:"));
        if (close < 0) {
            *error = QStringLiteral("wants [IPv6 address]:PORT, not \"%1\"").arg(text);
            return false;
        }
        *host = text.mid(1, close - 1);
        portText = text.mid(close + 2);
    } else if (text.count(QLatin1Char(':')) > 1) {
        // Which colon ends the host would be a guess.
        *error = QStringLiteral("wants an IPv6 address in brackets, as [::1]:PORT, not \"%1\"").arg(text);
        return false;
    } else if (text.contains(QLatin1Char(':'))) {
        *host = text.section(QLatin1Char(':'), 0, 0);
        portText = text.section(QLatin1Char(':'), 1);
    }
    bool ok = false;
    const int number = portText.toInt(&ok);
    if (host->isEmpty() || !ok || number < 0 || number > 65535) {
        *error = QStringLiteral("wants [HOST:]PORT with a port from 0 to 65535, not \"%1\"").arg(text);
        return false;
    }
    *port = std::uint16_t(number);
    return true;
}
