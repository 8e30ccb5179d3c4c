// The Modbus RTU master: CRC, request framing, the handler table walk and reply checks.

#include "protocol/logtransfer.h"
#include "protocol/modbuscrc.h"
#include "protocol/modbusmaster.h"
#include "protocol/tickcount.h"

#include <QTest>

#include <algorithm>
#include <memory>

namespace {

const std::uint8_t *bytes(const QByteArray &frame)
{
    return reinterpret_cast<const std::uint8_t *>(frame.constData());
}

QByteArray withCrc(const QByteArray &frame)
{
    const std::uint16_t crc = modbusCrc(bytes(frame), static_cast<std::size_t>(frame.size()));
    return frame + char(crc & 0xFF) + char(crc >> 8);
}

// A handler whose builder answers a scripted code and counts its calls.
struct ScriptedBuilder {
    std::uint8_t function;
    RequestResult code = RequestNone;
    int calls = 0;
};

RequestResult scriptedBuild(void *context, std::uint8_t *frame, std::uint8_t *length)
{
    auto *builder = static_cast<ScriptedBuilder *>(context);
    ++builder->calls;
    if (builder->code == RequestSent) {
        frame[1] = builder->function;
        frame[2] = 0x55;
        *length = 3;
    }
    return builder->code;
}

ReplyResult acceptAll(void *, const std::uint8_t *, std::uint8_t)
{
    return ReplyAccepted;
}

std::uint32_t frozenTick()
{
    return 5000;
}

} // namespace

class tst_ModbusMaster : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void crc_data();
    void crc();
    void infoRequestFrame();
    void tableWalk();
    void processReply_data();
    void processReply();
    void exceptionMessages();
};

void tst_ModbusMaster::initTestCase()
{
    setTickCountSource(frozenTick);
}

void tst_ModbusMaster::cleanupTestCase()
{
    setTickCountSource(nullptr);
}

void tst_ModbusMaster::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("crc");

    QTest::newRow("check string") << QByteArray("123456789") << 0x4B37u;
    QTest::newRow("nothing") << QByteArray() << 0xFFFFu;
    QTest::newRow("info request") << QByteArray::fromHex("014200") << 0xA010u;
    // A frame followed by its own CRC, low byte first, checks to 0.
    QTest::newRow("frame with its crc") << QByteArray::fromHex("014200 10a0") << 0u;
    QTest::newRow("check string with crc") << QByteArray("123456789\x37\x4B") << 0u;
}

void tst_ModbusMaster::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, crc);
    QCOMPARE(uint(modbusCrc(bytes(data), static_cast<std::size_t>(data.size()))), crc);
}

void tst_ModbusMaster::infoRequestFrame()
{
    LogTransfer transfer;
    const ModbusFunctionHandler table[] = {transfer.functionHandler()};
    ModbusMaster master;
    master.handlerTable = table;
    master.entryCount = 1;

    std::uint8_t frame[256] = {};
    std::uint8_t length = 0;
    QCOMPARE(master.buildRequest(frame, &length), RequestSent);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(frame), length), QByteArray::fromHex("014200 10a0"));
    QCOMPARE(master.currentEntry, &table[0]);
}

void tst_ModbusMaster::tableWalk()
{
    ScriptedBuilder first{0x41}, silent{0x44}, second{0x42}, third{0x43};
    ModbusFunctionHandler table[] = {
        {0x41, acceptAll, scriptedBuild, &first},
        {0x44, acceptAll, nullptr, &silent}, // no builder: skipped
        {0x42, acceptAll, scriptedBuild, &second},
        {0x43, nullptr, scriptedBuild, &third}, // no response handler: never pending
    };
    ModbusMaster master;
    master.deviceAddress = 9;
    master.handlerTable = table;
    master.entryCount = 4;
    std::uint8_t frame[256] = {};
    std::uint8_t length = 0;

    // Nothing anywhere: every builder asked once, nothing written.
    QCOMPARE(master.buildRequest(frame, &length), RequestNone);
    QCOMPARE(length, std::uint8_t(0));
    QCOMPARE(first.calls + second.calls + third.calls, 3);

    // The first entry that sends becomes pending; the frame gets address and CRC.
    second.code = RequestSent;
    QCOMPARE(master.buildRequest(frame, &length), RequestSent);
    QCOMPARE(master.currentEntry, &table[2]);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(frame), length), withCrc(QByteArray::fromHex("094255")));
    QCOMPARE(third.calls, 1);

    // A waiting pending entry holds the line: nobody else is asked.
    first.code = RequestSent;
    second.code = RequestWaiting;
    QCOMPARE(master.buildRequest(frame, &length), RequestWaiting);
    QCOMPARE(length, std::uint8_t(0));
    QCOMPARE(master.currentEntry, &table[2]);
    QCOMPARE(first.calls, 2);

    // A pending entry with nothing to send is released, then asked again in the walk.
    first.code = RequestNone;
    second.code = RequestNone;
    const int secondCalls = second.calls;
    QCOMPARE(master.buildRequest(frame, &length), RequestNone);
    QCOMPARE(second.calls, secondCalls + 2);
    QVERIFY(!master.currentEntry);

    // A verdict other than 0 ends the walk.
    first.code = RequestNoReply;
    const int thirdCalls = third.calls;
    QCOMPARE(master.buildRequest(frame, &length), RequestNoReply);
    QCOMPARE(third.calls, thirdCalls);
    QVERIFY(!master.currentEntry);

    // A sender without response handler leaves nothing pending, so its reply is stray.
    first.code = RequestNone;
    third.code = RequestSent;
    QCOMPARE(master.buildRequest(frame, &length), RequestSent);
    QVERIFY(!master.currentEntry);
    const QByteArray reply = withCrc(QByteArray::fromHex("094300"));
    QCOMPARE(master.processReply(bytes(reply), std::uint8_t(reply.size())), ReplyUnexpected);
}

