// khronar-fetch: its command line in-process, and the program end to end against the
// device simulator on pseudo-terminals, as a script runs it.

#include "fetch/fetchoptions.h"
#include "logaccess/csvexport.h"
#include "logaccess/openlog.h"
#include "portlist/portlist.h"
#include "protocol/devicetime.h"
#include "protocol/modbusmaster.h"

#include "tests/support/csvfixture.h"
#include "tests/support/fetchprocess.h"
#include "tests/support/logfixture.h"
#include "tests/support/samplelog.h"
#include "tests/support/simulatorprocess.h"
#include "tests/support/stationlogs.h"
#include "tests/support/tcppeers.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QBuffer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {

// The rows a download of BaseLog stores: index, count, type, time, event, data.
const QStringList BaseRows = {
    "100|1|0|2024-03-15 13:45:30|1|01", "101|1|1|2024-03-15 13:45:31|2|D204", "102|3|2|2024-03-15 13:45:32|3|0201",
    "105|1|3|2024-03-15 13:45:33|9|",   "108|1|0|2024-03-15 13:45:34|1|02",   "109|1|0|2024-03-15 13:45:35|2|1027",
};

const QString &RowsSql = LogFixture::RecordRowsSql;
using LogFixture::fileRows;

const QStringList GrownRows = BaseRows
    + QStringList{"110|1|0|2024-03-16 08:00:00|1|03", "111|1|1|2024-03-16 08:00:01|2|2C01",
                  "112|1|2|2024-03-16 08:00:02|3|0100"};

// A new firmware: event 9 now has a caption, and one more record of it.
QString changedEventSetLog()
{
    QString json = QString::fromUtf8(BaseLog);
    json.replace(QStringLiteral("\"captions\": ["),
                 QStringLiteral("\"captions\": [ { \"event\": 9, \"text\": \"Смена режима\" },"));
    json.replace(QStringLiteral("\"data\": \"10 27\" }"),
                 QStringLiteral("\"data\": \"10 27\" },\n"
                                "    { \"event\": 9, \"type\": 3, \"time\": \"2024-03-16 08:00:00\" }"));
    return json;
}

// What the window's export writes for the log file at `path`.
QByteArray windowExport(const QString &path, const QString &csvPath)
{
    if (auto log = OpenLog::open(LogLocation::file(path), OpenLog::Purpose::View))
        (void)log.value()->exportCsv(csvPath);
    QFile file(csvPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("not written");
}

} // namespace

class tst_Fetch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandLine_data();
    void commandLine();

    void helpVersionAndPorts();
    void freshFileHoldsTheDeviceLog_data();
    void freshFileHoldsTheDeviceLog();
    void secondRunAppendsOnlyWhatIsNew();
    void changedEventSet_data();
    void changedEventSet();
    void askedOnATerminal_data();
    void askedOnATerminal();
    void clearEmptiesTheDeviceAfterTheDownload();
    void followPrintsNewRecords();
    void followCarriesOnWhenThePortComesBack_data();
    void followCarriesOnWhenThePortComesBack();
    void interruptedDownloadResumesExactly();
    void exitCodes_data();
    void exitCodes();
    void busReadsEveryDeviceInTurn();
    void gatewayRefusedOrLost();
    void exportFilter_data();
    void exportFilter();
    void exportWithoutADevice_data();
    void exportWithoutADevice();
    void exportOfWhatCannotBeExported_data();
    void exportOfWhatCannotBeExported();
    void mergedExport_data();
    void mergedExport();
    void mergedExportFaults_data();
    void mergedExportFaults();

private:
    QString file(const QString &name) const { return dir->filePath(name); }
    bool startDevice(const QString &json, const QStringList &options = {});
    FetchResult fetch(const QStringList &arguments, const QString &port = QString());
    QStringList fetchArguments(const QString &port) const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<SimulatorProcess> device;
    int logs = 0;
};

void tst_Fetch::init()
{
    dir = std::make_unique<QTemporaryDir>();
    device = std::make_unique<SimulatorProcess>(QStringLiteral(KHRONAR_DEVSIM));
}

void tst_Fetch::cleanup()
{
    device.reset();
    dir.reset();
}

bool tst_Fetch::startDevice(const QString &json, const QStringList &options)
{
    const QString logPath = file(QStringLiteral("device%1.json").arg(++logs));
    return writeDeviceLog(logPath, json)
        && device->start(
            QStringList{QStringLiteral("--log"), logPath, QStringLiteral("--baud"), QStringLiteral("115200")}
            + options);
}

QStringList tst_Fetch::fetchArguments(const QString &port) const
{
    return {QStringLiteral("--port"), port, QStringLiteral("--baud"), QStringLiteral("115200")};
}

FetchResult tst_Fetch::fetch(const QStringList &arguments, const QString &port)
{
    QProcess process;
    process.start(QStringLiteral(KHRONAR_FETCH), (port.isEmpty() ? QStringList() : fetchArguments(port)) + arguments);
    process.closeWriteChannel();
    return finishFetch(process);
}

