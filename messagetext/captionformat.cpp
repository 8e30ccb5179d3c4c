// The caption format language: the caption scan, the field decoders and the
// device calendar.

#include "messagetext/captionformat.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// The letters that end a specifier, in the order of the device's documentation.
constexpr char FormatLetters[] = "iIjJuUlLxXhHfFdcCsSaAbBoOeE";

struct FormatLetterTable {
    bool isLetter[128] = {};
    constexpr FormatLetterTable()
    {
        for (const char *p = FormatLetters; *p; ++p)
            isLetter[static_cast<unsigned char>(*p)] = true;
    }
};
constexpr FormatLetterTable formatLetterTable;

// Codes of 256 and above never end a specifier, so Cyrillic text cannot.
bool isFormatLetter(QChar c)
{
    const ushort code = c.unicode();
    return code < 128 && formatLetterTable.isLetter[code];
}

QString dataErrorText()
{
    return QStringLiteral("Ошибка данных");
}
QString formatErrorText()
{
    return QStringLiteral("Неверный формат");
}
QString unknownValueText()
{
    return QStringLiteral("Неизвестное значение");
}

// Reads `size` (1..8) bytes little-endian into *value and advances. When fewer
// remain, the field consumes them all so that every later field that needs
// bytes fails as well, rather than decoding from the wrong place.
bool takeBytes(DataCursor &cursor, int size, quint64 *value)
{
    if (cursor.remaining() < size) {
        cursor.next = cursor.end;
        return false;
    }
    quint64 v = 0;
    for (int i = 0; i < size; ++i)
        v |= quint64(cursor.next[i]) << (8 * i);
    cursor.next += size;
    *value = v;
    return true;
}

enum class NumberKind { Signed, Unsigned, Hex, Float };

bool acceptsOptions(NumberKind kind, const FieldOptions &options)
{
    switch (kind) {
    case NumberKind::Signed:
        return true;
    case NumberKind::Unsigned:
        return !options.plus;
    case NumberKind::Hex:
    case NumberKind::Float:
        return !options.plus && options.decimals == 0;
    }
    return false;
}

// Digits of `value` in `base`, most significant first, into the end of `buffer`
// (at least 20 characters); returns where they start.
char *writeDigits(quint64 value, unsigned base, char *bufferEnd)
{
    static const char digitChars[] = "0123456789ABCDEF";
    char *p = bufferEnd;
    do {
        *--p = digitChars[value % base];
        value /= base;
    } while (value != 0);
    return p;
}

// A decimal fixed-point number: `magnitude` shown with at least `width`
// integer digits and `decimals` implied decimal places, zero padded.
//
// A negative value keeps its "-" in front and the "-" counts toward the width,
// as printf's zero padding counts it: -5 with width 3 is "-05". At least one
// digit stands before the point, so -5 with two decimals is "-0.05".
QString formatDecimal(quint64 magnitude, bool negative, bool plus, const FieldOptions &options)
{
    char buffer[20];
    char *const bufferEnd = buffer + sizeof buffer;
    const char *digits = writeDigits(magnitude, 10, bufferEnd);
    const int digitCount = int(bufferEnd - digits);

    const int laidOut = options.width + options.decimals - (negative ? 1 : 0);
    const int totalDigits = std::max({digitCount, laidOut, options.decimals + 1});
    const int integerDigits = totalDigits - options.decimals;
    const bool signShown = negative || plus;

    QString text(totalDigits + (signShown ? 1 : 0) + (options.decimals > 0 ? 1 : 0), Qt::Uninitialized);
    QChar *out = text.data();
    if (negative)
        *out++ = QLatin1Char('-');
    else if (plus)
        *out++ = QLatin1Char('+');
    const int zeros = totalDigits - digitCount;
    for (int i = 0; i < totalDigits; ++i) {
        if (i == integerDigits)
            *out++ = QLatin1Char('.');
        *out++ = QLatin1Char(i < zeros ? '0' : digits[i - zeros]);
    }
    return text;
}

QString formatHex(quint64 value, int width)
{
    char buffer[20];
    char *const bufferEnd = buffer + sizeof buffer;
    const char *digits = writeDigits(value, 16, bufferEnd);
    const int digitCount = int(bufferEnd - digits);
    const int zeros = std::max(width - digitCount, 0);

    QString text(zeros + digitCount, Qt::Uninitialized);
    QChar *out = text.data();
    for (int i = 0; i < zeros; ++i)
        *out++ = QLatin1Char('0');
    for (int i = 0; i < digitCount; ++i)
        *out++ = QLatin1Char(digits[i]);
    return text;
}

