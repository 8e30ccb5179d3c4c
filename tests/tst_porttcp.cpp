// The network ports' pure parts: their URLs, and the conversion of RTU frames to
// Modbus TCP ADUs and back.

#include "link/porttcp.h"

#include "protocol/modbuscrc.h"

#include <QTest>

Q_DECLARE_METATYPE(PortTransport)

namespace {

std::vector<std::uint8_t> bytes(const QByteArray &hex)
{
    const QByteArray raw = QByteArray::fromHex(hex);
    return std::vector<std::uint8_t>(raw.begin(), raw.end());
}

QByteArray hexOf(const std::vector<std::uint8_t> &data)
{
    return QByteArray(reinterpret_cast<const char *>(data.data()), int(data.size())).toHex(' ');
}

// An RTU frame with its CRC appended, from the hex of address and PDU.
std::vector<std::uint8_t> rtuFrame(const QByteArray &hex)
{
    std::vector<std::uint8_t> frame = bytes(hex);
    const std::uint16_t crc = modbusCrc(frame.data(), frame.size());
    frame.push_back(std::uint8_t(crc & 0xFF));
    frame.push_back(std::uint8_t(crc >> 8));
    return frame;
}

} // namespace

class tst_PortTcp : public QObject
{
    Q_OBJECT

private slots:
    void parsesPortNames_data();
    void parsesPortNames();
    void choosesTheTableByName();
    void wrapsRequests_data();
    void wrapsRequests();
    void scansReceivedStreams_data();
    void scansReceivedStreams();
    void unwrapsReplies_data();
    void unwrapsReplies();
};

void tst_PortTcp::parsesPortNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<PortTransport>("transport");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("unit");

    const auto raw = PortTransport::RtuOverTcp;
    const auto mb = PortTransport::ModbusTcp;
    QTest::newRow("raw ipv4") << "tcp://192.168.1.20:4001" << true << raw << "192.168.1.20" << 4001 << -1;
    QTest::newRow("raw name") << "tcp://gateway.local:502" << true << raw << "gateway.local" << 502 << -1;
    QTest::newRow("mbap default unit") << "mbtcp://127.0.0.1:502" << true << mb << "127.0.0.1" << 502 << -1;
    QTest::newRow("mbap unit") << "mbtcp://10.0.0.1:502/7" << true << mb << "10.0.0.1" << 502 << 7;
    QTest::newRow("mbap unit 0") << "mbtcp://h:1/0" << true << mb << "h" << 1 << 0;
    QTest::newRow("mbap unit 255") << "mbtcp://h:65535/255" << true << mb << "h" << 65535 << 255;
    QTest::newRow("ipv6") << "mbtcp://[::1]:502/7" << true << mb << "::1" << 502 << 7;
    QTest::newRow("raw ipv6") << "tcp://[fe80::1]:4001" << true << raw << "fe80::1" << 4001 << -1;

    QTest::newRow("serial path") << "/dev/ttyUSB0" << false << PortTransport::Serial << "" << 0 << -1;
    QTest::newRow("com port") << "COM3" << false << PortTransport::Serial << "" << 0 << -1;
    QTest::newRow("no port") << "tcp://host" << false << raw << "" << 0 << -1;
    QTest::newRow("empty port") << "tcp://host:" << false << raw << "" << 0 << -1;
    QTest::newRow("port 0") << "tcp://host:0" << false << raw << "" << 0 << -1;
    QTest::newRow("port too big") << "tcp://host:65536" << false << raw << "" << 0 << -1;
    QTest::newRow("port not a number") << "tcp://host:50x" << false << raw << "" << 0 << -1;
    QTest::newRow("signed port") << "tcp://host:+50" << false << raw << "" << 0 << -1;
    QTest::newRow("no host") << "tcp://:502" << false << raw << "" << 0 << -1;
    QTest::newRow("unit on raw") << "tcp://host:502/7" << false << raw << "" << 0 << -1;
    QTest::newRow("unit too big") << "mbtcp://host:502/256" << false << mb << "" << 0 << -1;
    QTest::newRow("empty unit") << "mbtcp://host:502/" << false << mb << "" << 0 << -1;
    QTest::newRow("bare ipv6") << "mbtcp://::1:502" << false << mb << "" << 0 << -1;
    QTest::newRow("unclosed bracket") << "mbtcp://[::1:502" << false << mb << "" << 0 << -1;
    QTest::newRow("bracketed name") << "tcp://[host]:502" << false << raw << "" << 0 << -1;
    QTest::newRow("ipv6 without port") << "tcp://[::1]" << false << raw << "" << 0 << -1;
    QTest::newRow("path after port") << "tcp://host:502/x" << false << raw << "" << 0 << -1;
}

void tst_PortTcp::parsesPortNames()
{
    QFETCH(QString, name);
    QFETCH(bool, valid);
    QFETCH(PortTransport, transport);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, unit);

    QCOMPARE(portTransportOf(name.toStdString()), transport);
    NetworkPortAddress address;
    QCOMPARE(parseNetworkPort(name.toStdString(), &address), valid);
    if (!valid)
        return;
    QCOMPARE(address.transport, transport);
    QCOMPARE(QString::fromStdString(address.host), host);
    QCOMPARE(int(address.port), port);
    QCOMPARE(address.unit, unit);
}