// Null error: the command line is sound. Otherwise a part of the message.
void tst_Fetch::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    const QStringList base = {"--port", "ttyUSB0", "--db", "site.db"};
    QTest::newRow("defaults") << base << QString();
    QTest::newRow("every option") << QStringList{"--port",          "/dev/ttyS1", "--db",      "s-{address}.db",
                                                 "--baud",          "230400",     "--parity",  "odd",
                                                 "--stop",          "2",          "--address", "1,3,7-12",
                                                 "--update-config", "yes",        "--csv",     "s-{address}.csv",
                                                 "--clear",         "--quiet"}
                                  << QString();
    QTest::newRow("help alone") << QStringList{"--help"} << QString();
    QTest::newRow("list ports alone") << QStringList{"--list-ports"} << QString();
    QTest::newRow("unknown option") << base + QStringList{"--fast"} << "fast";
    QTest::newRow("stray argument") << base + QStringList{"now"} << "now";
    QTest::newRow("no port") << QStringList{"--db", "site.db"} << "--port";
    QTest::newRow("no db") << QStringList{"--port", "ttyUSB0"} << "--db";
    QTest::newRow("rate not offered") << base + QStringList{"--baud", "56000"} << "--baud";
    QTest::newRow("rate not a number") << base + QStringList{"--baud", "fast"} << "--baud";
    QTest::newRow("parity") << base + QStringList{"--parity", "mark"} << "--parity";
    QTest::newRow("one and a half stop bits") << base + QStringList{"--stop", "1.5"} << "1.5";
    QTest::newRow("three stop bits") << base + QStringList{"--stop", "3"} << "--stop";
    QTest::newRow("address 0") << base + QStringList{"--address", "0"} << "--address";
    QTest::newRow("address list") << base + QStringList{"--address", "1,x"} << "--address";
    QTest::newRow("update-config") << base + QStringList{"--update-config", "maybe"} << "--update-config";
    QTest::newRow("one db for a bus") << base + QStringList{"--address", "1,2"} << "{address}";
    QTest::newRow("one csv for a bus") << QStringList{"--port",    "ttyUSB0", "--db",  "s-{address}.db",
                                                      "--address", "1,2",     "--csv", "all.csv"}
                                       << "{address}";
    // A bus is followed device by device.
    QTest::newRow("follow a bus") << QStringList{"--port",    "ttyUSB0", "--db",    "s-{address}.db",
                                                 "--address", "1-2",     "--follow"}
                                  << QString();
    QTest::newRow("reconnect") << base + QStringList{"--reconnect", "0"} << QString();
    QTest::newRow("reconnect not a number") << base + QStringList{"--reconnect", "soon"} << "--reconnect";
    QTest::newRow("summary") << base + QStringList{"--summary", "json"} << QString();
    QTest::newRow("summary of another kind") << base + QStringList{"--summary", "xml"} << "--summary";
    QTest::newRow("fleet") << QStringList{"--config", "fleet.ini", "--follow", "--summary", "json"} << QString();
    QTest::newRow("fleet with a port") << QStringList{"--config", "fleet.ini", "--port", "ttyUSB0"}
                                       << "--port does not go with --config";
    QTest::newRow("fleet with addresses")
        << QStringList{"--config", "fleet.ini", "--address", "1"} << "--address does not go with --config";
    QTest::newRow("fleet with metrics") << QStringList{"--config", "fleet.ini", "--follow", "--metrics-file",
                                                       "/tmp/khronar.prom"}
                                        << QString();
    QTest::newRow("metrics without a fleet")
        << base + QStringList{"--metrics-file", "/tmp/khronar.prom"} << "--metrics-file goes with --config";
    QTest::newRow("metrics to no file") << QStringList{"--config", "fleet.ini", "--metrics-file", ""}
                                        << "--metrics-file wants a file's path";
    QTest::newRow("follow and clear") << base + QStringList{"--follow", "--clear"} << "--clear";

    // Without a port: an export of the file alone.
    const QStringList exported = {"--db", "site.db", "--csv", "site.csv"};
    QTest::newRow("export") << exported << QString();
    QTest::newRow("export, every filter")
        << exported + QStringList{"--type",           "error,2,Warning", "--from", "2024-03-15", "--to",
                                  "2024-03-16 08:00", "--grep",          "насос",  "--regex"}
        << QString();
    QTest::newRow("export without csv") << QStringList{"--db", "site.db", "--type", "error"} << "--port";
    QTest::newRow("export without db") << QStringList{"--csv", "site.csv"} << "--db";
    QTest::newRow("filter of a download") << base + QStringList{"--grep", "x"} << "without --port";
    QTest::newRow("line option without port") << exported + QStringList{"--baud", "9600"} << "--baud needs --port";
    QTest::newRow("follow without port") << exported + QStringList{"--follow"} << "--follow needs --port";
    QTest::newRow("type unknown") << exported + QStringList{"--type", "error,fatal"} << "fatal";
    QTest::newRow("type empty") << exported + QStringList{"--type", ""} << "--type";
    QTest::newRow("from not a time") << exported + QStringList{"--from", "yesterday"} << "--from";
    QTest::newRow("to with a bad second") << exported + QStringList{"--to", "2024-03-15 13:45:61"} << "--to";
    QTest::newRow("regex without grep") << exported + QStringList{"--regex"} << "--grep";
    QTest::newRow("regex that does not compile") << exported + QStringList{"--grep", "насос (", "--regex"} << "--grep";

    // Several log files: exported merged.
    const QStringList merged = {"--db", "a/site-1.db", "--db", "b/site-2.db", "--csv", "station.csv"};
    QTest::newRow("merged export") << merged << QString();
    QTest::newRow("merged export, every filter")
        << merged + QStringList{"--type", "error", "--from", "2024-03-15", "--grep", "насос", "--regex"} << QString();
    QTest::newRow("two files of one name") << QStringList{"--db", "a/site.db", "--db", "b/site.db", "--csv", "m.csv"}
                                           << "--db \"a/site.db\" and \"b/site.db\" are both the device \"site\"";
    QTest::newRow("one file twice") << QStringList{"--db", "site.db", "--db", "site.db", "--csv", "m.csv"}
                                    << "are both the device \"site\"";
    QTest::newRow("a server among files")
        << merged + QStringList{"--db", "postgresql://db/k", "--device", "pump"} << "for log files only";
    QTest::newRow("an empty file name among files") << merged + QStringList{"--db", ""} << "--db is required";
    QTest::newRow("a pattern for files") << merged + QStringList{"--device-like", "site-%"}
                                         << "--device-like goes with a server URL";
    QTest::newRow("two files for a download") << base + QStringList{"--db", "other.db"} << "a download takes one --db";
    QTest::newRow("a pattern for a download")
        << QStringList{"--port", "ttyUSB0", "--db", "postgresql://db/k", "--device-like", "pump%"}
        << "a download takes one --db";
    QTest::newRow("a pattern for a fleet")
        << QStringList{"--config", "fleet.ini", "--device-like", "pump%"} << "--device-like does not go with --config";
}