// A floating value rounded to a whole number. Not-a-number and the infinities
// keep the conversion's own text; a negative result is padded behind its "-".
QString formatWhole(double value, int width)
{
    QString text = QString::number(value, 'f', 0);
    if (!std::isfinite(value) || text.size() >= width)
        return text;
    const int at = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    text.insert(at, QString(width - text.size(), QLatin1Char('0')));
    return text;
}

QString formatNumber(NumberKind kind, int size, const QString &optionText, DataCursor &cursor)
{
    quint64 raw = 0;
    if (!takeBytes(cursor, size, &raw))
        return dataErrorText();
    bool ok = false;
    const FieldOptions options = parseFieldOptions(optionText, &ok);
    if (!ok || !acceptsOptions(kind, options))
        return formatErrorText();

    switch (kind) {
    case NumberKind::Signed: {
        const quint64 signBit = quint64(1) << (8 * size - 1);
        const quint64 mask = signBit | (signBit - 1);
        if (raw & signBit) {
            // Two's complement magnitude, in unsigned arithmetic so that the
            // most negative value of eight bytes needs no special case.
            return formatDecimal(((~raw) & mask) + 1, true, false, options);
        }
        return formatDecimal(raw, false, options.plus, options);
    }
    case NumberKind::Unsigned:
        return formatDecimal(raw, false, false, options);
    case NumberKind::Hex:
        return formatHex(raw, options.width);
    case NumberKind::Float:
        if (size == 4) {
            const quint32 bits = quint32(raw);
            float single;
            std::memcpy(&single, &bits, sizeof single);
            return formatWhole(single, options.width);
        } else {
            double value;
            std::memcpy(&value, &raw, sizeof value);
            return formatWhole(value, options.width);
        }
    }
    return QString();
}

void appendTwoDigits(QString &text, int value)
{
    text += QLatin1Char(char('0' + value / 10));
    text += QLatin1Char(char('0' + value % 10));
}

// "%02d.%02d.20%02d %02d:%02d:%02d": a year from 2100 on keeps all its digits
// after the "20", so 2100 reads 20100.
QString formatDeviceTime(DataCursor &cursor)
{
    quint64 raw = 0;
    if (!takeBytes(cursor, 4, &raw))
        return dataErrorText();
    const DeviceTime t = deviceTimeFromSeconds(quint32(raw));
    QString text;
    text.reserve(20);
    appendTwoDigits(text, t.day);
    text += QLatin1Char('.');
    appendTwoDigits(text, t.month);
    text += QLatin1String(".20");
    if (t.year < 100)
        appendTwoDigits(text, t.year);
    else
        text += QString::number(t.year);
    text += QLatin1Char(' ');
    appendTwoDigits(text, t.hour);
    text += QLatin1Char(':');
    appendTwoDigits(text, t.minute);
    text += QLatin1Char(':');
    appendTwoDigits(text, t.second);
    return text;
}

// Bytes are ISO 8859-1 characters; no code page is applied.
QString formatCharacter(DataCursor &cursor)
{
    if (cursor.remaining() < 1)
        return QString();
    return QString(QLatin1Char(char(*cursor.next++)));
}

QString formatString(DataCursor &cursor)
{
    if (cursor.remaining() < 1)
        return QString();
    const uchar *start = cursor.next;
    const uchar *stop = static_cast<const uchar *>(std::memchr(start, 0, size_t(cursor.remaining())));
    if (!stop) {
        cursor.next = cursor.end;
        return QString::fromLatin1(reinterpret_cast<const char *>(start), int(cursor.end - start));
    }
    cursor.next = stop + 1; // the terminating zero is consumed but not shown
    return QString::fromLatin1(reinterpret_cast<const char *>(start), int(stop - start));
}

QString formatFlag(DataCursor &cursor, int size, const QString &set, const QString &clear)
{
    quint64 raw = 0;
    if (!takeBytes(cursor, size, &raw))
        return dataErrorText();
    return raw != 0 ? set : clear;
}

QString formatEnumeration(DataCursor &cursor, int size, const QString &optionText)
{
    quint64 raw = 0;
    if (!takeBytes(cursor, size, &raw))
        return dataErrorText();
    bool ok = false;
    const QMap<quint16, QString> list = parseEnumeration(optionText, &ok);
    if (!ok)
        return formatErrorText();
    const auto entry = list.constFind(quint16(raw));
    return entry != list.constEnd() ? *entry : unknownValueText();
}

bool isAsciiDigit(ushort code)
{
    return code >= '0' && code <= '9';
}

