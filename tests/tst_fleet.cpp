// khronar-fetch collecting a fleet from one file: lines on pseudo-terminals and TCP
// gateways at once, lines that fail beside ones that work, --follow, the summaries.

#include "store/logfile.h"
#include "tests/support/fetchprocess.h"
#include "tests/support/logfixture.h"
#include "tests/support/prometheustext.h"
#include "tests/support/simulatorprocess.h"
#include "tests/support/tcppeers.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

// A datagram socket that listens as systemd's does for a service it started: the
// collector finds it in NOTIFY_SOCKET and sends its "READY=1", "STATUS=..." and
// "WATCHDOG=1" there.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path) : path(path)
    {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        if (fd < 0 || size_t(name.size()) >= sizeof address.sun_path)
            return;
        std::copy(name.begin(), name.end(), address.sun_path);
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~NotifySocket()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool isValid() const { return fd >= 0; }

    // Takes what has arrived; each datagram may hold several lines.
    void receive()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t size = recv(fd, buffer, sizeof buffer, 0);
            if (size <= 0)
                return;
            for (const QByteArray &line : QByteArray(buffer, int(size)).split('\n')) {
                if (line.isEmpty())
                    continue;
                messages << QString::fromUtf8(line);
                if (line == "WATCHDOG=1") {
                    ++pings;
                    sinceLastPing.start();
                }
            }
        }
    }
    bool received(const QString &message)
    {
        receive();
        return messages.contains(message);
    }
    // The latest STATUS= text.
    QString status()
    {
        receive();
        for (int i = messages.size() - 1; i >= 0; --i) {
            if (messages.at(i).startsWith(QLatin1String("STATUS=")))
                return messages.at(i).mid(7);
        }
        return QString();
    }

    QString path;
    int fd = -1;
    QStringList messages;
    int pings = 0;
    QElapsedTimer sinceLastPing;
};

// Whether the process `pid` has ended: gone, or a zombie that whoever adopted it has
// not reaped yet.
bool processGone(pid_t pid)
{
    if (::kill(pid, 0) != 0)
        return true;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end >= 0 && line.mid(end + 2, 1) == "Z";
}

} // namespace

using LogFixture::fileRows;

class tst_Fleet : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void collectsEveryLineAtOnce();
    void followKeepsEveryLineGoing();
    void followStopsOnlyWhatTheStoreRefuses();
    void mistakeInTheFileIsAUsageError();
    void metricsFileTellsTheRun();
    void metricsFileIsNeverSeenHalfWritten();
    void alertCommandFiresOncePerNewRecord();
    void alertCommandsOfAHistoryAreBounded();
    void tellsSystemdItIsReadyAndAlive_data();
    void tellsSystemdItIsReadyAndAlive();

private:
    QString file(const QString &name) const { return QDir(dir->path()).filePath(name); }
    // A simulator playing `json` with `options`; its port, or an empty string.
    QString startDevice(const QString &json, const QStringList &options = {});
    bool writeFleet(const QString &text);
    FetchResult runFleet(const QStringList &options);
    // An executable shell script at `name` with `body`; its path.
    QString writeScript(const QString &name, const QString &body);
    // What the alert script below has written: one entry per run, its environment's
    // record and the JSON it read, as "device|time|type|message|json".
    QStringList alertsWritten() const;

    std::unique_ptr<QTemporaryDir> dir;
    std::vector<std::unique_ptr<SimulatorProcess>> devices;
};

void tst_Fleet::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void tst_Fleet::cleanup()
{
    devices.clear();
}

QString tst_Fleet::startDevice(const QString &json, const QStringList &options)
{
    const QString logPath = file(QStringLiteral("device%1.json").arg(devices.size()));
    if (!writeDeviceLog(logPath, json))
        return QString();
    devices.push_back(std::make_unique<SimulatorProcess>(QStringLiteral(KHRONAR_DEVSIM)));
    if (!devices.back()->start(
            QStringList{QStringLiteral("--log"), logPath, QStringLiteral("--baud"), QStringLiteral("115200")}
            + options))
        return QString();
    return devices.back()->path;
}

bool tst_Fleet::writeFleet(const QString &text)
{
    QFile fleet(file(QStringLiteral("fleet.ini")));
    return fleet.open(QIODevice::WriteOnly | QIODevice::Truncate) && fleet.write(text.toUtf8()) == text.toUtf8().size();
}