void tst_Fetch::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    const FetchCommandLine parsed = parseFetchCommandLine(arguments);
    if (error.isNull())
        QCOMPARE(parsed.error, QString());
    else
        QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
}

void tst_Fetch::helpVersionAndPorts()
{
    const FetchResult help = fetch({"--help"});
    QCOMPARE(help.exitCode, 0);
    const QString text = QString::fromLocal8Bit(help.out);
    for (const char *option :
         {"--port",   "--db",    "--baud",  "--parity",     "--stop",    "--address",     "--update-config", "--csv",
          "--follow", "--clear", "--quiet", "--list-ports", "--help",    "--version",     "--type",          "--from",
          "--to",     "--grep",  "--regex", "--config",     "--summary", "--metrics-file"})
        QVERIFY2(text.contains(QLatin1String(option)), option);
    for (const char *exitCode : {"\n  0 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  6 ", "\n  130 "})
        QVERIFY2(text.contains(QLatin1String(exitCode)), exitCode);

    const FetchResult version = fetch({"--version"});
    QCOMPARE(version.exitCode, 0);
    QVERIFY2(version.out.startsWith("khronar-fetch ("), version.out.constData());

    // The window's list: the ports named in KHRONAR_PORTS, then the system's.
    qputenv("KHRONAR_PORTS", "/tmp/khronar-a::/dev/pts/77");
    const FetchResult ports = fetch({"--list-ports"});
    const QStringList expected = availablePortNames();
    qunsetenv("KHRONAR_PORTS");
    QCOMPARE(ports.exitCode, 0);
    QCOMPARE(expected.mid(0, 2), QStringList({"/tmp/khronar-a", "/dev/pts/77"}));
    QCOMPARE(QString::fromLocal8Bit(ports.out), expected.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

// The same download on a serial line and through both kinds of gateway.
void tst_Fetch::freshFileHoldsTheDeviceLog_data()
{
    QTest::addColumn<QStringList>("deviceOptions");
    QTest::newRow("pseudo-terminal") << QStringList();
    QTest::newRow("RTU over TCP") << QStringList{"--tcp", "0"};
    QTest::newRow("Modbus TCP") << QStringList{"--tcp", "0", "--mbap"};
}

void tst_Fetch::freshFileHoldsTheDeviceLog()
{
    QFETCH(QStringList, deviceOptions);
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), deviceOptions));
    const FetchResult run = fetch({"--db", file("new.db"), "--csv", file("new.csv")}, device->path);
    QCOMPARE(run.exitCode, 0);
    // Standard error is no terminal: no progress, and nothing went wrong.
    QCOMPARE(run.err, QString());
    QCOMPARE(run.out, QByteArray());

    QCOMPARE(fileRows(file("new.db"), RowsSql), BaseRows);
    QCOMPARE(fileRows(file("new.db"), "SELECT id, type, caption FROM Events ORDER BY id"),
             QStringList({"1|0|Пуск насоса #u", "2|0|Давление #2.2U бар", "3|0|Канал #u: #`Норма``Авария`e"}));
    QCOMPARE(fileRows(file("new.db"), "SELECT count(*) FROM Info WHERE idHash IS NOT NULL AND captionHash IS NOT NULL"),
             QStringList{"1"});

    // The CSV is the window's export of the same file, byte for byte.
    QFile csv(file("new.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QByteArray written = csv.readAll();
    QCOMPARE(written, windowExport(file("new.db"), file("window.csv")));
    QCOMPARE(written.count('\n'), 6);
    QVERIFY(written.contains(
        QStringLiteral("\"2024-03-15 13:45:31\";\"Предупреждение\";\"Давление 12.34 бар\"\n").toLocal8Bit()));
}

void tst_Fetch::secondRunAppendsOnlyWhatIsNew()
{
    QVERIFY(startDevice(QString::fromUtf8(BaseLog)));
    QCOMPARE(fetch({"--db", file("log.db")}, device->path).exitCode, 0);
    // The file is untouched by a run that finds nothing new.
    QCOMPARE(fetch({"--db", file("log.db")}, device->path).exitCode, 0);
    QCOMPARE(fileRows(file("log.db"), RowsSql), BaseRows);
    const QStringList info = fileRows(file("log.db"), "SELECT idHash, captionHash FROM Info");

    // The device has logged three more records since.
    QVERIFY(startDevice(grownLog()));
    const FetchResult run = fetch({"--db", file("log.db")}, device->path);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    QCOMPARE(fileRows(file("log.db"), RowsSql), GrownRows);
    QCOMPARE(fileRows(file("log.db"), "SELECT idHash, captionHash FROM Info"), info);
}

void tst_Fetch::changedEventSet_data()
{
    QTest::addColumn<QStringList>("option");
    QTest::addColumn<bool>("updated");
    QTest::addColumn<QString>("warning");

    QTest::newRow("yes") << QStringList{"--update-config", "yes"} << true << QString();
    QTest::newRow("no") << QStringList{"--update-config", "no"} << false << QString();
    // Standard input is no terminal: nobody to ask.
    QTest::newRow("not asked") << QStringList() << false
                               << QStringLiteral("Конфигурация журнала устройства отличается от открытого журнала");
}

void tst_Fetch::changedEventSet()
{
    QFETCH(QStringList, option);
    QFETCH(bool, updated);
    QFETCH(QString, warning);

    QVERIFY(startDevice(QString::fromUtf8(BaseLog)));
    QCOMPARE(fetch({"--db", file("log.db")}, device->path).exitCode, 0);
    const QStringList oldInfo = fileRows(file("log.db"), "SELECT idHash, captionHash FROM Info");

    QVERIFY(startDevice(changedEventSetLog()));
    const FetchResult run = fetch(QStringList{"--db", file("log.db")} + option, device->path);
    QCOMPARE(run.exitCode, 0);
    if (warning.isEmpty())
        QCOMPARE(run.err, QString());
    else
        QVERIFY2(run.err.startsWith(QStringLiteral("khronar-fetch: адрес 1: ") + warning), qPrintable(run.err));

    // The new record is stored either way.
    QCOMPARE(fileRows(file("log.db"), RowsSql), BaseRows + QStringList{"110|1|3|2024-03-16 08:00:00|9|"});
    const QStringList newInfo = fileRows(file("log.db"), "SELECT idHash, captionHash FROM Info");
    if (updated) {
        QVERIFY(newInfo != oldInfo);
        QCOMPARE(fileRows(file("log.db"), "SELECT caption FROM Events WHERE id = 9"), QStringList{"Смена режима"});
    } else {
        QCOMPARE(newInfo, oldInfo);
        QCOMPARE(fileRows(file("log.db"), "SELECT caption FROM Events WHERE id = 9"), QStringList());
    }
}

void tst_Fetch::askedOnATerminal_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("updated");

    QTest::newRow("y") << QByteArray("y\n") << true;
    QTest::newRow("да") << QStringLiteral("да\n").toLocal8Bit() << true;
    QTest::newRow("Enter") << QByteArray("\n") << false;
    QTest::newRow("n") << QByteArray("n\n") << false;
}