// The scan of formatCaption, reading the data from `cursor`. It stops once the message
// holds more than `limit` characters, so that the start of a message from a caption of millions of characters
// costs no more than the start itself; what it returns then is longer than `limit`, and
// a start of the whole message.
QString renderCaption(const QString &caption, qint64 limit, DataCursor &cursor)
{
    enum class State { Text, Specifier, Quoted };

    const QChar *const chars = caption.constData();
    const int size = caption.size();
    QString output;
    output.reserve(int(std::min<qint64>(size, limit + 1)) + 32);
    // Appends a run of the caption, no more of it than takes the message past `limit`.
    const auto appendRun = [&output, chars, limit](int start, int length) {
        output.append(chars + start, int(std::max<qint64>(0, std::min<qint64>(length, limit + 1 - output.size()))));
    };

    // Text and option texts are runs of the caption itself, so they are kept
    // as positions and copied in one piece rather than character by character.
    State state = State::Text;
    int textStart = 0;   // the pending run of plain text (text state)
    int optionStart = 0; // the option text after the "#" (specifier and quoted states)
    for (int i = 0; i < size; ++i) {
        if (output.size() > limit)
            return output;
        const QChar c = chars[i];
        switch (state) {
        case State::Text:
            if (c == QLatin1Char('#')) {
                appendRun(textStart, i - textStart);
                optionStart = i + 1;
                state = State::Specifier;
            } else if (output.size() + qint64(i - textStart) > limit) {
                // The plain text so far already takes the message past the limit.
                appendRun(textStart, i - textStart);
                return output;
            }
            break;
        case State::Specifier:
            if (c == QLatin1Char('#')) {
                // The previous "#" and its options were not a specifier after
                // all: they stay as text, and this "#" opens a new one.
                output += QLatin1Char('#');
                appendRun(optionStart, i - optionStart);
                optionStart = i + 1;
                if (i == size - 1)
                    output += QLatin1Char('#');
            } else if (isFormatLetter(c)) {
                const QString optionText = QString::fromRawData(chars + optionStart, i - optionStart);
                output += formatField(c, optionText, cursor);
                textStart = i + 1;
                state = State::Text;
            } else if (c == QLatin1Char('`')) {
                state = State::Quoted;
            }
            break;
        case State::Quoted:
            if (c == QLatin1Char('`'))
                state = State::Specifier;
            break;
        }
    }
    if (output.size() > limit)
        return output;
    // A specifier left open keeps its option text but loses its "#".
    if (state == State::Text)
        appendRun(textStart, size - textStart);
    else
        appendRun(optionStart, size - optionStart);
    return output;
}

} // namespace

QString formatCaption(const QString &caption, const QByteArray &data)
{
    // Nothing to fill in: the message is the caption itself, shared rather than copied.
    if (!caption.contains(QLatin1Char('#')))
        return caption;
    DataCursor cursor(data);
    return renderCaption(caption, std::numeric_limits<int>::max(), cursor);
}

QString formatCaptionStart(const QString &caption, const QByteArray &data, int maxLength, bool *cut, bool *readToEnd)
{
    DataCursor cursor(data);
    QString message = renderCaption(caption, maxLength, cursor);
    if (readToEnd != nullptr)
        *readToEnd = !data.isEmpty() && cursor.remaining() == 0;
    *cut = message.size() > maxLength;
    if (*cut) {
        // A character outside the basic plane is not cut in two.
        int keep = maxLength;
        if (keep > 0 && message.at(keep - 1).isHighSurrogate())
            --keep;
        message.truncate(keep);
    }
    return message;
}

