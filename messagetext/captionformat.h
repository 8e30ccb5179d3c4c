// The caption format language: renders a log record's message from its event's
// caption template and the record's raw data bytes.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// Renders `caption` with the fields filled from `data`. Never fails as a whole:
// a field that cannot be decoded shows "Ошибка данных", "Неверный формат" or
// "Неизвестное значение" in its place and the rest is still rendered. Pure: it
// parses everything anew on every call, keeps no state and may be called from
// any thread.
QString formatCaption(const QString &caption, const QByteArray &data);

// The first `maxLength` characters of formatCaption(caption, data), and whether the
// message is longer (*cut). It reads no further into the caption than it must, so that
// the start of the message of a caption of millions of characters is as cheap as the
// start itself. *readToEnd, when given, says whether the fields took the data to its
// last byte: rendered from the start of longer data, the message may then differ.
QString formatCaptionStart(const QString &caption, const QByteArray &data, int maxLength, bool *cut,
                           bool *readToEnd = nullptr);

// The operations below serve formatCaption; they are declared here so that the
// tests can reach them directly.

// The next unread data byte and the end of the data. Decoders read from `next`
// and advance it, never past `end`. The byte array must outlive the cursor.
struct DataCursor {
    explicit DataCursor(const QByteArray &data)
        : next(reinterpret_cast<const uchar *>(data.constData())),
          end(next + data.size())
    {}
    int remaining() const { return int(end - next); }

    const uchar *next;
    const uchar *end;
};

// The parsed option text of a numeric field.
struct FieldOptions {
    bool plus = false; // "+" before non-negative values
    int width = 1;     // at least this many integer digits; 1..MaxFieldDigits
    int decimals = 0;  // implied decimal places; 0..MaxFieldDigits
};

// Widths and decimal counts are capped here: a caption comes from the device,
// and one that asks for a billion zeros must not freeze the view each time its
// row is painted. Longer digit runs saturate at the cap.
constexpr int MaxFieldDigits = 255;

// Renders one field: `letter` is one of "iIjJuUlLxXhHfFdcCsSaAbBoOeE",
// `optionText` everything between the "#" and the letter (backquoted parts
// included). Reads the field's bytes from `cursor`; a field short of bytes
// consumes all that remain. Any other letter gives empty text and reads nothing.
QString formatField(QChar letter, const QString &optionText, DataCursor &cursor);

// Parses "[+][width][.decimals]". Sets *ok to false (and returns defaults) for
// any other text; the caller decides which options its letter accepts.
FieldOptions parseFieldOptions(const QString &optionText, bool *ok);

// Parses a value list such as "`Норма``Авария`" or "5`Пять``Шесть`10`Десять`":
// entries are an optional decimal key and a backquoted text, unkeyed entries
// follow the previous key. Keys are taken modulo 65536. Sets *ok to false (and
// returns an empty list) on anything between entries other than digits, and on
// a text whose closing backquote is missing.
QMap<quint16, QString> parseEnumeration(const QString &optionText, bool *ok);

// A device time broken down on the device's calendar: every fourth year from
// 2000 is a leap year, with no century rule.
struct DeviceTime {
    quint8 hour;      // 0..23
    quint8 minute;    // 0..59
    quint8 second;    // 0..59
    quint8 day;       // day of month, 1..31
    quint8 month;     // 1..12
    quint8 year;      // years since 2000, 0..136
    quint8 dayOfWeek; // 0 Monday .. 6 Sunday
};

// Converts seconds since 2000-01-01 00:00:00 on the device clock (no time zone).
DeviceTime deviceTimeFromSeconds(quint32 seconds);