FetchResult tst_Fleet::runFleet(const QStringList &options)
{
    QProcess process;
    process.start(QStringLiteral(KHRONAR_FETCH), QStringList{QStringLiteral("--config"), file("fleet.ini")} + options);
    process.closeWriteChannel();
    return finishFetch(process);
}

// Four lines: a bus of two devices on a pseudo-terminal, a gateway with one, a gateway
// whose device never answers, and a gateway that refuses the connection. The two that
// work are read completely; the others have their rows in the summary; the run's exit
// code is the worst device's.
void tst_Fleet::collectsEveryLineAtOnce()
{
    QStringList first, second, third;
    const QString bus = startDevice(longDeviceLog(40, &first), {"--address", "1,2"});
    QVERIFY(!bus.isEmpty());
    // Both devices of the bus play the same file: each has its own file of the log.
    second = first;
    const QString gateway = startDevice(longDeviceLog(25, &third), {"--tcp", "0"});
    QVERIFY(!gateway.isEmpty());
    const QString silent = startDevice(QString::fromUtf8(BaseLog), {"--tcp", "0", "--mbap", "--silent"});
    QVERIFY(!silent.isEmpty());
    QString refused;
    {
        TcpListener gone;
        refused = gone.url();
    }

    QVERIFY(writeFleet(QStringLiteral("[store]\n"
                                      "db=%1/{device}.db\n"
                                      "[bus]\n"
                                      "port=%2\n"
                                      "baud=115200\n"
                                      "parity=none\n"
                                      "devices=1-2=feeder-{address}\n"
                                      "[gateway]\n"
                                      "port=%3\n"
                                      "devices=1=pump\n"
                                      "[silent]\n"
                                      "port=%4\n"
                                      "devices=1=mute\n"
                                      "[refused]\n"
                                      "port=%5\n"
                                      "devices=3=nobody-home\n")
                           .arg(dir->path(), bus, gateway, silent, refused)));
    const FetchResult run = runFleet({"--summary", "json"});
    QCOMPARE(run.exitCode, 5); // the highest: the silent device
    const QJsonArray summary = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(summary.size(), 5);
    QMap<QString, QJsonObject> byName;
    for (const QJsonValue &entry : summary)
        byName.insert(entry.toObject().value(QStringLiteral("device")).toString(), entry.toObject());

    const struct {
        const char *name;
        const char *line;
        int address;
        int exitCode;
        int records;
    } expected[] = {
        {"feeder-1", "bus", 1, 0, 40}, {"feeder-2", "bus", 2, 0, 40},       {"pump", "gateway", 1, 0, 25},
        {"mute", "silent", 1, 5, 0},   {"nobody-home", "refused", 3, 3, 0},
    };
    for (const auto &device : expected) {
        const QJsonObject entry = byName.value(QLatin1String(device.name));
        QCOMPARE(entry.value(QStringLiteral("line")).toString(), QLatin1String(device.line));
        QCOMPARE(entry.value(QStringLiteral("address")).toInt(), device.address);
        QCOMPARE(entry.value(QStringLiteral("exitCode")).toInt(), device.exitCode);
        QCOMPARE(entry.value(QStringLiteral("newRecords")).toInt(), device.records);
    }
    QCOMPARE(byName.value(QStringLiteral("pump")).value(QStringLiteral("result")).toString(), QStringLiteral("готово"));
    QCOMPARE(byName.value(QStringLiteral("mute")).value(QStringLiteral("result")).toString(),
             QStringLiteral("Устройство не отвечает"));
    QCOMPARE(byName.value(QStringLiteral("nobody-home")).value(QStringLiteral("result")).toString(),
             QStringLiteral("Не удается открыть порт \"%1\": шлюз отклонил соединение").arg(refused));

    QCOMPARE(fileRows(file("feeder-1.db"), LogFixture::RecordRowsSql), first);
    QCOMPARE(fileRows(file("feeder-2.db"), LogFixture::RecordRowsSql), second);
    QCOMPARE(fileRows(file("pump.db"), LogFixture::RecordRowsSql), third);
    // Each failure is said on standard error, with its line.
    QVERIFY2(run.err.contains(QStringLiteral("khronar-fetch: [silent] mute: Устройство не отвечает\n")),
             qPrintable(run.err));
    QVERIFY2(run.err.contains(QStringLiteral("khronar-fetch: [refused] Не удается открыть порт")), qPrintable(run.err));

    // The next run takes only what is new, and the text summary says so line by line.
    const FetchResult again = runFleet({});
    QCOMPARE(again.exitCode, 5);
    const QStringList lines = QString::fromUtf8(again.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    auto hasLine = [&lines](const QString &pattern) { return lines.indexOf(QRegularExpression(pattern)) >= 0; };
    QVERIFY2(hasLine(QStringLiteral("^gateway/pump\tновых записей 0\t[0-9.]+ с\tготово$")),
             qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY2(hasLine(QStringLiteral("^bus/feeder-2\tновых записей 0\t[0-9.]+ с\tготово$")),
             qPrintable(lines.join(QLatin1Char('\n'))));
}

// With --follow every line keeps going: new records of each device arrive once a
// second, a device of a bus that does not answer rests between tries while the others
// are read, a line whose gateway is down at the start keeps trying, and an interrupt
// ends them all with what they stored kept.
void tst_Fleet::followKeepsEveryLineGoing()
{
    QStringList rows;
    const QString pty = startDevice(longDeviceLog(10, &rows), {"--append-every", "1"});
    const QString gateway = startDevice(longDeviceLog(10, &rows), {"--tcp", "0", "--append-every", "1"});
    QVERIFY(!pty.isEmpty() && !gateway.isEmpty());
    QString down;
    {
        TcpListener gone;
        down = gone.url();
    }
    QVERIFY(writeFleet(QStringLiteral("[store]\ndb=%1/{device}.db\n"
                                      "[a]\nport=%2\nbaud=115200\nparity=none\ndevices=1=first, 5=ghost\n"
                                      "[b]\nport=%3\ndevices=1=second\n"
                                      "[c]\nport=%4\ndevices=1=third\n")
                           .arg(dir->path(), pty, gateway, down)));
    QProcess process;
    process.start(QStringLiteral(KHRONAR_FETCH), {"--config", file("fleet.ini"), "--follow"});
    process.closeWriteChannel();
    auto count = [this](const char *name) { return LogFixture::recordCount(file(QLatin1String(name) + ".db")); };
    // The first ten, then records the devices log while they are followed.
    QTRY_VERIFY_WITH_TIMEOUT(count("first") >= 13 && count("second") >= 13, 30000);
    QVERIFY(process.state() == QProcess::Running);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 130);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(err.contains(QStringLiteral("khronar-fetch: [a] ghost: Устройство не отвечает\n")), qPrintable(err));
    // The line that is down says so once, not at every try.
    QCOMPARE(err.count(QStringLiteral("[c] Не удается открыть порт")), 1);
    QVERIFY2(err.contains(QStringLiteral("шлюз отклонил соединение; попытки продолжаются")), qPrintable(err));
    const QStringList summary
        = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(summary.size(), 4);
    QVERIFY2(summary.at(0).startsWith(QStringLiteral("a/first\tновых записей ")), qPrintable(summary.at(0)));
    QVERIFY2(summary.at(3).startsWith(QStringLiteral("c/third\tновых записей 0\t")), qPrintable(summary.at(3)));
}

// Following, a device whose log file refuses its records (a constraint) is given up for
// the run and says so once, while a device whose file another program holds locked
// for a while is tried again and catches up, and the rest of the line goes on.
void tst_Fleet::followStopsOnlyWhatTheStoreRefuses()
{
    QStringList rows;
    const QString bus = startDevice(longDeviceLog(10, &rows), {"--address", "1-3", "--append-every", "1"});
    QVERIFY(!bus.isEmpty());
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("refusing"));
        QVERIFY(createLogFile(db, file("refusing.db")).ok());
        QVERIFY(QSqlQuery(db).exec(QStringLiteral(
            "CREATE TRIGGER refuse BEFORE INSERT ON Log BEGIN SELECT RAISE(ABORT, 'no records here'); END")));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("refusing"));
    QSqlDatabase locker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
    QVERIFY(createLogFile(locker, file("locked.db")).ok());
    QVERIFY(QSqlQuery(locker).exec(QStringLiteral("BEGIN EXCLUSIVE")));

    QVERIFY(writeFleet(QStringLiteral("[store]\ndb=%1/{device}.db\n"
                                      "[bus]\nport=%2\nbaud=115200\nparity=none\n"
                                      "devices=1=refusing, 2=locked, 3=steady\n")
                           .arg(dir->path(), bus)));
    QProcess process;
    process.start(QStringLiteral(KHRONAR_FETCH), {"--config", file("fleet.ini"), "--follow"});
    process.closeWriteChannel();
    auto count = [this](const char *name) { return LogFixture::recordCount(file(QLatin1String(name) + ".db")); };
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT(
        (err += QString::fromLocal8Bit(process.readAllStandardError())).contains(QStringLiteral("[bus] locked: ")),
        30000);
    // The lock is let go: the next try reads the whole log.
    QVERIFY(QSqlQuery(locker).exec(QStringLiteral("COMMIT")));
    locker.close();
    QTRY_VERIFY_WITH_TIMEOUT(count("locked") >= 10, 60000);
    // Long enough after the refusal for a device that is retried to have been tried again.
    const int steady = count("steady");
    QTRY_VERIFY_WITH_TIMEOUT(count("steady") >= steady + 8, 30000);
    QVERIFY(process.state() == QProcess::Running);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    err += QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(err.count(QStringLiteral("[bus] refusing: ")), 1);
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral(
                 "\\[bus\\] refusing: [^\\n]*no records here[^\\n]*; устройство больше не опрашивается\n"))),
             qPrintable(err));
    QCOMPARE(count("refusing"), 0);
    // Each device's records are in its own file, each once: the log it was read from.
    for (const char *name : {"locked", "steady"}) {
        const QStringList stored = fileRows(file(QLatin1String(name) + ".db"), LogFixture::RecordRowsSql);
        QCOMPARE(stored.mid(0, rows.size()), rows);
        QCOMPARE(LogFixture::fileRows(file(QLatin1String(name) + ".db"), "SELECT count(DISTINCT i) FROM Log"),
                 QStringList{QString::number(stored.size())});
    }
    // The locked device failed only while it was locked: it was not given up.
    QVERIFY2(!err.contains(QStringLiteral("[bus] locked: database is locked; устройство больше не опрашивается")),
             qPrintable(err));
}

