// Messages rendered from event captions and record data, as the log view and
// the CSV export show them.

#include "messagetext/captionformat.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

// Data bytes are written as the device stores them, "FA 00" for 250.
void addRow(const QString &caption, const char *hex, const QString &expected)
{
    const QByteArray tag = caption.toUtf8() + " | " + hex;
    QTest::newRow(tag.constData()) << caption << QByteArray::fromHex(hex) << expected;
}

QString zeros(int count)
{
    return QString(count, QLatin1Char('0'));
}

const QString dataError = QStringLiteral("Ошибка данных");
const QString formatError = QStringLiteral("Неверный формат");
const QString unknownValue = QStringLiteral("Неизвестное значение");

} // namespace

class tst_CaptionFormat : public QObject
{
    Q_OBJECT

private slots:
    void render_data();
    void render();
    void captionStart_data();
    void captionStart();
    void dataReadToTheEnd_data();
    void dataReadToTheEnd();
    void fieldOptions_data();
    void fieldOptions();
    void enumerationList();
    void deviceTime_data();
    void deviceTime();
    void largestDouble();
    void randomCaptions();

private:
    void numbers();
    void scan();
    void shortData();
    void invalidOptions();
    void characters();
    void flags();
    void enumerations();
    void dates();
    void hostileOptions();
};

void tst_CaptionFormat::render_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("expected");

    addRow(QStringLiteral("Канал #u: #`Норма``Авария`e, температура #+3.1I °C, код #4X, время #d"),
           "02 01 FA 00 AB 00 7A 0D 87 2D",
           QStringLiteral("Канал 2: Авария, температура +025.0 °C, код 00AB, время 15.03.2024 13:45:30"));
    addRow(QStringLiteral("Насос #u: ток #2.1U А, давление #+.2I бар, код #4X, пуск #b, клапан #o, "
                          "режим #`Стоп``Пуск``Авто`e, наработка #l ч, уставка #f, время #d"),
           "03 E7 03 F6 FF AB 00 01 00 02 10 27 00 00 00 00 20 41 7A 0D 87 2D",
           QStringLiteral("Насос 3: ток 99.9 А, давление -0.10 бар, код 00AB, пуск Да, клапан Выкл, "
                          "режим Авто, наработка 10000 ч, уставка 10, время 15.03.2024 13:45:30"));
    numbers();
    scan();
    shortData();
    invalidOptions();
    characters();
    flags();
    enumerations();
    dates();
    hostileOptions();
}

void tst_CaptionFormat::render()
{
    QFETCH(QString, caption);
    QFETCH(QByteArray, data);
    QFETCH(QString, expected);

    QCOMPARE(formatCaption(caption, data), expected);
    // The start of every message is the start of the whole one, cut where asked.
    for (const int length : {0, 1, 5, int(expected.size()) - 1, int(expected.size()), int(expected.size()) + 1}) {
        if (length < 0)
            continue;
        bool cut = false;
        const QString start = formatCaptionStart(caption, data, length, &cut);
        QCOMPARE(cut, expected.size() > length);
        const bool splitsPair = cut && length > 0 && expected.at(length - 1).isHighSurrogate();
        QCOMPARE(start, expected.left(splitsPair ? length - 1 : length));
    }
}

// The start of a message from a huge caption, and a cut that would split a character.
void tst_CaptionFormat::captionStart_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("length");
    QTest::addColumn<QString>("start");
    QTest::addColumn<bool>("cut");
    const QString zhe(10000000, QChar(0x0416));
    QTest::newRow("ten million characters") << zhe << QByteArray() << 4 << QStringLiteral("ЖЖЖЖ") << true;
    QTest::newRow("a field after them") << zhe + "#u" << QByteArray("\x05", 1) << 2 << QStringLiteral("ЖЖ") << true;
    QTest::newRow("an option text of millions")
        << "#`" + zhe + "`e" << QByteArray("\x00", 1) << 3 << QStringLiteral("ЖЖЖ") << true;
    QTest::newRow("a field that runs past")
        << QStringLiteral("Код #s") << QByteArray(100, 'A') << 6 << QStringLiteral("Код AA") << true;
    QTest::newRow("a character of two units")
        << QStringLiteral("ab\U0001F600c") << QByteArray() << 3 << QStringLiteral("ab") << true;
    QTest::newRow("as long as the bound")
        << QStringLiteral("Пуск") << QByteArray() << 4 << QStringLiteral("Пуск") << false;
}