void tst_ModbusMaster::processReply_data()
{
    QTest::addColumn<uint>("masterAddress");
    QTest::addColumn<bool>("pending");
    QTest::addColumn<QByteArray>("frame"); // as received, CRC included
    QTest::addColumn<uint>("result");
    QTest::addColumn<bool>("stillPending");
    QTest::addColumn<bool>("reachedTransfer");

    const QByteArray info = QByteArray::fromHex("0542 00 0300 11223344 55667788");
    const QByteArray infoFrom7 = QByteArray::fromHex("0742 00 0300 11223344 55667788");
    const QByteArray infoFrom0 = QByteArray::fromHex("0042 00 0300 11223344 55667788");
    QByteArray badCrc = withCrc(info);
    badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x01);

    QTest::newRow("answer") << 5u << true << withCrc(info) << 0u << false << true;
    QTest::newRow("empty frame") << 5u << true << QByteArray() << 0x82u << true << false;
    QTest::newRow("one byte") << 5u << true << QByteArray("\x05", 1) << 0x82u << true << false;
    QTest::newRow("crc error") << 5u << true << badCrc << 0x82u << true << false;
    QTest::newRow("one byte before the crc") << 5u << true << withCrc(QByteArray("\x05", 1)) << 0x81u << true << false;
    QTest::newRow("foreign address") << 5u << true << withCrc(infoFrom7) << 0x81u << true << false;
    QTest::newRow("master address 0 takes any") << 0u << true << withCrc(infoFrom7) << 0u << false << true;
    QTest::newRow("reply address 0") << 5u << true << withCrc(infoFrom0) << 0u << false << true;
    QTest::newRow("nothing pending") << 5u << false << withCrc(info) << 0x81u << false << false;
    QTest::newRow("other function code") << 5u << true << withCrc(QByteArray::fromHex("0503 00 0300 11223344 55667788"))
                                         << 0x81u << true << false;
    QTest::newRow("rejected by the transfer: wrong length")
        << 5u << true << withCrc(QByteArray::fromHex("0542 00 0300")) << 0x81u << true << false;
    QTest::newRow("exception 2 ends the transaction")
        << 5u << true << withCrc(QByteArray::fromHex("05c202")) << 2u << false << false;
    QTest::newRow("exception 6 keeps it pending")
        << 5u << true << withCrc(QByteArray::fromHex("05c206")) << 6u << true << false;
}

void tst_ModbusMaster::processReply()
{
    QFETCH(uint, masterAddress);
    QFETCH(bool, pending);
    QFETCH(QByteArray, frame);
    QFETCH(uint, result);
    QFETCH(bool, stillPending);
    QFETCH(bool, reachedTransfer);

    LogTransfer transfer;
    const ModbusFunctionHandler table[] = {transfer.functionHandler()};
    ModbusMaster master;
    master.deviceAddress = std::uint8_t(masterAddress);
    master.handlerTable = table;
    master.entryCount = 1;
    if (pending) {
        std::uint8_t request[256] = {};
        std::uint8_t length = 0;
        QCOMPARE(master.buildRequest(request, &length), RequestSent);
    }

    // The frame sits at the end of its own allocation, so a read past it is caught
    // by the address sanitizer.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[std::size_t(frame.size())]);
    std::copy(frame.cbegin(), frame.cend(), exact.get());
    QCOMPARE(uint(master.processReply(exact.get(), std::uint8_t(frame.size()))), result);
    QCOMPARE(master.currentEntry != nullptr, stillPending);
    // An accepted info reply moves the transfer on; anything else leaves it asking.
    QCOMPARE(transfer.state() == LogTransfer::ReadRange, reachedTransfer);
}

void tst_ModbusMaster::exceptionMessages()
{
    QCOMPARE(QString::fromUtf8(modbusExceptionMessage(exceptionResult(1))), QStringLiteral("Неподдерживаемая функция"));
    QCOMPARE(QString::fromUtf8(modbusExceptionMessage(exceptionResult(2))),
             QStringLiteral("Недопустимый номер регистра"));
    QCOMPARE(QString::fromUtf8(modbusExceptionMessage(exceptionResult(3))),
             QStringLiteral("Недопустимый значение регистра"));
    QCOMPARE(QString::fromUtf8(modbusExceptionMessage(exceptionResult(4))),
             QStringLiteral("Внутреняя ошибка устройства"));
    QCOMPARE(QString::fromUtf8(modbusExceptionMessage(exceptionResult(7))),
             QStringLiteral("Устройство не может выполнить занную команду"));
    QCOMPARE(QString::fromUtf8(modbusExceptionMessage(exceptionResult(8))),
             QStringLiteral("Ошибка внешней памяти устройства"));
    // Busy, code 5 and the master's own results end nothing and show nothing.
    for (std::uint8_t code : {0, 5, 6, 9, 0x81, 0x82})
        QVERIFY2(!modbusExceptionMessage(exceptionResult(code)), QByteArray::number(code));
}

QTEST_GUILESS_MAIN(tst_ModbusMaster)
#include "tst_modbusmaster.moc"
