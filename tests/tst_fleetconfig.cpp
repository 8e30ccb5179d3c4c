// Tests of fleet files: what a sound one holds, and where a wrong one is wrong.

#include "fetch/fleetconfig.h"

#include <QTemporaryDir>
#include <QTest>

class tst_FleetConfig : public QObject
{
    Q_OBJECT

private slots:
    void soundFile();
    void mistakes_data();
    void mistakes();
    void unreadableFile();
    void alertRules();
};

namespace {

// The lines and devices of `config` as "[line] port baud parity stop: address=name ...".
QStringList describe(const FleetConfig &config)
{
    QStringList out;
    for (const FleetLine &line : config.lines) {
        QStringList devices;
        for (const FleetDevice &device : line.devices)
            devices << QStringLiteral("%1=%2").arg(device.address).arg(device.name);
        out << QStringLiteral("[%1] %2 %3 %4 %5: %6")
                   .arg(line.name, line.port)
                   .arg(line.baudRate)
                   .arg(line.parity)
                   .arg(line.stopBits)
                   .arg(devices.join(QLatin1Char(' ')));
    }
    return out;
}

} // namespace

void tst_FleetConfig::soundFile()
{
    const QByteArray text = "; the collector of the eastern district\n"
                            "[store]\n"
                            "db=/var/lib/khronar/{device}.db        ; a file per device\n"
                            "\n"
                            "[substation-7]                        ; every other section is a line\n"
                            "port=tcp://10.0.7.2:4001\n"
                            "baud=19200\n"
                            "parity=even\n"
                            "stop=1\n"
                            "devices=1=feeder-1, 2=feeder-2, 7-9=relay-{address}\n"
                            "# a USB adapter, left at the defaults\n"
                            "[bench]\n"
                            "port = /dev/serial/by-id/usb-FTDI_FT232R-if00-port0\n"
                            "devices = 12 = meter\n"
                            "[pump-house]\n"
                            "port=mbtcp://[fe80::10]:502/7\n"
                            "baud=115200\n"
                            "parity=none\n"
                            "stop=2\n"
                            "devices=1=pump#1\n";
    const FleetConfigResult result = parseFleetConfig(text, QStringLiteral("fleet.ini"));
    QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
    QCOMPARE(result.config.db, QStringLiteral("/var/lib/khronar/{device}.db"));
    QCOMPARE(describe(result.config),
             QStringList({"[substation-7] tcp://10.0.7.2:4001 19200 2 0: 1=feeder-1 2=feeder-2 7=relay-7 8=relay-8 "
                          "9=relay-9",
                          "[bench] /dev/serial/by-id/usb-FTDI_FT232R-if00-port0 19200 2 0: 12=meter",
                          "[pump-house] mbtcp://[fe80::10]:502/7 115200 0 2: 1=pump#1"}));
    QCOMPARE(pathForDevice(result.config.db, QStringLiteral("relay-8")), QStringLiteral("/var/lib/khronar/relay-8.db"));
}