void tst_CaptionFormat::captionStart()
{
    QFETCH(QString, caption);
    QFETCH(QByteArray, data);
    QFETCH(int, length);
    QFETCH(QString, start);
    QFETCH(bool, cut);
    bool wasCut = !cut;
    QCOMPARE(formatCaptionStart(caption, data, length, &wasCut), start);
    QCOMPARE(wasCut, cut);
}

// Whether the fields read the data to its last byte: what says that a message rendered
// from the start of longer data may be cut.
void tst_CaptionFormat::dataReadToTheEnd_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("toTheEnd");
    QTest::newRow("a string without its zero") << QStringLiteral("#s") << QByteArray("abc") << true;
    QTest::newRow("a string and its zero") << QStringLiteral("#s") << QByteArray("abc\0d", 5) << false;
    QTest::newRow("a byte of two") << QStringLiteral("#u") << QByteArray("\x01\x02", 2) << false;
    QTest::newRow("the last byte") << QStringLiteral("#u #u") << QByteArray("\x01\x02", 2) << true;
    QTest::newRow("short of bytes") << QStringLiteral("#U") << QByteArray("\x01", 1) << true;
    QTest::newRow("no fields") << QStringLiteral("Пуск") << QByteArray("\x01", 1) << false;
    QTest::newRow("no data") << QStringLiteral("#u") << QByteArray() << false;
}

void tst_CaptionFormat::dataReadToTheEnd()
{
    QFETCH(QString, caption);
    QFETCH(QByteArray, data);
    QFETCH(bool, toTheEnd);
    bool cut = false;
    bool readToEnd = !toTheEnd;
    formatCaptionStart(caption, data, 100, &cut, &readToEnd);
    QCOMPARE(readToEnd, toTheEnd);
}

void tst_CaptionFormat::numbers()
{
    // The documented examples, one specifier each.
    addRow("#2.2U", "D2 04", "12.34");
    addRow("#.2u", "05", "0.05");
    addRow("#3u", "07", "007");
    addRow("#1u", "C8", "200");
    addRow("#+i", "00", "+0");
    addRow("#+.1i", "05", "+0.5");
    addRow("#+3.1I", "FA 00", "+025.0");
    addRow("#+i", "FB", "-5");
    addRow("#2.2j", "2E FB FF FF", "-12.34");
    addRow("#4X", "AB 00", "00AB");
    addRow("#4.X", "AB 00", "00AB");
    addRow("#h", "78 56 34 12", "12345678");
    addRow("#3f", "00 00 20 41", "010");

    // Widths of every size and the extremes of each type.
    addRow("#0u", "05", "5");
    addRow("#5L", "00 00 00 00 00 00 00 00", "00000");
    addRow("#L", "FF FF FF FF FF FF FF FF", "18446744073709551615");
    addRow("#l", "FF FF FF FF", "4294967295");
    addRow("#U", "34 12", "4660");
    addRow("#.3l", "39 30 00 00", "12.345");
    addRow("#i", "7F", "127");
    addRow("#i", "80", "-128");
    addRow("#I", "00 80", "-32768");
    addRow("#j", "FF FF FF FF", "-1");
    addRow("#J", "00 00 00 00 00 00 00 80", "-9223372036854775808");
    addRow("#+J", "FF FF FF FF FF FF FF 7F", "+9223372036854775807");
    addRow("#x", "00", "0");
    addRow("#3x", "0F", "00F");
    addRow("#H", "EF CD AB 89 67 45 23 01", "123456789ABCDEF");
    addRow("#F", "9A 99 99 99 99 49 93 40", "1234");
    addRow("#f", "66 66 26 C0", "-3");
    addRow("#f", "00 00 00 3F", QString::number(0.5, 'f', 0));

    // Negative values: the "-" counts toward the width, and a digit always
    // stands before the point.
    addRow("#i", "FB", "-5");
    addRow("#2i", "FB", "-5");
    addRow("#3i", "FB", "-05");
    addRow("#+3i", "FB", "-05");
    addRow("#.2i", "FB", "-0.05");
    addRow("#.2i", "F4", "-0.12");
    addRow("#6.2j", "2E FB FF FF", "-00012.34");
    addRow("#3f", "00 00 40 C0", "-03");
    addRow("#4F", "CD CC CC CC CC CC 04 C0", "-003");

    // Values that are no number keep the conversion's text, unpadded.
    addRow("#5f", "00 00 C0 7F", QString::number(qQNaN(), 'f', 0));
    addRow("#5f", "00 00 80 7F", "inf");
    addRow("#5F", "00 00 00 00 00 00 F0 FF", "-inf");
}