void tst_Fleet::mistakeInTheFileIsAUsageError()
{
    QVERIFY(writeFleet(
        QStringLiteral("[store]\ndb=%1/{device}.db\n[a]\nport=/dev/ttyS0\ndevices=1=x, 2=x\n").arg(dir->path())));
    const FetchResult run = runFleet({});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.err,
             QStringLiteral("khronar-fetch: %1:5: two devices are called \"x\" (the other on line 5)\n")
                 .arg(file("fleet.ini")));
    QVERIFY(run.out.isEmpty());
}

// A collection that ends writes its metrics at the end: what the summary says of each
// device, the newest record's time as its log holds it, each line's state and replies,
// how long the pass took. Names with quotes and backslashes come out escaped.
void tst_Fleet::metricsFileTellsTheRun()
{
    QStringList rows;
    const QString bus = startDevice(longDeviceLog(12, &rows), {"--address", "1,2"});
    const QString silent = startDevice(QString::fromUtf8(BaseLog), {"--tcp", "0", "--mbap", "--silent"});
    QVERIFY(!bus.isEmpty() && !silent.isEmpty());
    const QString hostileLine = QStringLiteral("sub \"7\" \\ east=1");
    QVERIFY(writeFleet(QStringLiteral("[store]\ndb=%1/{device}.db\n"
                                      "[%2]\nport=%3\nbaud=115200\nparity=none\ndevices=1-2=feeder \"A\" \\ {address}\n"
                                      "[silent]\nport=%4\ndevices=1=mute\n")
                           .arg(dir->path(), hostileLine, bus, silent)));
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const FetchResult run = runFleet({"--summary", "json", "--metrics-file", file("khronar.prom")});
    QCOMPARE(run.exitCode, 5);
    QFile metricsFile(file("khronar.prom"));
    QVERIFY(metricsFile.open(QIODevice::ReadOnly));
    // The exporter is another user: the file is for everyone to read.
    QVERIFY(metricsFile.permissions().testFlag(QFileDevice::ReadOther));
    const Exposition metrics = parseExposition(metricsFile.readAll());
    QVERIFY2(metrics.error.isEmpty(), qPrintable(metrics.error));
    QCOMPARE(metrics.types.value("khronar_device_records_stored_total"), QStringLiteral("counter"));
    QCOMPARE(metrics.types.value("khronar_line_state"), QStringLiteral("gauge"));

    const QJsonArray summary = QJsonDocument::fromJson(run.out).array();
    QCOMPARE(summary.size(), 3);
    for (const QJsonValue &entry : summary) {
        const QJsonObject device = entry.toObject();
        const QString name = device.value("device").toString();
        const QMap<QString, QString> labels{{"line", device.value("line").toString()},
                                            {"device", name},
                                            {"address", QString::number(device.value("address").toInt())}};
        QCOMPARE(metrics.value("khronar_device_records_stored_total", labels), device.value("newRecords").toDouble());
        const qint64 success = qint64(metrics.value("khronar_device_last_success_timestamp_seconds", labels));
        if (device.value("exitCode").toInt() == 0) {
            QCOMPARE(device.value("newRecords").toInt(), 12);
            QVERIFY2(name.startsWith(QStringLiteral("feeder \"A\" \\ ")), qPrintable(name));
            QCOMPARE(device.value("line").toString(), hostileLine);
            const QStringList newest = LogFixture::fileRows(file(name + ".db"),
                                                            "SELECT dt FROM Log ORDER BY rowid DESC LIMIT 1");
            QCOMPARE(metrics.value("khronar_device_newest_record_timestamp_seconds", labels),
                     newest.value(0).toDouble());
            QVERIFY2(success >= before && success <= QDateTime::currentSecsSinceEpoch(), qPrintable(name));
            QCOMPARE(metrics.value("khronar_device_failing", labels), 0.0);
        } else {
            // Never read: no time of a success, nor of a record.
            QCOMPARE(name, QStringLiteral("mute"));
            QVERIFY(std::isnan(metrics.value("khronar_device_last_success_timestamp_seconds", labels)));
            QVERIFY(std::isnan(metrics.value("khronar_device_newest_record_timestamp_seconds", labels)));
            QCOMPARE(metrics.value("khronar_device_failing", labels), 1.0);
        }
    }
    const struct {
        QString line;
        const char *state;
    } states[] = {{hostileLine, "up"}, {QStringLiteral("silent"), "failing"}};
    for (const auto &line : states) {
        for (const char *state : {"up", "reconnecting", "failing"})
            QCOMPARE(metrics.value("khronar_line_state", {{"line", line.line}, {"state", state}}),
                     qstrcmp(state, line.state) == 0 ? 1.0 : 0.0);
        QCOMPARE(metrics.value("khronar_line_reconnects_total", {{"line", line.line}}), 0.0);
    }
    // Every record of both devices came in an accepted reply; the silent device's
    // requests all timed out.
    QVERIFY(metrics.value("khronar_line_replies_total", {{"line", hostileLine}, {"result", "accepted"}}) >= 24);
    QCOMPARE(metrics.value("khronar_line_replies_total", {{"line", hostileLine}, {"result", "crc_error"}}), 0.0);
    QCOMPARE(metrics.value("khronar_line_replies_total", {{"line", "silent"}, {"result", "accepted"}}), 0.0);
    QVERIFY(metrics.value("khronar_line_replies_total", {{"line", "silent"}, {"result", "timeout"}}) >= 1);
    QVERIFY(metrics.value("khronar_collect_pass_seconds") > 0);
}