void tst_FleetConfig::mistakes_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");

    const QByteArray store = "[store]\ndb=/srv/{device}.db\n";
    QTest::newRow("unknown key") << store + "[a]\nport=/dev/ttyS0\nbauds=9600\ndevices=1=x\n"
                                 << "fleet.ini:5: unknown key \"bauds\"";
    QTest::newRow("unknown store key") << QByteArray("[store]\ndb=x{device}\ncsv=y\n[a]\nport=p\ndevices=1=x\n")
                                       << "fleet.ini:3: unknown key \"csv\" in [store]";
    QTest::newRow("bad address range") << store + "[a]\nport=p\ndevices=9-7=relay-{address}\n"
                                       << "fleet.ini:5: the address \"9-7\"";
    QTest::newRow("address 0") << store + "[a]\nport=p\ndevices=0=broadcast\n"
                               << "fleet.ini:5: the address \"0\"";
    QTest::newRow("range without {address}") << store + "[a]\nport=p\ndevices=1-3=relay\n"
                                             << "fleet.ini:5: the devices 1-3 would all be called \"relay\"";
    QTest::newRow("two devices with one name")
        << store + "[a]\nport=p\ndevices=1=feeder\n[b]\nport=q\ndevices=2=pump, 3=feeder\n"
        << "fleet.ini:8: two devices are called \"feeder\" (the other on line 5)";
    QTest::newRow("one address twice on a line") << store + "[a]\nport=p\ndevices=1=x, 1-2=y{address}\n"
                                                 << "fleet.ini:5: address 1 is given twice";
    QTest::newRow("section without a port") << store + "[a]\nbaud=9600\ndevices=1=x\n[b]\nport=q\ndevices=2=y\n"
                                            << "fleet.ini:3: line [a] has no port";
    QTest::newRow("last section without a port") << store + "[a]\nport=p\ndevices=1=x\n[b]\ndevices=2=y\n"
                                                 << "fleet.ini:6: line [b] has no port";
    QTest::newRow("line without devices") << store + "[a]\nport=p\n"
                                          << "fleet.ini:3: line [a] has no devices";
    QTest::newRow("bad rate") << store + "[a]\nport=p\nbaud=9601\ndevices=1=x\n"
                              << "fleet.ini:5: baud wants one of 1200";
    QTest::newRow("bad parity") << store + "[a]\nport=p\nparity=mark\ndevices=1=x\n"
                                << "fleet.ini:5: parity wants none, odd or even, not \"mark\"";
    QTest::newRow("one and a half stop bits") << store + "[a]\nport=p\nstop=1.5\ndevices=1=x\n"
                                              << "fleet.ini:5: stop 1.5";
    QTest::newRow("key set twice") << store + "[a]\nport=p\nport=q\ndevices=1=x\n"
                                   << "fleet.ini:5: port is set twice";
    QTest::newRow("section twice") << store + "[a]\nport=p\ndevices=1=x\n[a]\nport=q\ndevices=2=y\n"
                                   << "fleet.ini:6: section [a] is there twice (first on line 3)";
    QTest::newRow("setting before a section") << QByteArray("db=x\n") + store << "fleet.ini:1: \"db\" stands before";
    QTest::newRow("no equals sign") << store + "[a]\nport\n"
                                    << "fleet.ini:4: a setting is written KEY=VALUE";
    QTest::newRow("broken section") << store + "[a\n"
                                    << "fleet.ini:3: a section is written [NAME]";
    QTest::newRow("no store") << QByteArray("[a]\nport=p\ndevices=1=x\n") << "fleet.ini:1: no [store]";
    QTest::newRow("no lines") << store << "fleet.ini:3: no line";
    QTest::newRow("one file for several devices") << QByteArray("[store]\ndb=/srv/all.db\n[a]\nport=p\n"
                                                                "devices=1=x, 2=y\n")
                                                  << "fleet.ini:2: db must hold {device}";
    QByteArray many = store;
    for (int n = 0; n <= int(MaxFleetLines); ++n)
        many += QStringLiteral("[line-%1]\nport=tcp://10.0.0.1:%2\ndevices=1=d%1\n").arg(n).arg(4000 + n).toUtf8();
    const QByteArray line = "[a]\nport=p\ndevices=1=x\n";
    QTest::newRow("alert key without a rule") << store + line + "[alerts]\ntypes=error\n"
                                              << "fleet.ini:7: a rule's setting is written NAME.KEY=VALUE";
    QTest::newRow("alert unknown key") << store + line + "[alerts]\nr.types=error\nr.journal=err\nr.mail=x\n"
                                       << "fleet.ini:9: unknown key \"r.mail\"";
    QTest::newRow("alert bad type") << store + line + "[alerts]\nr.types=error, fatal\nr.journal=err\n"
                                    << "fleet.ini:7: r.types wants info, warning, error or change (or 0 to 3), not "
                                       "\"fatal\"";
    QTest::newRow("alert bad regex") << store + line + "[alerts]\nr.message=(unclosed\nr.journal=err\n"
                                     << "fleet.ini:7: r.message is no regular expression";
    QTest::newRow("alert bad priority") << store + line + "[alerts]\nr.types=error\nr.journal=loud\n"
                                        << "fleet.ini:8: r.journal wants a priority";
    QTest::newRow("alert bad timeout") << store + line + "[alerts]\nr.types=error\nr.command=x\nr.timeout=0\n"
                                       << "fleet.ini:9: r.timeout wants 1 to 3600 seconds";
    QTest::newRow("alert bad history") << store + line + "[alerts]\nr.types=error\nr.journal=err\nr.history=1\n"
                                       << "fleet.ini:9: r.history wants yes or no";
    QTest::newRow("alert too many at once") << store + line + "[alerts]\ncommands=0\n"
                                            << "fleet.ini:7: commands wants 1 to 64";
    QTest::newRow("alert takes every record") << store + line + "[alerts]\nr.journal=err\n"
                                              << "fleet.ini:7: rule r takes every record";
    QTest::newRow("alert does nothing") << store + line + "[alerts]\nr.types=error\nr.history=yes\n"
                                        << "fleet.ini:7: rule r does nothing";
    QTest::newRow("alert empty command") << store + line + "[alerts]\nr.types=error\nr.command=\n"
                                         << "fleet.ini:8: r.command is empty";
    QTest::newRow("too many lines") << many << QStringLiteral("fleet.ini:%1: more than 256 lines").arg(3 + 3 * 256);
}