// Run inside script(1), standard input and error are a terminal: the window's
// question is asked there, and the progress line is drawn.
void tst_Fetch::askedOnATerminal()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, updated);
    // script(1) comes with every Debian system (bsdutils).
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    QVERIFY(!script.isEmpty());

    QVERIFY(startDevice(QString::fromUtf8(BaseLog)));
    QCOMPARE(fetch({"--db", file("log.db")}, device->path).exitCode, 0);
    QVERIFY(startDevice(changedEventSetLog()));

    QStringList command{QStringLiteral(KHRONAR_FETCH)};
    command << fetchArguments(device->path) << "--db" << file("log.db");
    for (QString &word : command)
        word = QLatin1Char('\'') + word + QLatin1Char('\'');
    QProcess process;
    process.start(script, {"-qec", command.join(QLatin1Char(' ')), "/dev/null"});
    QByteArray shown;
    QTRY_VERIFY_WITH_TIMEOUT((shown += process.readAllStandardOutput()).contains("(y/N)"), 20000);
    QVERIFY2(shown.contains(QStringLiteral("Обновление конфигурации журнала\r\n"
                                           "Конфигурация журнала устройства отличается от открытого журнала.\r\n"
                                           "Обновить конфигурацию? (y/N)")
                                .toLocal8Bit()),
             shown.constData());
    process.write(answer);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    shown += process.readAllStandardOutput();
    QVERIFY2(shown.contains(QStringLiteral("адрес 1: новых записей 1 за ").toLocal8Bit()), shown.constData());
    QCOMPARE(fileRows(file("log.db"), "SELECT caption FROM Events WHERE id = 9"),
             updated ? QStringList{"Смена режима"} : QStringList());
    QCOMPARE(fileRows(file("log.db"), "SELECT count(*) FROM Log"), QStringList{"7"});
}

void tst_Fetch::clearEmptiesTheDeviceAfterTheDownload()
{
    QVERIFY(startDevice(QString::fromUtf8(BaseLog)));
    const FetchResult run = fetch({"--db", file("log.db"), "--clear"}, device->path);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.err, QString());
    QCOMPARE(fileRows(file("log.db"), RowsSql), BaseRows);

    // A new file now gets nothing from the device, and the old one keeps its rows.
    QCOMPARE(fetch({"--db", file("new.db")}, device->path).exitCode, 0);
    QCOMPARE(fileRows(file("new.db"), RowsSql), QStringList());
    QCOMPARE(fetch({"--db", file("log.db")}, device->path).exitCode, 0);
    QCOMPARE(fileRows(file("log.db"), RowsSql), BaseRows);
}