void tst_CaptionFormat::scan()
{
    addRow("Просто текст без полей", "01 02 03", "Просто текст без полей");
    addRow("", "01", "");
    addRow("Итого #5", "", "Итого 5");
    addRow("Итого #", "", "Итого ");
    addRow("50##", "", "50##");
    addRow("A##u", "07", "A#7");
    addRow("#3#u", "07", "#37");
    addRow("#u #u", "05", "5 " + dataError);
    addRow("#u", "01 02 03", "1");
    addRow("#u#u#u", "01 02 03", "123");
    // Cyrillic never ends a specifier, so it becomes part of the options.
    addRow("#Канал", "05", "Канал");
    addRow("#Кu", "05", formatError);
    // Inside backquotes "#" and format letters are plain characters.
    addRow("#`Auto``Manual`e", "01", "Manual");
    addRow("#`Режим #u`e", "00", "Режим #u");
    addRow("Открыто #`a#u", "05", "Открыто `a#u");
    addRow("#`x`", "", "`x`");
    // C and S end a specifier, render nothing and read nothing.
    addRow("a#Cb#5Sc", "01", "abc");
    addRow("#`x`C#u", "07", "7");
}

void tst_CaptionFormat::shortData()
{
    // Every letter that reads bytes fails alone on empty data.
    for (const char *caption : {"#i", "#I", "#j", "#J", "#u", "#U", "#l", "#L", "#x", "#X", "#h", "#H",
                                "#f", "#F", "#d", "#a", "#A", "#b", "#B", "#o", "#O", "#e", "#E"})
        addRow(caption, "", dataError);
    addRow("#c", "", "");
    addRow("#s", "", "");
    addRow("[#c#s]", "", "[]");

    // A short field takes the remaining bytes with it, so later fields fail
    // too instead of decoding from the wrong place.
    addRow("#I #c", "01", dataError + ' ');
    addRow("#j #u", "01 02 03", dataError + ' ' + dataError);
    addRow("#u #H #u", "01 02 03", "1 " + dataError + ' ' + dataError);
    addRow("#F", "00 00 00 00 00 00 F0", dataError);
    addRow("#d", "00 00 00", dataError);
    addRow("#B", "01", dataError);
    addRow("#`a``b`E", "01", dataError);
    // Bytes are checked before the options.
    addRow("#-5I", "01", dataError);
    addRow("#`a`,`b`E", "01", dataError);
}

