// Tests of the address lists that khronar-fetch and the device simulator take.

#include "protocol/addresslist.h"

#include <QStringList>
#include <QTest>

class tst_AddressList : public QObject
{
    Q_OBJECT

private slots:
    void addressList_data();
    void addressList();
};

void tst_AddressList::addressList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("addresses"); // or the start of the error

    const QString notAnAddress = QStringLiteral("wants a whole number from 1 to 255");
    QTest::newRow("one") << QStringLiteral("7") << QStringLiteral("7");
    QTest::newRow("list") << QStringLiteral("1,2,3") << QStringLiteral("1 2 3");
    QTest::newRow("range") << QStringLiteral("7-9") << QStringLiteral("7 8 9");
    QTest::newRow("list and range, in the order given") << QStringLiteral("3,1,7-9") << QStringLiteral("3 1 7 8 9");
    QTest::newRow("blanks around numbers") << QStringLiteral("12, 1,4-5") << QStringLiteral("12 1 4 5");
    QTest::newRow("one-address range") << QStringLiteral("5-5") << QStringLiteral("5");
    QTest::newRow("top of the range") << QStringLiteral("250-255") << QStringLiteral("250 251 252 253 254 255");
    QStringList all;
    for (int a = 1; a <= 255; ++a)
        all << QString::number(a);
    QTest::newRow("whole range") << QStringLiteral("1-255") << all.join(QLatin1Char(' '));
    QTest::newRow("broadcast address") << QStringLiteral("0") << notAnAddress;
    QTest::newRow("past 255") << QStringLiteral("1,256") << notAnAddress;
    QTest::newRow("far past 255") << QStringLiteral("1000") << notAnAddress;
    QTest::newRow("backwards range") << QStringLiteral("9-7") << notAnAddress;
    QTest::newRow("open range") << QStringLiteral("7-") << notAnAddress;
    QTest::newRow("empty item") << QStringLiteral("1,,2") << notAnAddress;
    QTest::newRow("word") << QStringLiteral("one") << notAnAddress;
    QTest::newRow("sign") << QStringLiteral("+5") << notAnAddress;
    QTest::newRow("empty") << QString() << notAnAddress;
    QTest::newRow("listed twice") << QStringLiteral("1-3,2") << QStringLiteral("names device 2 twice");
}

void tst_AddressList::addressList()
{
    QFETCH(QString, text);
    QFETCH(QString, addresses);
    std::vector<std::uint8_t> parsed;
    std::string error;
    const bool ok = parseAddressList(text.toStdString(), &parsed, &error);
    QStringList numbers;
    for (std::uint8_t address : parsed)
        numbers << QString::number(address);
    if (addresses.at(0).isDigit()) {
        QVERIFY2(ok, error.c_str());
        QVERIFY(error.empty());
        QCOMPARE(numbers.join(QLatin1Char(' ')), addresses);
    } else {
        QVERIFY(!ok);
        QVERIFY(parsed.empty());
        QVERIFY2(QString::fromStdString(error).startsWith(addresses), error.c_str());
    }
}

QTEST_APPLESS_MAIN(tst_AddressList)
#include "tst_addresslist.moc"