// A followed fleet rewrites its metrics as it goes; a reader that looks at any moment
// finds a whole file, never one being written.
void tst_Fleet::metricsFileIsNeverSeenHalfWritten()
{
    QStringList rows;
    const QString pty = startDevice(longDeviceLog(10, &rows), {"--append-every", "1"});
    QVERIFY(!pty.isEmpty());
    QVERIFY(writeFleet(QStringLiteral("[store]\ndb=%1/{device}.db\n[a]\nport=%2\nbaud=115200\nparity=none\n"
                                      "devices=1=meter\n")
                           .arg(dir->path(), pty)));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KHRONAR_METRICS_INTERVAL_MS"), QStringLiteral("20"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(KHRONAR_FETCH),
                  {"--config", file("fleet.ini"), "--follow", "--quiet", "--metrics-file", file("khronar.prom")});
    process.closeWriteChannel();
    const QMap<QString, QString> meter{{"line", "a"}, {"device", "meter"}, {"address", "1"}};
    int reads = 0;
    double stored = 0;
    // Read as fast as the test can until the device has logged a few new records.
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (int i = 0; i < 50; ++i) {
                QFile metricsFile(file("khronar.prom"));
                if (!metricsFile.open(QIODevice::ReadOnly))
                    continue;
                const Exposition metrics = parseExposition(metricsFile.readAll());
                if (!metrics.error.isEmpty() || metrics.count("khronar_line_state") != 3)
                    qFatal("a metrics file read whole is not: %s", qPrintable(metrics.error));
                ++reads;
                stored = metrics.value("khronar_device_records_stored_total", meter);
            }
            return stored >= 13;
        }(),
        30000);
    QVERIFY(reads > 100);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 130);
    QFile metricsFile(file("khronar.prom"));
    QVERIFY(metricsFile.open(QIODevice::ReadOnly));
    const Exposition last = parseExposition(metricsFile.readAll());
    QVERIFY2(last.error.isEmpty(), qPrintable(last.error));
    QVERIFY(last.value("khronar_device_records_stored_total", meter) >= 13);
    // A collector that stays on has no pass.
    QCOMPARE(last.count("khronar_collect_pass_seconds"), 0);
    // Only the file itself is left: no temporary file beside it.
    QCOMPARE(QDir(dir->path()).entryList({"khronar.prom*"}, QDir::Files), QStringList{"khronar.prom"});
}