void tst_Fetch::followPrintsNewRecords()
{
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {"--append-every", "1"}));
    QProcess process;
    process.start(QStringLiteral(KHRONAR_FETCH),
                  fetchArguments(device->path) + QStringList{"--db", file("log.db"), "--follow"});
    process.closeWriteChannel();
    QByteArray printed;
    QTRY_VERIFY_WITH_TIMEOUT((printed += process.readAllStandardOutput()).count('\n') >= 2, 20000);
    QVERIFY(process.state() == QProcess::Running);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 130);
    printed += process.readAllStandardOutput();
    QCOMPARE(process.readAllStandardError(), QByteArray());

    // What was printed is the CSV of records stored after the first download, in
    // the order stored, and nothing of that download.
    const QList<QByteArray> all = windowExport(file("log.db"), file("all.csv")).split('\n');
    const QList<QByteArray> lines = printed.left(printed.size() - 1).split('\n');
    const int first = all.indexOf(lines.first());
    QVERIFY2(first >= BaseRows.size(), printed.constData());
    QCOMPARE(all.mid(first, lines.size()), lines);
}

// The port goes in the middle of a followed download and is back two seconds later:
// a USB adapter's stable name (a link) that vanishes and returns on another device
// node, or a gateway that restarts on its address. The run carries on by itself and
// the file ends up holding the whole log, each record once.
void tst_Fetch::followCarriesOnWhenThePortComesBack_data()
{
    QTest::addColumn<bool>("gateway");
    QTest::newRow("unplugged adapter") << false;
    QTest::newRow("restarted gateway") << true;
}

void tst_Fetch::followCarriesOnWhenThePortComesBack()
{
    QFETCH(bool, gateway);
    QStringList expected;
    const QString json = longDeviceLog(300, &expected);
    // A gateway comes back on the same address: a port that was free a moment ago.
    quint16 tcpPort = 0;
    if (gateway) {
        TcpListener probe;
        tcpPort = probe.port;
    }
    const QStringList where = gateway ? QStringList{"--tcp", QString::number(tcpPort)} : QStringList();
    const QString link = file("usb-FTDI_FT232R-if00-port0");
    auto plugIn = [&] {
        return startDevice(json, where + QStringList{"--delay", "2"}) && (gateway || QFile::link(device->path, link));
    };
    QVERIFY(plugIn());
    const QString port = gateway ? device->path : link;

    QProcess process;
    process.start(QStringLiteral(KHRONAR_FETCH),
                  fetchArguments(port) + QStringList{"--db", file("log.db"), "--follow"});
    process.closeWriteChannel();
    auto stored = [this] { return LogFixture::recordCount(file("log.db")); };
    QTRY_VERIFY_WITH_TIMEOUT(stored() >= 20 || process.state() == QProcess::NotRunning, 30000);
    QVERIFY(process.state() == QProcess::Running);

    device->stop();
    QVERIFY(gateway || QFile::remove(link));
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += process.readAllStandardError()).contains("повторное подключение"), 10000);
    QVERIFY2(stored() < expected.size(), qPrintable(QString::number(stored())));
    QTest::qWait(2000);
    QVERIFY(process.state() == QProcess::Running);
    QVERIFY(plugIn());

    QTRY_COMPARE_WITH_TIMEOUT(stored(), int(expected.size()), 60000);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 130);
    said += process.readAllStandardError();
    const QString text = QString::fromLocal8Bit(said);
    QVERIFY2(text.startsWith(QStringLiteral("khronar-fetch: Потеряна связь с портом \"%1\"").arg(port)),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("khronar-fetch: связь с портом \"%1\" восстановлена\n").arg(port)),
             qPrintable(text));
    QCOMPARE(fileRows(file("log.db"), RowsSql), expected);
}

void tst_Fetch::interruptedDownloadResumesExactly()
{
    QStringList expected;
    QVERIFY(startDevice(longDeviceLog(500, &expected)));
    QProcess process;
    process.start(QStringLiteral(KHRONAR_FETCH), fetchArguments(device->path) + QStringList{"--db", file("log.db")});
    process.closeWriteChannel();
    auto stored = [this] { return LogFixture::recordCount(file("log.db")); };
    QTRY_VERIFY_WITH_TIMEOUT(stored() >= 20 || process.state() == QProcess::NotRunning, 30000);
    QVERIFY(process.state() == QProcess::Running);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 130);
    QCOMPARE(process.readAllStandardError(), QByteArray());
    const QStringList first = fileRows(file("log.db"), RowsSql);
    QVERIFY2(first.size() > 0 && first.size() < expected.size(), qPrintable(QString::number(first.size())));
    QCOMPARE(first, expected.mid(0, first.size()));

    // The next run goes on after the last record stored: nothing lost, nothing twice.
    QCOMPARE(fetch({"--db", file("log.db")}, device->path).exitCode, 0);
    QCOMPARE(fileRows(file("log.db"), RowsSql), expected);
}

void tst_Fetch::exitCodes_data()
{
    QTest::addColumn<bool>("withDevice");
    QTest::addColumn<QStringList>("deviceOptions");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    QTest::newRow("usage") << false << QStringList()
                           << QStringList{"--port", "/dev/null", "--db", "x.db", "--baud", "1000"} << 2
                           << "khronar-fetch: --baud wants";
    QTest::newRow("port cannot be opened")
        << false << QStringList() << QStringList{"--port", "/dev/khronar-no-such-port", "--db", "x.db"} << 3
        << "khronar-fetch: Не удается открыть порт \"/dev/khronar-no-such-port\": порт не найден\n";
    QTest::newRow("device exception") << true << QStringList{"--exception", "2"} << QStringList() << 4
                                      << QStringLiteral("khronar-fetch: адрес 1: ")
            + QString::fromUtf8(modbusExceptionMessage(exceptionResult(ExceptionIllegalDataAddress)));
    QTest::newRow("no reply") << true << QStringList{"--silent"} << QStringList() << 5
                              << "khronar-fetch: адрес 1: Устройство не отвечает";
    QTest::newRow("log file") << true << QStringList() << QStringList{"--db", "missing/dir/x.db"} << 6
                              << "khronar-fetch: адрес 1: ";
    QTest::newRow("csv file") << true << QStringList() << QStringList{"--csv", "missing/dir/x.csv"} << 6
                              << "khronar-fetch: адрес 1: Не удается записать файл \"";
}