void tst_CaptionFormat::invalidOptions()
{
    addRow("#-5i", "05", formatError);
    addRow("#-5i #u", "05 07", formatError + " 7");
    addRow("# u", "05", formatError);
    addRow("#`5`u", "05", formatError);
    for (const char letter : {'i', 'u', 'x', 'f'}) {
        const QByteArray data = letter == 'f' ? "00 00 20 41" : "05";
        addRow(QStringLiteral("#2.2.2") + QLatin1Char(letter), data.constData(), formatError);
        addRow(QStringLiteral("#1+") + QLatin1Char(letter), data.constData(), formatError);
        addRow(QStringLiteral("#++") + QLatin1Char(letter), data.constData(), formatError);
    }
    addRow("#+u", "05", formatError);
    addRow("#+L", "05 00 00 00 00 00 00 00", formatError);
    addRow("#+x", "05", formatError);
    addRow("#.2x", "05", formatError);
    addRow("#+3f", "00 00 20 41", formatError);
    addRow("#.1F", "00 00 00 00 00 00 00 00", formatError);
    // The bytes stay consumed, so the next field still reads its own.
    addRow("#.2x#u", "05 07", formatError + '7');
    addRow("#.2X#u", "05 00 07", formatError + '7');
}

void tst_CaptionFormat::characters()
{
    addRow("#c", "41", "A");
    addRow("#c#c", "41", "A");
    addRow("#c#u", "41 07", "A7");
    addRow("#c", "E9", "é");
    addRow("#s", "41 42 00 43", "AB");
    addRow("#s#c", "41 42 00 43", "ABC");
    addRow("#s", "41 42", "AB");
    addRow("#s|#s", "00 41 00 42", "|A");
    addRow("#s#u", "00 05", "5");
    addRow("#s", "C0 FF", "Àÿ");
    // The option text of c and s is ignored, even when it is no number.
    addRow("#-Шc", "41", "A");
}

void tst_CaptionFormat::flags()
{
    addRow("#a #a", "01 00", "Активный Неактивный");
    addRow("#A #A", "00 01 00 00", "Активный Неактивный");
    addRow("#b #b", "FF 00", "Да Нет");
    addRow("#B #B", "00 80 00 00", "Да Нет");
    addRow("#o #o", "02 00", "Вкл Выкл");
    addRow("#O #O", "01 00 00 00", "Вкл Выкл");
    addRow("#-7b", "01", "Да");
}

void tst_CaptionFormat::enumerations()
{
    const QString alarm = QStringLiteral("#`Норма``Авария`e");
    addRow(alarm, "00", "Норма");
    addRow(alarm, "01", "Авария");
    addRow(alarm, "02", unknownValue);

    const QString keyed = QStringLiteral("#5`Пять``Шесть`10`Десять`e");
    addRow(keyed, "05", "Пять");
    addRow(keyed, "06", "Шесть");
    addRow(keyed, "0A", "Десять");
    addRow(keyed, "07", unknownValue);
    addRow(keyed, "00", unknownValue);

    addRow("#e", "00", unknownValue);
    addRow("#``e", "00", "");
    addRow("#`a`0`b`e", "00", "b");
    addRow("#`a`1`b`e", "01", "b");
    addRow("#`a`2`b`e", "01", unknownValue);
    addRow("#`a`7e", "00", "a");
    addRow("#`a``b``c`E", "02 00", "c");
    addRow("#300`Много`E", "2C 01", "Много");
    // Keys count modulo 65536, however long their digits run.
    addRow("#65536`Ноль`e", "00", "Ноль");
    addRow("#65537`Один`E", "01 00", "Один");
    addRow("#4294967296`Ноль`e", "00", "Ноль");
    addRow("#99999999999999999999`Последний`E", "FF FF", "Последний");
    // Nothing but keys may stand between the entries.
    addRow("#`a` `b`e", "00", formatError);
    addRow("#`a`,`b`e", "00", formatError);
    addRow("#`a`z`b`e", "00", formatError);
    addRow("#+`a`e", "00", formatError);
    // An invalid list still consumes its byte.
    addRow("#`a`,`b`e#u", "00 07", formatError + '7');
}