QString tst_Fleet::writeScript(const QString &name, const QString &body)
{
    QFile script(file(name));
    if (!script.open(QIODevice::WriteOnly) || script.write(("#!/bin/sh\n" + body).toUtf8()) < 0)
        return QString();
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    return script.fileName();
}

QStringList tst_Fleet::alertsWritten() const
{
    QStringList entries;
    const QDir alerts(file("alerts"));
    for (const QString &name : alerts.entryList({"*.alert"}, QDir::Files)) {
        QFile entry(alerts.filePath(name));
        entry.open(QIODevice::ReadOnly);
        entries << QString::fromUtf8(entry.readAll()).trimmed().replace(QLatin1Char('\n'), QLatin1Char('|'));
    }
    return entries;
}

// A followed device with a history of eight records: its first download alerts nothing
// (the rule does not say history=yes); then every record it logs that the rule takes
// runs the command once, with the record in its environment and as JSON on its standard
// input, and nothing else does. The command's arguments reach it as written: no shell.
void tst_Fleet::alertCommandFiresOncePerNewRecord()
{
    QStringList rows;
    const QString port = startDevice(longDeviceLog(8, &rows), {"--append-every", "1"});
    QVERIFY(!port.isEmpty());
    QVERIFY(QDir(dir->path()).mkdir("alerts"));
    const QString script = writeScript("alert.sh",
                                       "[ \"$2\" = '$HOME; rm -rf /' ] || exit 3\n"
                                       "out=\"$1/$(date +%s%N)-$$\"\n"
                                       "{ printf '%s|%s|%s|%s\\n' \"$KHRONAR_DEVICE\" \"$KHRONAR_TIME\" "
                                       "\"$KHRONAR_TYPE\" \"$KHRONAR_MESSAGE\"; cat; } "
                                       "> \"$out.tmp\" && mv \"$out.tmp\" \"$out.alert\"\n");
    QVERIFY(!script.isEmpty());
    QVERIFY(writeFleet(QStringLiteral("[store]\ndb=%1/{device}.db\n"
                                      "[west]\nport=%2\nbaud=115200\nparity=none\ndevices=1=meter\n"
                                      "[alerts]\n"
                                      "trouble.types=warning, error\n"
                                      "trouble.command=%3 \"%4\" \"$HOME; rm -rf /\"\n")
                           .arg(dir->path(), port, script, file("alerts"))));
    QProcess process;
    process.start(QStringLiteral(KHRONAR_FETCH), {"--config", file("fleet.ini"), "--follow", "--quiet"});
    process.closeWriteChannel();
    // Six records logged while followed: warnings and errors among them.
    QTRY_VERIFY_WITH_TIMEOUT(LogFixture::recordCount(file("meter.db")) >= 14, 30000);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 130);
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    QVERIFY2(!err.contains(QStringLiteral("сигнал")), qPrintable(err));

    // What the rule takes of the records stored after the history, in the order stored.
    static const char *const typeNames[] = {"info", "warning", "error", "change"};
    const QStringList stored = LogFixture::fileRows(
        file("meter.db"),
        "SELECT type || '|' || datetime(dt, 'unixepoch') || '|' || hex(data) FROM Log ORDER BY rowid");
    QStringList expected;
    for (const QString &row : stored.mid(8)) {
        const QStringList fields = row.split(QLatin1Char('|'));
        const int type = fields.at(0).toInt();
        if (type != 1 && type != 2)
            continue;
        const int number = fields.at(2).mid(0, 2).toInt(nullptr, 16) + 256 * fields.at(2).mid(2, 2).toInt(nullptr, 16);
        expected
            << QStringLiteral("meter|%1|%2|Номер %3").arg(fields.at(1), QLatin1String(typeNames[type])).arg(number);
    }
    QVERIFY(expected.size() >= 2);
    QStringList got;
    for (const QString &entry : alertsWritten()) {
        const QStringList parts = entry.split(QLatin1Char('|'));
        QCOMPARE(parts.size(), 5);
        const QJsonObject json = QJsonDocument::fromJson(parts.at(4).toUtf8()).object();
        QCOMPARE(json.value("line").toString(), QStringLiteral("west"));
        QCOMPARE(json.value("device").toString(), parts.at(0));
        QCOMPARE(json.value("address").toInt(), 1);
        QCOMPARE(json.value("time").toString(), parts.at(1));
        QCOMPARE(json.value("type").toString(), parts.at(2));
        QCOMPARE(json.value("message").toString(), parts.at(3));
        QCOMPARE(json.value("rule").toString(), QStringLiteral("trouble"));
        got << parts.mid(0, 4).join(QLatin1Char('|'));
    }
    // Commands run side by side: their order is not the records'.
    got.sort();
    expected.sort();
    QCOMPARE(got, expected);
}