void tst_Fetch::exitCodes()
{
    QFETCH(bool, withDevice);
    QFETCH(QStringList, deviceOptions);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    QString port;
    if (withDevice) {
        QVERIFY(startDevice(QString::fromUtf8(BaseLog), deviceOptions));
        port = device->path;
    }
    if (!arguments.contains("--db"))
        arguments << "--db"
                  << "log.db";
    for (QString &argument : arguments) {
        if (argument.endsWith(".db") || argument.endsWith(".csv"))
            argument = file(argument);
    }
    const FetchResult run = fetch(arguments, port);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.startsWith(message), qPrintable(run.err));
    QVERIFY2(run.err.count(QLatin1Char('\n')) <= 2, qPrintable(run.err));
}

void tst_Fetch::busReadsEveryDeviceInTurn()
{
    QStringList longRows;
    const QString second = longDeviceLog(5, &longRows);
    QVERIFY(writeDeviceLog(file("one.json"), QString::fromUtf8(BaseLog)));
    QVERIFY(writeDeviceLog(file("three.json"), second));
    // Devices 1 and 3 on the line; 2 never answers. The simulator lists every request
    // it hears.
    const QString trace = file("bus.trace");
    device->setErrorFile(trace);
    QVERIFY(device->start({"--baud", "115200", "--address", "1,3", "--log", "1=" + file("one.json"), "--log",
                           "3=" + file("three.json"), "--verbose"}));

    QElapsedTimer clock;
    clock.start();
    const FetchResult run = fetch(
        {"--address", "1-3", "--db", file("site-{address}.db"), "--csv", file("site-{address}.csv")}, device->path);
    qInfo("the bus took %lld ms", clock.elapsed());
    QCOMPARE(run.exitCode, 5);
    QCOMPARE(run.err, QStringLiteral("khronar-fetch: адрес 2: Устройство не отвечает\n"));
    QCOMPARE(fileRows(file("site-1.db"), RowsSql), BaseRows);
    QCOMPARE(fileRows(file("site-2.db"), RowsSql), QStringList());
    QCOMPARE(fileRows(file("site-3.db"), RowsSql), longRows);
    QVERIFY(QFile::exists(file("site-1.csv")));
    QVERIFY(!QFile::exists(file("site-2.csv")));
    QVERIFY(QFile::exists(file("site-3.csv")));
    // Ten attempts for the silent one, and the bus moves on: every request that reached
    // the line is in the trace once the simulator has stopped.
    device->stop();
    QFile heard(trace);
    QVERIFY(heard.open(QIODevice::ReadOnly));
    int toTheSilentOne = 0;
    const QList<QByteArray> lines = heard.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("<- 02 "))
            ++toTheSilentOne;
    }
    QCOMPARE(toTheSilentOne, 10);
}

// A gateway that refuses the connection is a port that cannot be opened; one that
// drops it mid-download is a device that stopped answering, and the next run
// resumes exactly.
void tst_Fetch::gatewayRefusedOrLost()
{
    // Nothing listens on this port: the connection is refused at once.
    const QString closed = QStringLiteral("tcp://127.0.0.1:%1").arg(refusingPort());
    const FetchResult refused = fetch({"--db", file("refused.db")}, closed);
    QCOMPARE(refused.exitCode, 3);
    QCOMPARE(refused.err,
             QStringLiteral("khronar-fetch: Не удается открыть порт \"%1\": шлюз отклонил соединение\n").arg(closed));

    // Info, three captions, the range and three records; then the gateway closes the
    // connection, and takes the next one: the run reconnects and reads on, piece by
    // piece, to the end in one go.
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {"--tcp", "0", "--mbap", "--disconnect-after", "8"}));
    const FetchResult lost = fetch({"--db", file("log.db")}, device->path);
    QCOMPARE(lost.exitCode, 0);
    QCOMPARE(fileRows(file("log.db"), RowsSql), BaseRows);
    const auto lostLine = [this] {
        return QStringLiteral("khronar-fetch: Потеряна связь с портом \"%1\": шлюз разорвал соединение; "
                              "повторное подключение\n")
            .arg(device->path);
    };
    const QString backLine = QStringLiteral("khronar-fetch: связь с портом \"%1\" восстановлена\n").arg(device->path);
    QVERIFY2(lost.err.startsWith(lostLine() + backLine), qPrintable(lost.err));

    // With no time to wait for the gateway (--reconnect 0), a run that ends gives up
    // at the first loss, with exit code 3; what it stored stays.
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {"--tcp", "0", "--mbap", "--disconnect-after", "8"}));
    const FetchResult givenUp = fetch({"--db", file("given-up.db"), "--reconnect", "0"}, device->path);
    QCOMPARE(givenUp.exitCode, 3);
    QCOMPARE(givenUp.err,
             lostLine()
                 + QStringLiteral("khronar-fetch: Потеряна связь с портом \"%1\": шлюз разорвал соединение\n")
                       .arg(device->path));
    QCOMPARE(fileRows(file("given-up.db"), RowsSql).join(QLatin1Char(' ')), BaseRows.mid(0, 3).join(QLatin1Char(' ')));
}