void tst_PortTcp::choosesTheTableByName()
{
    QCOMPARE(&portMethodsFor("tcp://127.0.0.1:1"), &rtuOverTcpPort());
    QCOMPARE(&portMethodsFor("mbtcp://127.0.0.1:1/3"), &modbusTcpPort());
    QCOMPARE(&portMethodsFor("/dev/pts/3"), &platformSerialPort());
    QCOMPARE(&portMethodsFor("ttyUSB0"), &platformSerialPort());
}

void tst_PortTcp::wrapsRequests_data()
{
    QTest::addColumn<QByteArray>("request"); // address and PDU; the CRC is added
    QTest::addColumn<int>("transaction");
    QTest::addColumn<int>("unit");
    QTest::addColumn<QByteArray>("adu");

    QTest::newRow("unit from the address")
        << QByteArray("11 03 00 6b 00 03") << 1 << -1 << QByteArray("00 01 00 00 00 06 11 03 00 6b 00 03");
    QTest::newRow("unit given") << QByteArray("11 03 00 6b 00 03") << 0x1234 << 7
                                << QByteArray("12 34 00 00 00 06 07 03 00 6b 00 03");
    QTest::newRow("function code only") << QByteArray("01 07") << 0xFFFF << -1 << QByteArray("ff ff 00 00 00 02 01 07");
}

void tst_PortTcp::wrapsRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(int, transaction);
    QFETCH(int, unit);
    QFETCH(QByteArray, adu);

    const std::vector<std::uint8_t> frame = rtuFrame(request);
    QCOMPARE(hexOf(mbapWrap(frame.data(), frame.size(), std::uint16_t(transaction), unit)), hexOf(bytes(adu)));
}

void tst_PortTcp::scansReceivedStreams_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("scan");
    QTest::addColumn<int>("aduLength");

    const int more = int(MbapScan::NeedMore), complete = int(MbapScan::Complete), invalid = int(MbapScan::Invalid);
    QTest::newRow("nothing") << QByteArray("") << more << 0;
    QTest::newRow("half a header") << QByteArray("00 01 00") << more << 0;
    QTest::newRow("header without pdu") << QByteArray("00 01 00 00 00 05 11") << more << 0;
    QTest::newRow("whole reply") << QByteArray("00 01 00 00 00 05 11 03 02 00 2a") << complete << 11;
    QTest::newRow("reply and the next one's start")
        << QByteArray("00 01 00 00 00 03 11 83 02 00 02 00") << complete << 9;
    QTest::newRow("protocol not modbus") << QByteArray("00 01 00 01") << invalid << 0;
    QTest::newRow("length without function") << QByteArray("00 01 00 00 00 01 11") << invalid << 0;
    QTest::newRow("length beyond any pdu") << QByteArray("00 01 00 00 00 ff") << invalid << 0;
    QTest::newRow("largest pdu, incomplete") << QByteArray("00 01 00 00 00 fe 11") << more << 0;
}

void tst_PortTcp::scansReceivedStreams()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, scan);
    QFETCH(int, aduLength);

    const std::vector<std::uint8_t> data = bytes(stream);
    std::size_t length = 0;
    QCOMPARE(int(mbapScan(data.data(), data.size(), &length)), scan);
    if (scan == int(MbapScan::Complete))
        QCOMPARE(int(length), aduLength);
}

void tst_PortTcp::unwrapsReplies_data()
{
    QTest::addColumn<QByteArray>("adu");
    QTest::addColumn<int>("transaction");
    QTest::addColumn<int>("address");
    QTest::addColumn<QByteArray>("frame"); // address and PDU, CRC added; empty: dropped

    QTest::newRow("answer") << QByteArray("00 05 00 00 00 05 11 03 02 00 2a") << 5 << 0x11
                            << QByteArray("11 03 02 00 2a");
    QTest::newRow("exception") << QByteArray("00 05 00 00 00 03 11 83 02") << 5 << 0x11 << QByteArray("11 83 02");
    QTest::newRow("unit given: the request's address returns")
        << QByteArray("ab cd 00 00 00 03 07 83 02") << 0xABCD << 0x11 << QByteArray("11 83 02");
    QTest::newRow("stale transaction") << QByteArray("00 04 00 00 00 05 11 03 02 00 2a") << 5 << 0x11 << QByteArray();
    QTest::newRow("other byte of transaction") << QByteArray("01 05 00 00 00 03 11 83 02") << 5 << 0x11 << QByteArray();
}

void tst_PortTcp::unwrapsReplies()
{
    QFETCH(QByteArray, adu);
    QFETCH(int, transaction);
    QFETCH(int, address);
    QFETCH(QByteArray, frame);

    const std::vector<std::uint8_t> data = bytes(adu);
    const std::vector<std::uint8_t> unwrapped = mbapUnwrap(data.data(), data.size(), std::uint16_t(transaction),
                                                           std::uint8_t(address));
    QCOMPARE(hexOf(unwrapped), frame.isEmpty() ? QByteArray() : hexOf(rtuFrame(frame)));
    if (!unwrapped.empty())
        QCOMPARE(modbusCrc(unwrapped.data(), unwrapped.size()), std::uint16_t(0));
}

QTEST_APPLESS_MAIN(tst_PortTcp)
#include "tst_porttcp.moc"