void tst_CaptionFormat::dates()
{
    addRow("#d", "00 00 00 00", "01.01.2000 00:00:00");
    addRow("#d", "80 C8 4D 00", "29.02.2000 00:00:00");
    addRow("#d", "FF 84 E2 01", "31.12.2000 23:59:59");
    // The device counts 2100 as a leap year, and prints its year in full.
    addRow("#d", "00 DC 66 BC", "29.02.20100 00:00:00");
    addRow("#d", "FF FF FF FF", "06.02.20136 06:28:15");
    // The option text is ignored.
    addRow("#+-.5d", "00 00 00 00", "01.01.2000 00:00:00");
}

void tst_CaptionFormat::hostileOptions()
{
    // Widths and decimal counts stop at 255, so no caption makes a field of
    // more than a few hundred characters.
    addRow("#999999999u", "05", zeros(254) + '5');
    addRow("#99999999999999999999u", "05", zeros(254) + '5');
    addRow("#255u", "05", zeros(254) + '5');
    addRow("#256u", "05", zeros(254) + '5');
    addRow("#254u", "05", zeros(253) + '5');
    addRow("#.99999999999u", "05", "0." + zeros(254) + '5');
    addRow("#+99999.99999i", "00", '+' + zeros(255) + '.' + zeros(255));
    addRow("#99999.99999i", "FB", '-' + zeros(254) + '.' + zeros(254) + '5');
    addRow("#1000X", "AB 00", zeros(253) + "AB");
    addRow("#1000f", "00 00 20 41", zeros(253) + "10");
}

void tst_CaptionFormat::fieldOptions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("plus");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("decimals");

    QTest::newRow("empty") << "" << true << false << 1 << 0;
    QTest::newRow("plus alone") << "+" << true << true << 1 << 0;
    QTest::newRow("width") << "12" << true << false << 12 << 0;
    QTest::newRow("zero width") << "0" << true << false << 1 << 0;
    QTest::newRow("point only") << "." << true << false << 1 << 0;
    QTest::newRow("trailing point") << "4." << true << false << 4 << 0;
    QTest::newRow("both") << "+3.1" << true << true << 3 << 1;
    QTest::newRow("leading zeros") << "007.02" << true << false << 7 << 2;
    QTest::newRow("saturated") << "4294967296.4294967296" << true << false << 255 << 255;
    QTest::newRow("two points") << "2.2.2" << false << false << 1 << 0;
    QTest::newRow("late plus") << "1+" << false << false << 1 << 0;
    QTest::newRow("minus") << "-5" << false << false << 1 << 0;
    QTest::newRow("blank") << " 5" << false << false << 1 << 0;
    QTest::newRow("other digits") << QStringLiteral("\u0663") << false << false << 1 << 0;
}

void tst_CaptionFormat::fieldOptions()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(bool, plus);
    QFETCH(int, width);
    QFETCH(int, decimals);

    bool ok = !valid;
    const FieldOptions options = parseFieldOptions(text, &ok);
    QCOMPARE(ok, valid);
    if (valid) {
        QCOMPARE(options.plus, plus);
        QCOMPARE(options.width, width);
        QCOMPARE(options.decimals, decimals);
    }
}

void tst_CaptionFormat::enumerationList()
{
    bool ok = false;
    const QMap<quint16, QString> list = parseEnumeration(QStringLiteral("5`Пять``Шесть`10`Десять`"), &ok);
    QVERIFY(ok);
    QCOMPARE(list.keys(), (QList<quint16>{5, 6, 10}));
    QCOMPARE(list.value(6), QStringLiteral("Шесть"));

    parseEnumeration(QString(), &ok);
    QVERIFY(ok);

    // A caption cannot hand over an open text (its "e" would sit inside the
    // quotes), but a direct caller can; the list is refused rather than guessed.
    ok = true;
    QVERIFY(parseEnumeration(QStringLiteral("`a``b"), &ok).isEmpty());
    QVERIFY(!ok);
}