// A first download with history=yes: every record the rules take alerts, a journal rule
// says them, a command that cannot start is said and the collection goes on, a command
// that hangs is killed at its time limit, and no more commands run at once than allowed.
void tst_Fleet::alertCommandsOfAHistoryAreBounded()
{
    QStringList rows;
    const QString port = startDevice(longDeviceLog(24, &rows));
    QVERIFY(!port.isEmpty());
    QVERIFY(QDir(dir->path()).mkdir("alerts"));
    // Notes how many of its kind run beside it, then lingers, so that they overlap.
    const QString counter = writeScript("count.sh",
                                        "touch \"$1/running-$$\"\n"
                                        "ls \"$1\" | grep -c '^running-' > \"$1/seen-$$\"\n"
                                        "sleep 0.2\n"
                                        "rm \"$1/running-$$\"\n");
    // Writes its process id and that of a child it starts, then waits for the child far
    // longer than its limit.
    const QString hanging = writeScript(
        "hang.sh", "echo $$ > \"$1/hung-$$\"\nsleep 600 &\necho $! > \"$1/hung-child-$$\"\nwait\n");
    QVERIFY(!counter.isEmpty() && !hanging.isEmpty());
    QVERIFY(writeFleet(QStringLiteral("[store]\ndb=%1/{device}.db\n"
                                      "[east]\nport=%2\nbaud=115200\nparity=none\ndevices=1=meter\n"
                                      "[alerts]\n"
                                      "commands=2\n"
                                      "all.message=^номер [0-9]+$\n"
                                      "all.command=%3 %4\n"
                                      "all.history=yes\n"
                                      "changes.types=change\n"
                                      "changes.command=%5 %4\n"
                                      "changes.timeout=1\n"
                                      "changes.history=yes\n"
                                      "fives.message=[05]$\n"
                                      "fives.journal=warning\n"
                                      "fives.history=yes\n"
                                      "broken.types=error\n"
                                      "broken.command=%1/no-such-program\n"
                                      "broken.history=yes\n"
                                      "quiet.types=info\n"
                                      "quiet.journal=info\n")
                           .arg(dir->path(), port, counter, file("alerts"), hanging)));
    const FetchResult run = runFleet({});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(LogFixture::recordCount(file("meter.db")), 24);

    const QDir alerts(file("alerts"));
    // One counting run per record, never more than two commands of any rule at once.
    const QStringList seen = alerts.entryList({"seen-*"}, QDir::Files);
    QCOMPARE(seen.size(), 24);
    for (const QString &name : seen) {
        QFile entry(alerts.filePath(name));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const int atOnce = entry.readAll().trimmed().toInt();
        QVERIFY2(atOnce >= 1 && atOnce <= 2, qPrintable(name));
    }
    // Each change (records 3, 7, ..., 23) hung and was killed at its limit, with the
    // child it started.
    const QStringList hung = alerts.entryList({"hung-*"}, QDir::Files);
    QCOMPARE(hung.size(), 12);
    for (const QString &name : hung) {
        QFile entry(alerts.filePath(name));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const pid_t pid = pid_t(entry.readAll().trimmed().toInt());
        QVERIFY(pid > 0);
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 10000);
    }
    QCOMPARE(run.err.count(
                 QStringLiteral("сигнал «changes»: команда \"%1\" не закончилась за 1 с и остановлена").arg(hanging)),
             6);
    QCOMPARE(
        run.err.count(QStringLiteral("khronar-fetch: [east] meter: сигнал «broken»: команда \"%1/no-such-program\" "
                                     "не запускается")
                          .arg(dir->path())),
        6);
    // The journal rule, said on standard error here: records 0, 5, 10, 15, 20 of its
    // history (the quiet one, without history=yes, says nothing).
    QCOMPARE(run.err.count(QStringLiteral("сигнал «fives»: 2024-03-15 13:45:")), 5);
    QVERIFY2(
        run.err.contains(QStringLiteral("khronar-fetch: [east] meter: сигнал «fives»: 2024-03-15 13:45:35 Номер 5\n")),
        qPrintable(run.err));
    QCOMPARE(run.err.count(QStringLiteral("«quiet»")), 0);
}