void tst_FleetConfig::mistakes()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    const FleetConfigResult result = parseFleetConfig(text, QStringLiteral("fleet.ini"));
    QVERIFY2(result.error.startsWith(error), qPrintable(result.error));
    QVERIFY(result.config.lines.empty());
}

void tst_FleetConfig::unreadableFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("missing.ini"));
    const FleetConfigResult result = readFleetConfig(path);
    QVERIFY2(result.error.startsWith(path + QStringLiteral(": ")), qPrintable(result.error));
}

// [alerts] is no line: its rules, each from its NAME.KEY settings in any order, and how
// many commands may run at once.
void tst_FleetConfig::alertRules()
{
    const QByteArray text = "[store]\ndb=/srv/{device}.db\n"
                            "[alerts]\n"
                            "commands=2\n"
                            "breaker.types=error, warning\n"
                            "breaker.message=^авария\\b\n"
                            "breaker.journal=crit\n"
                            "pager.command=/usr/local/bin/page \"grid team\" --urgent\n"
                            "pager.types=2\n"
                            "pager.timeout=5\n"
                            "pager.history=yes\n"
                            "note.message=пуск\n"
                            "note.journal=6\n"
                            "[a]\nport=p\ndevices=1=x\n";
    const FleetConfigResult result = parseFleetConfig(text, QStringLiteral("fleet.ini"));
    QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
    QCOMPARE(int(result.config.lines.size()), 1);
    QCOMPARE(result.config.alertCommandsAtOnce, 2);
    const std::vector<AlertRule> &rules = result.config.alerts;
    QCOMPARE(int(rules.size()), 3);
    QCOMPARE(rules[0].name, QStringLiteral("breaker"));
    QCOMPARE(rules[0].types, 0b0110u);
    // In any case, as --grep --regex.
    QVERIFY(rules[0].message.match(QStringLiteral("АВАРИЯ насоса")).hasMatch());
    QVERIFY(!rules[0].message.match(QStringLiteral("нет аварии")).hasMatch());
    QCOMPARE(rules[0].journalPriority, 2);
    QVERIFY(rules[0].command.isEmpty());
    QVERIFY(!rules[0].history);
    QCOMPARE(rules[0].timeoutSeconds, 30);
    // A command is split as a shell would split words in double quotes, and no shell runs it.
    QCOMPARE(rules[1].command, QStringList({"/usr/local/bin/page", "grid team", "--urgent"}));
    QCOMPARE(rules[1].types, 0b0100u);
    QCOMPARE(rules[1].journalPriority, -1);
    QCOMPARE(rules[1].timeoutSeconds, 5);
    QVERIFY(rules[1].history);
    QCOMPARE(rules[2].types, 0u);
    QCOMPARE(rules[2].journalPriority, 6);
}

QTEST_GUILESS_MAIN(tst_FleetConfig)
#include "tst_fleetconfig.moc"
