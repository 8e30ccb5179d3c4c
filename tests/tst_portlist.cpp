// The ports offered to the user: the system's with the stable names of USB adapters
// beside them, from a folder standing in for /dev/serial/by-id.

#include "portlist/portlist.h"
#include "portlist/stableports.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_PortList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void stableNamesBesideTheirPorts_data();
    void stableNamesBesideTheirPorts();
    void offeredAfterTheNamedPorts();
    void shownByTheSystemsName_data();
    void shownByTheSystemsName();

private:
    QString devices() const { return dir.filePath(QStringLiteral("dev")); }
    QString byId() const { return dir.filePath(QStringLiteral("by-id")); }
    QString link(const char *name) const { return QDir(byId()).filePath(QLatin1String(name)); }

    QTemporaryDir dir;
};

void tst_PortList::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QDir().mkpath(devices()) && QDir().mkpath(byId()));
    // Stand-ins for the devices, and udev's links to them, relative as udev makes them.
    for (const char *device : {"ttyS0", "ttyUSB0", "ttyUSB1", "ttyACM0"}) {
        QFile file(QDir(devices()).filePath(QLatin1String(device)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const struct {
        const char *name;
        const char *target;
    } links[] = {
        {"usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "../dev/ttyUSB1"},
        {"usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0", "../dev/ttyUSB0"},
        {"usb-Silicon_Labs_CP2102_0001-if00-port0", "../dev/ttyUSB0"},
        {"usb-Arduino_Uno_7503-if00", "../dev/ttyACM0"},
        {"usb-Unplugged_Adapter-if00-port0", "../dev/ttyUSB7"},
    };
    for (const auto &entry : links)
        QVERIFY(QFile::link(QLatin1String(entry.target), link(entry.name)));
}

void tst_PortList::stableNamesBesideTheirPorts_data()
{
    QTest::addColumn<QStringList>("systemPorts");
    QTest::addColumn<bool>("withLinks");
    QTest::addColumn<QStringList>("offered");

    const QString ftdi = link("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    const QString prolific = link("usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0");
    const QString silabs = link("usb-Silicon_Labs_CP2102_0001-if00-port0");
    const QString arduino = link("usb-Arduino_Uno_7503-if00");
    // Each adapter's stable name right before the port it leads to, two of them in the
    // order of their names; a link to a device the system does not list comes last;
    // the link to an unplugged adapter is left out.
    QTest::newRow("every port") << QStringList{"ttyS0", "ttyUSB0", "ttyUSB1", "ttyACM0"} << true
                                << QStringList{"ttyS0", prolific,  silabs,  "ttyUSB0",
                                               ftdi,    "ttyUSB1", arduino, "ttyACM0"};
    QTest::newRow("a device the system does not list")
        << QStringList{"ttyUSB1", "ttyS0"} << true << QStringList{ftdi, "ttyUSB1", "ttyS0", arduino, prolific, silabs};
    QTest::newRow("no adapters") << QStringList{"ttyS0"} << false << QStringList{"ttyS0"};
    QTest::newRow("no ports") << QStringList() << false << QStringList();
}

void tst_PortList::stableNamesBesideTheirPorts()
{
    QFETCH(QStringList, systemPorts);
    QFETCH(bool, withLinks);
    QFETCH(QStringList, offered);
#ifdef Q_OS_WIN
    QSKIP("udev's stable links are Linux's: Windows keeps a port's COM number itself");
#endif

    QList<SystemPort> ports;
    for (const QString &name : systemPorts)
        ports.append({name, QDir(devices()).filePath(name)});
    // A machine without USB adapters has no such folder at all.
    const QString folder = withLinks ? byId() : dir.filePath(QStringLiteral("no-such-folder"));
    QCOMPARE(withStableNames(ports, folder), offered);
}

void tst_PortList::offeredAfterTheNamedPorts()
{
    qputenv("KHRONAR_PORTS", "/dev/pts/3:tcp://127.0.0.1:5020");
    const QStringList offered = availablePortNames(byId());
    qunsetenv("KHRONAR_PORTS");
    // None of the stand-ins is a port of this machine: their links come last, in the
    // order of the first name of each.
#ifdef Q_OS_WIN
    // Windows lists every serial port itself: only the network port is taken.
    QCOMPARE(offered.mid(0, 1), QStringList({"tcp://127.0.0.1:5020"}));
    QSKIP("udev's stable links are Linux's: Windows keeps a port's COM number itself");
#else
    QCOMPARE(offered.mid(0, 2), QStringList({"/dev/pts/3", "tcp://127.0.0.1:5020"}));
#endif
    QCOMPARE(offered.mid(offered.size() - 4),
             QStringList({link("usb-Arduino_Uno_7503-if00"), link("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"),
                          link("usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0"),
                          link("usb-Silicon_Labs_CP2102_0001-if00-port0")}));
}

// A port is shown by the name the system gives it, and opened by its own name.
void tst_PortList::shownByTheSystemsName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("label");

    QTest::newRow("friendly name with the port")
        << "COM5" << QString::fromUtf8("USB-SERIAL CH340 (COM5)") << QString::fromUtf8("USB-SERIAL CH340 (COM5)");
    QTest::newRow("description without the port")
        << "COM3" << QString::fromUtf8("Последовательный порт") << QString::fromUtf8("Последовательный порт (COM3)");
    QTest::newRow("no description") << "COM12" << QString() << "COM12";
    QTest::newRow("no description on Linux") << "ttyS0" << QString() << "ttyS0";
}

void tst_PortList::shownByTheSystemsName()
{
    QFETCH(QString, name);
    QFETCH(QString, description);
    QFETCH(QString, label);

    qunsetenv("KHRONAR_PORTS");
    const QList<SystemPort> ports = {{QStringLiteral("COM1"), QStringLiteral("\\\\.\\COM1")},
                                     {name, QStringLiteral("\\\\.\\") + name, description}};
    const QList<PortChoice> offered = offeredPorts(ports, dir.filePath(QStringLiteral("no-such-folder")));
    QCOMPARE(offered.size(), 2);
    QCOMPARE(offered[0].name, QStringLiteral("COM1"));
    QCOMPARE(offered[0].label, QStringLiteral("COM1"));
    QCOMPARE(offered[1].name, name);
    QCOMPARE(offered[1].label, label);
}

QTEST_GUILESS_MAIN(tst_PortList)
#include "tst_portlist.moc"