// The filter the command line makes of its options.
void tst_Fetch::exportFilter_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("types");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");

    QTest::newRow("none") << QStringList() << 0xF << ""
                          << "";
    QTest::newRow("names and codes") << QStringList{"--type", "info, 3"} << 0b1001 << ""
                                     << "";
    QTest::newRow("Russian names") << QStringList{"--type", "Ошибка,предупреждение"} << 0b0110 << ""
                                   << "";
    QTest::newRow("dates: a whole day") << QStringList{"--from", "2024-03-15", "--to", "2024-03-15"} << 0xF
                                        << "2024-03-15 00:00:00"
                                        << "2024-03-15 23:59:59";
    QTest::newRow("minutes: the whole minute")
        << QStringList{"--from", "2024-03-15 13:45", "--to", "2024-03-15T13:46"} << 0xF << "2024-03-15 13:45:00"
        << "2024-03-15 13:46:59";
    QTest::newRow("seconds") << QStringList{"--from", "2024-03-15 13:45:30"} << 0xF << "2024-03-15 13:45:30"
                             << "";
}

void tst_Fetch::exportFilter()
{
    QFETCH(QStringList, options);
    QFETCH(int, types);
    QFETCH(QString, from);
    QFETCH(QString, to);
    const FetchCommandLine parsed = parseFetchCommandLine(QStringList{"--db", "a.db", "--csv", "a.csv"} + options);
    QCOMPARE(parsed.error, QString());
    QCOMPARE(parsed.options.filter.types, types);
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    QCOMPARE(parsed.options.filter.from.toString(format), from);
    QCOMPARE(parsed.options.filter.to.toString(format), to);
    if (parsed.options.filter.from.isValid())
        QCOMPARE(parsed.options.filter.from.timeSpec(), Qt::UTC);
}

void tst_Fetch::exportWithoutADevice_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<LogFilter>("filter"); // what the window's filter bar would show with them

    LogFilter none, types, span, text, all;
    types.types = 0b0110;
    span.from = QDateTime(QDate(2024, 3, 15), QTime(18, 0), Qt::UTC);
    span.to = QDateTime(QDate(2024, 3, 16), QTime(6, 30, 59), Qt::UTC);
    text.text = QStringLiteral("НАСОС 2");
    all = span;
    all.types = 0b0001;
    all.text = QStringLiteral("^насос [13]:");
    all.regex = true;
    QTest::newRow("whole log") << QStringList() << none;
    QTest::newRow("types") << QStringList{"--type", "warning,error"} << types;
    QTest::newRow("span of time") << QStringList{"--from", "2024-03-15 18:00", "--to", "2024-03-16 06:30"} << span;
    QTest::newRow("text") << QStringList{"--grep", "НАСОС 2"} << text;
    QTest::newRow("all of them") << QStringList{"--type",           "info",         "--from",
                                                "2024-03-15 18:00", "--to",         "2024-03-16 06:30",
                                                "--grep",           "^насос [13]:", "--regex"}
                                 << all;
}

void tst_Fetch::exportWithoutADevice()
{
    QFETCH(QStringList, options);
    QFETCH(LogFilter, filter);
    const QString path = file(QStringLiteral("site.db"));
    QByteArray expected;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("maker"));
        QVERIFY(createLogFile(db, path).ok());
        quint32 clock = LogFixture::March15th2024;
        QCOMPARE(SampleLog::addCaptions(db), QString());
        QCOMPARE(SampleLog::addRecords(db, 2000, 9, &clock), QString());
        // The lines of the whole export whose rows pass the filter.
        QBuffer whole;
        whole.open(QIODevice::WriteOnly | QIODevice::Text);
        QVERIFY(CsvFixture::writeFileCsv(db, whole).ok());
        const QList<QByteArray> lines = whole.data().split('\n');
        const QList<SampleLog::ExpectedRow> rows = SampleLog::viewQueryRows(db);
        for (int row = 0; row < rows.size(); ++row) {
            if (SampleLog::passes(rows[row], filter))
                expected += lines[row] + '\n';
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("maker"));
    QVERIFY(!expected.isEmpty());

    // A file another program keeps read-only: it is only read.
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QByteArray before = [&path] {
        QFile log(path);
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }();
    const FetchResult run = fetch(QStringList{"--db", path, "--csv", file(QStringLiteral("site.csv"))} + options);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QFile csv(file(QStringLiteral("site.csv")));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    QCOMPARE(csv.readAll(), expected);
    QFile log(path);
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll(), before);
}

void tst_Fetch::exportOfWhatCannotBeExported_data()
{
    QTest::addColumn<QString>("content"); // of the log file: "none" no file, "text" not a database
    QTest::addColumn<QString>("csv");
    QTest::addColumn<QString>("message");

    QTest::newRow("no log file") << "none"
                                 << "out.csv"
                                 << "Не удается найти файл \"";
    QTest::newRow("not a database") << "text"
                                    << "out.csv"
                                    << "file is not a database";
    QTest::newRow("CSV cannot be written") << "log"
                                           << "missing/out.csv"
                                           << "Не удается записать файл \"";
}