void tst_Fleet::tellsSystemdItIsReadyAndAlive_data()
{
    QTest::addColumn<bool>("hung");
    QTest::newRow("a line that works") << false;
    QTest::newRow("a gateway that accepts and never answers") << true;
}

// Started by systemd with a watchdog, the collector says it is ready once its lines
// are started, keeps its status line current and pings the watchdog while a line
// works. When every line hangs (a gateway that takes the connection and never
// answers), the pings stop, so that systemd restarts it.
void tst_Fleet::tellsSystemdItIsReadyAndAlive()
{
    QFETCH(bool, hung);
    TcpListener gateway;
    QString port;
    if (hung) {
        port = gateway.url();
    } else {
        QStringList rows;
        port = startDevice(longDeviceLog(10, &rows), {"--append-every", "1"});
    }
    QVERIFY(!port.isEmpty());
    QVERIFY(writeFleet(QStringLiteral("[store]\ndb=%1/{device}.db\n[only]\nport=%2\nbaud=115200\nparity=none\n"
                                      "devices=1=meter\n")
                           .arg(dir->path(), port)));
    NotifySocket systemd(file("notify"));
    QVERIFY(systemd.isValid());
    // Pings every second; a line silent for two counts as hung.
    constexpr int WatchdogMs = 2000;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), systemd.path);
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QString::number(WatchdogMs * 1000));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(KHRONAR_FETCH), {"--config", file("fleet.ini"), "--follow", "--quiet"});
    process.closeWriteChannel();
    QTRY_VERIFY_WITH_TIMEOUT(systemd.received(QStringLiteral("READY=1")), 20000);
    QVERIFY2(systemd.status().startsWith(QStringLiteral("1 линия, ")), qPrintable(systemd.status()));

    if (hung) {
        QVERIFY(gateway.accept() >= 0);
        // The pings stop while the collector runs on: a wait three times the interval
        // without one. The line's state shows it, too.
        QTRY_VERIFY_WITH_TIMEOUT(
            (systemd.receive(), systemd.pings > 0 && systemd.sinceLastPing.elapsed() > 3 * WatchdogMs), 60000);
        QVERIFY(process.state() == QProcess::Running);
        QTRY_VERIFY2_WITH_TIMEOUT(systemd.status().startsWith(QStringLiteral("1 линия, 0 на связи, 0 записей")),
                                  qPrintable(systemd.messages.join(QLatin1Char('|'))), 30000);
        // Its one device failed; a fleet's line keeps trying it, and the collector runs on.
        QVERIFY(process.state() == QProcess::Running);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(
            systemd.status().contains(QRegularExpression(QStringLiteral("^1 линия, 1 на связи, (1[0-9]|[2-9][0-9]) "
                                                                        "записей за сутки$"))),
            30000);
        // Pings go on, many intervals past any start-up.
        const int before = (systemd.receive(), systemd.pings);
        QTRY_VERIFY_WITH_TIMEOUT((systemd.receive(), systemd.pings >= before + 8), 30000);
    }
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 130);
    QVERIFY(systemd.received(QStringLiteral("STOPPING=1")));
}

QTEST_GUILESS_MAIN(tst_Fleet)
#include "tst_fleet.moc"
