// Array literals for the central database's batch insert.

#include "serverstore/serverarrays.h"

void ArrayLiteral::separate()
{
    if (!body.isEmpty())
        body += QLatin1Char(',');
}

void ArrayLiteral::append(qint64 number)
{
    separate();
    body += QString::number(number);
}

// Inside double quotes only "\" and the quote itself are special.
void ArrayLiteral::append(const QString &text)
{
    separate();
    body += QLatin1Char('"');
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\'))
            body += QLatin1Char('\\');
        if (!c.isNull())
            body += c;
    }
    body += QLatin1Char('"');
}

// bytea's hex input "\x0a1b", with its backslash escaped for the array.
void ArrayLiteral::appendBytes(const QByteArray &bytes)
{
    separate();
    body += QLatin1String("\"\\\\x");
    body += QLatin1String(bytes.toHex());
    body += QLatin1Char('"');
}