QString formatField(QChar letter, const QString &optionText, DataCursor &cursor)
{
    // One letter a line reads as the table of letters it is.
    // clang-format off
    switch (letter.unicode()) {
    case 'i': return formatNumber(NumberKind::Signed, 1, optionText, cursor);
    case 'I': return formatNumber(NumberKind::Signed, 2, optionText, cursor);
    case 'j': return formatNumber(NumberKind::Signed, 4, optionText, cursor);
    case 'J': return formatNumber(NumberKind::Signed, 8, optionText, cursor);
    case 'u': return formatNumber(NumberKind::Unsigned, 1, optionText, cursor);
    case 'U': return formatNumber(NumberKind::Unsigned, 2, optionText, cursor);
    case 'l': return formatNumber(NumberKind::Unsigned, 4, optionText, cursor);
    case 'L': return formatNumber(NumberKind::Unsigned, 8, optionText, cursor);
    case 'x': return formatNumber(NumberKind::Hex, 1, optionText, cursor);
    case 'X': return formatNumber(NumberKind::Hex, 2, optionText, cursor);
    case 'h': return formatNumber(NumberKind::Hex, 4, optionText, cursor);
    case 'H': return formatNumber(NumberKind::Hex, 8, optionText, cursor);
    case 'f': return formatNumber(NumberKind::Float, 4, optionText, cursor);
    case 'F': return formatNumber(NumberKind::Float, 8, optionText, cursor);
    case 'd': return formatDeviceTime(cursor);
    case 'c': return formatCharacter(cursor);
    case 's': return formatString(cursor);
    case 'a': return formatFlag(cursor, 1, QStringLiteral("Активный"), QStringLiteral("Неактивный"));
    case 'A': return formatFlag(cursor, 2, QStringLiteral("Активный"), QStringLiteral("Неактивный"));
    case 'b': return formatFlag(cursor, 1, QStringLiteral("Да"), QStringLiteral("Нет"));
    case 'B': return formatFlag(cursor, 2, QStringLiteral("Да"), QStringLiteral("Нет"));
    case 'o': return formatFlag(cursor, 1, QStringLiteral("Вкл"), QStringLiteral("Выкл"));
    case 'O': return formatFlag(cursor, 2, QStringLiteral("Вкл"), QStringLiteral("Выкл"));
    case 'e': return formatEnumeration(cursor, 1, optionText);
    case 'E': return formatEnumeration(cursor, 2, optionText);
    default:
        // C and S end a specifier but have no decoding: no text, no bytes.
        return QString();
    }
    // clang-format on
}

FieldOptions parseFieldOptions(const QString &optionText, bool *ok)
{
    // Digit runs saturate at the cap instead of growing without bound, which
    // also keeps the arithmetic far from overflow.
    const auto accumulate = [](int number, ushort digit) {
        return std::min(number * 10 + int(digit - '0'), MaxFieldDigits);
    };

    FieldOptions options;
    bool pointSeen = false;
    int integerPart = 0;
    int current = 0;
    const int size = optionText.size();
    for (int i = 0; i < size; ++i) {
        const ushort c = optionText.at(i).unicode();
        if (c == '+' && i == 0) {
            options.plus = true;
        } else if (isAsciiDigit(c)) {
            current = accumulate(current, c);
        } else if (c == '.' && !pointSeen) {
            pointSeen = true;
            integerPart = current;
            current = 0;
        } else {
            *ok = false;
            return FieldOptions();
        }
    }
    options.width = std::max(pointSeen ? integerPart : current, 1);
    options.decimals = pointSeen ? current : 0;
    *ok = true;
    return options;
}

QMap<quint16, QString> parseEnumeration(const QString &optionText, bool *ok)
{
    QMap<quint16, QString> list;
    // Keys wrap modulo 2^32 in unsigned arithmetic; that keeps their value
    // modulo 65536 exact however long the digit run.
    quint32 key = 0;
    bool newKeyDue = true;
    const QChar *p = optionText.constData();
    const QChar *const end = p + optionText.size();
    while (p < end) {
        const ushort c = p->unicode();
        if (c == '`') {
            const QChar *const textStart = ++p;
            while (p < end && *p != QLatin1Char('`'))
                ++p;
            if (p == end) {
                *ok = false;
                return {};
            }
            list.insert(quint16(key), QString(textStart, int(p - textStart)));
            ++p;
            ++key;
            newKeyDue = true;
        } else if (isAsciiDigit(c)) {
            const quint32 digit = c - '0';
            key = newKeyDue ? digit : key * 10u + digit;
            newKeyDue = false;
            ++p;
        } else {
            *ok = false;
            return {};
        }
    }
    *ok = true;
    return list;
}

DeviceTime deviceTimeFromSeconds(quint32 seconds)
{
    DeviceTime t;
    t.second = quint8(seconds % 60);
    t.minute = quint8(seconds / 60 % 60);
    t.hour = quint8(seconds / 3600 % 24);
    const quint32 days = seconds / 86400;
    const quint32 year = 4 * days / 1461;
    quint32 dayOfYear = days + 1 - (1461 * year + 3) / 4;

    // Every fourth year from 2000 is a leap year: the device has no century
    // rule, so its dates part from the real calendar after 2100-02-28.
    static const quint8 monthLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0;
    quint32 month = 1;
    while (month < 12) {
        const quint32 length = (month == 2 && leap) ? 29 : monthLengths[month - 1];
        if (dayOfYear <= length)
            break;
        dayOfYear -= length;
        ++month;
    }
    t.day = quint8(dayOfYear);
    t.month = quint8(month);
    t.year = quint8(year);
    t.dayOfWeek = quint8((days + 5) % 7);
    return t;
}