void tst_Fetch::exportOfWhatCannotBeExported()
{
    QFETCH(QString, content);
    QFETCH(QString, csv);
    QFETCH(QString, message);
    const QString path = file(QStringLiteral("site.db"));
    if (content == QLatin1String("text")) {
        QFile text(path);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("Журнал смены\n");
    } else if (content == QLatin1String("log")) {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("maker"));
            QVERIFY(createLogFile(db, path).ok());
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("maker"));
    }
    const FetchResult run = fetch({"--db", path, "--csv", file(csv), "--type", "error"});
    QCOMPARE(run.exitCode, 6);
    QVERIFY2(run.err.startsWith(QStringLiteral("khronar-fetch: ")), qPrintable(run.err));
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(run.err.count(QLatin1Char('\n')), 1);
}

// Three log files whose times overlap, exported merged by khronar-fetch: the merge by
// hand of khronar-fetch's single exports of each, with the same filter options.
void tst_Fetch::mergedExport_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::newRow("whole logs") << QStringList();
    QTest::newRow("types") << QStringList{"--type", "warning,error"};
    QTest::newRow("span of time") << QStringList{"--from", "2024-03-15 13:50", "--to", "2024-03-15 14:05"};
    QTest::newRow("text") << QStringList{"--grep", "НАСОС 2"};
    QTest::newRow("all of them") << QStringList{
        "--type", "info,change", "--from", "2024-03-15 13:50", "--grep", "^(насос|уставка) [0-9]", "--regex"};
    QTest::newRow("nothing passes") << QStringList{"--type", "error", "--grep", "нет такого"};
}

void tst_Fetch::mergedExport()
{
    QFETCH(QStringList, options);
    const struct {
        const char *name;
        int records;
        quint32 start;
    } station[] = {{"ввод-2", 700, LogFixture::March15th2024 + 200},
                   {"резерв", 1100, LogFixture::March15th2024},
                   {"ввод-1", 500, LogFixture::March15th2024 + 60}};
    QStringList arguments;
    QList<QPair<QString, QByteArray>> singles;
    for (const auto &device : station) {
        const QString name = QString::fromUtf8(device.name);
        const QString path = file(name + QStringLiteral(".db"));
        QCOMPARE(StationLogs::makeLogFile(path, device.records, quint32(device.records), device.start), QString());
        const QString csv = file(name + QStringLiteral(".csv"));
        const FetchResult single = fetch(QStringList{"--db", path, "--csv", csv} + options);
        QCOMPARE(single.exitCode, 0);
        QFile written(csv);
        QVERIFY(written.open(QIODevice::ReadOnly));
        singles << qMakePair(name, CsvFixture::withNewlines(written.readAll()));
        arguments << QStringLiteral("--db") << path;
    }
    const FetchResult run = fetch(arguments + QStringList{"--csv", file("station.csv")} + options);
    QCOMPARE(run.err, QString());
    QCOMPARE(run.exitCode, 0);
    QFile csv(file("station.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QByteArray merged = CsvFixture::withNewlines(csv.readAll());
    QCOMPARE(merged, StationLogs::mergedByHand(singles));
    const int lines = int(merged.count('\n'));
    if (options.isEmpty())
        QCOMPARE(lines, 700 + 1100 + 500);
    else if (QTest::currentDataTag() == QByteArray("nothing passes"))
        QCOMPARE(lines, 0);
    else
        QVERIFY2(lines > 0 && lines < 2300, merged.left(200).constData());
}

// A merged export of files one of which cannot be read: the message names it, with the
// exit code of a single log's export, and no CSV file is made.
void tst_Fetch::mergedExportFaults_data()
{
    QTest::addColumn<QStringList>("files"); // in the test's folder; "b.db" is made as `second` says
    QTest::addColumn<QString>("second");    // "log", "text" (not a database) or "none"
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // {b} the path of b.db

    const QStringList three = {"a.db", "b.db", "c.db"};
    QTest::newRow("a file that does not exist")
        << three << "none" << 6 << "khronar-fetch: Не удается найти файл \"{b}\"\n";
    QTest::newRow("a file that is no log") << three << "text" << 6 << "khronar-fetch: {b}: file is not a database";
    QTest::newRow("two files of one name")
        << QStringList{"a.db", "b.db", "sub/b.db"} << "log" << 2 << "khronar-fetch: --db \"{b}\" and \"";
}

void tst_Fetch::mergedExportFaults()
{
    QFETCH(QStringList, files);
    QFETCH(QString, second);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QStringList arguments;
    for (const QString &name : files) {
        const QString path = file(name);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        if (name != QLatin1String("b.db") || second == QLatin1String("log")) {
            QCOMPARE(StationLogs::makeLogFile(path, 20, 5, LogFixture::March15th2024), QString());
        } else if (second == QLatin1String("text")) {
            QFile text(path);
            QVERIFY(text.open(QIODevice::WriteOnly));
            text.write("Журнал смены\n");
        }
        arguments << QStringLiteral("--db") << path;
    }
    const FetchResult run = fetch(arguments + QStringList{"--csv", file("station.csv"), "--type", "info"});
    QCOMPARE(run.exitCode, exitCode);
    message.replace(QStringLiteral("{b}"), QDir::toNativeSeparators(file("b.db")));
    QVERIFY2(run.err.startsWith(message), qPrintable(run.err));
    // A fault is one line; a usage error is followed by where to read more.
    if (exitCode == 6)
        QCOMPARE(run.err.count(QLatin1Char('\n')), 1);
    QVERIFY(!QFile::exists(file("station.csv")));
}

QTEST_MAIN(tst_Fetch)
#include "tst_fetch.moc"