void tst_CaptionFormat::deviceTime_data()
{
    QTest::addColumn<uint>("seconds");
    QTest::addColumn<QString>("expected"); // year-month-day hour:minute:second, day of week

    QTest::newRow("epoch, a Saturday") << 0u << "2000-01-01 00:00:00 5";
    QTest::newRow("leap day 2000") << 5097600u << "2000-02-29 00:00:00 1";
    QTest::newRow("new year's eve 2000") << 31622399u << "2000-12-31 23:59:59 6";
    QTest::newRow("2001, a Monday") << 31622400u << "2001-01-01 00:00:00 0";
    QTest::newRow("march in a common year") << 36720000u << "2001-03-01 00:00:00 3";
    QTest::newRow("end of a leap year") << 157766400u << "2004-12-31 00:00:00 4";
    QTest::newRow("worked example") << 763825530u << "2024-03-15 13:45:30 4";
    QTest::newRow("2100 leaps on the device") << 3160857600u << "2100-02-29 00:00:00 0";
    QTest::newRow("last second") << 4294967295u << "2136-02-06 06:28:15 1";
}

void tst_CaptionFormat::deviceTime()
{
    QFETCH(uint, seconds);
    QFETCH(QString, expected);

    const DeviceTime t = deviceTimeFromSeconds(seconds);
    const QString text = QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d %d", 2000 + t.year, t.month, t.day, t.hour,
                                           t.minute, t.second, t.dayOfWeek);
    QCOMPARE(text, expected);
}

void tst_CaptionFormat::largestDouble()
{
    // The one field whose length no option bounds: 309 digits, still a few hundred.
    const QString text = formatCaption(QStringLiteral("#F"), QByteArray::fromHex("FF FF FF FF FF FF EF 7F"));
    QCOMPARE(text.size(), 309);
    QVERIFY(text.startsWith(QLatin1String("17976931348623157")));
}

// Captions straight from a broken or hostile device: any mix of the language's
// characters must render without a crash, a hang or a runaway field.
void tst_CaptionFormat::randomCaptions()
{
    static const QString alphabet = QStringLiteral("##``0123456789+.- iIjJuUlLxXhHfFdcCsSaAbBoOeEКаё°");
    // A field is at most a sign, 255 + 255 digits and a point; everything else
    // in a message is the caption's own text or the data's bytes.
    constexpr int longestField = 1 + 2 * MaxFieldDigits + 1;

    QRandomGenerator random(20240315);
    constexpr int rounds = 300000;
    QString caption;
    QByteArray data;
    for (int round = 0; round < rounds; ++round) {
        caption.clear();
        const int length = int(random.bounded(40));
        int hashes = 0;
        while (caption.size() < length) {
            // Now and then a long run of digits, to reach the width cap and
            // the wrapping enumeration keys.
            if (random.bounded(30) == 0) {
                for (int digits = int(random.bounded(4, 24)); digits > 0; --digits)
                    caption += QLatin1Char(char('0' + random.bounded(10)));
                continue;
            }
            const QChar c = alphabet.at(int(random.bounded(alphabet.size())));
            hashes += c == QLatin1Char('#');
            caption += c;
        }
        data.resize(int(random.bounded(round % 100 == 0 ? 237 : 24)));
        for (char &b : data)
            b = char(random.bounded(256));

        const QString message = formatCaption(caption, data);
        const int startLength = int(random.bounded(message.size() + 2));
        bool cut = false;
        if (formatCaptionStart(caption, data, startLength, &cut) != message.left(startLength)
            || cut != (message.size() > startLength))
            QFAIL(qPrintable(QStringLiteral("the first %1 characters of \"%2\" with %3")
                                 .arg(startLength)
                                 .arg(caption, QString::fromLatin1(data.toHex(' ')))));
        const int bound = caption.size() + 1 + hashes * longestField + data.size();
        if (message.size() > bound)
            QFAIL(qPrintable(QStringLiteral("%1 characters from \"%2\" with %3")
                                 .arg(message.size())
                                 .arg(caption, QString::fromLatin1(data.toHex(' ')))));
    }
}

QTEST_GUILESS_MAIN(tst_CaptionFormat)
#include "tst_captionformat.moc"
