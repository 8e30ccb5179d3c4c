// What a line says as it collects: on standard error as always, or under systemd in the
// journal, each event with its line, device and priority as fields of their own.

#include "fetch/linecollector.h"
#include "tests/support/tcppeers.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct JournalEntry {
    QString message;
    JournalFields fields;
};

// Standard error sent to a file while a scope runs; what was written, at its end.
class StandardErrorCapture
{
public:
    explicit StandardErrorCapture(const QString &path) : path(path)
    {
        std::fflush(stderr);
        saved = dup(STDERR_FILENO);
        const int file = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(file, STDERR_FILENO);
        close(file);
    }
    QString finish()
    {
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        return QString::fromLocal8Bit(file.readAll());
    }

private:
    QString path;
    int saved = -1;
};

} // namespace

class tst_CollectorConsole : public QObject
{
    Q_OBJECT

private slots:
    void lineEvents_data();
    void lineEvents();
    void journalThatFailsFallsBackToStandardError();
};

void tst_CollectorConsole::lineEvents_data()
{
    QTest::addColumn<bool>("journal");
    QTest::addColumn<bool>("answering"); // false: refused
    QTest::newRow("terminal, gateway refuses") << false << false;
    QTest::newRow("journal, gateway refuses") << true << false;
    QTest::newRow("terminal, device silent") << false << true;
    QTest::newRow("journal, device silent") << true << true;
}

// A fleet's line whose gateway refuses it, and one whose gateway takes the connection
// but whose device never answers. On a terminal the lines on standard error are what
// they always were; under systemd the same events go to the journal instead, with
// KHRONAR_LINE, KHRONAR_DEVICE and PRIORITY, and the port that opened is noted there.
void tst_CollectorConsole::lineEvents()
{
    QFETCH(bool, journal);
    QFETCH(bool, answering);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TcpListener gateway;
    QString port = gateway.url();
    if (!answering) {
        TcpListener gone;
        port = gone.url();
    }
    std::vector<JournalEntry> entries;
    JournalSender sender;
    if (journal)
        sender = [&entries](const QString &message, const JournalFields &fields) {
            entries.push_back({message, fields});
            return true;
        };
    CollectorConsole console(false, sender);
    CollectorSettings settings;
    settings.lineName = QStringLiteral("west");
    settings.port = port;
    std::vector<CollectorDevice> devices(1);
    devices[0].name = QStringLiteral("meter");
    devices[0].log = LogLocation::file(dir.filePath(QStringLiteral("meter.db")));
    std::atomic<bool> stop{false};
    StandardErrorCapture capture(dir.filePath(QStringLiteral("stderr")));
    {
        LineCollector line(settings, std::move(devices), stop, console);
        line.run();
    }
    const QString err = capture.finish();

    const QString failure = answering ? QStringLiteral("[west] meter: Устройство не отвечает")
                                      : QStringLiteral("[west] Не удается открыть порт \"%1\": шлюз отклонил "
                                                       "соединение")
                                            .arg(port);
    if (!journal) {
        QCOMPARE(err, QStringLiteral("khronar-fetch: %1\n").arg(failure));
        return;
    }
    QCOMPARE(err, QString());
    std::vector<JournalEntry> expected;
    if (answering) {
        JournalFields opened;
        opened.priority = 6;
        opened.line = QStringLiteral("west");
        expected.push_back({QStringLiteral("[west] порт \"%1\" открыт").arg(port), opened});
    }
    JournalFields failed;
    failed.priority = 3;
    failed.line = QStringLiteral("west");
    failed.device = answering ? QStringLiteral("meter") : QString();
    expected.push_back({failure, failed});
    QCOMPARE(int(entries.size()), int(expected.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        QCOMPARE(entries[i].message, expected[i].message);
        QCOMPARE(entries[i].fields.priority, expected[i].fields.priority);
        QCOMPARE(entries[i].fields.line, expected[i].fields.line);
        QCOMPARE(entries[i].fields.device, expected[i].fields.device);
    }
}

// A journal that cannot be reached loses nothing: what was to go there is said on
// standard error, and what only the journal keeps is dropped.
void tst_CollectorConsole::journalThatFailsFallsBackToStandardError()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CollectorConsole console(false, [](const QString &, const JournalFields &) { return false; });
    StandardErrorCapture capture(dir.filePath(QStringLiteral("stderr")));
    console.event(QStringLiteral("[west] порт открыт"), JournalFields(), true);
    console.event(QStringLiteral("[west] meter: Устройство не отвечает"), JournalFields());
    console.error(QStringLiteral("Не удается записать метрики"));
    QCOMPARE(capture.finish(),
             QStringLiteral("khronar-fetch: [west] meter: Устройство не отвечает\n"
                            "khronar-fetch: Не удается записать метрики\n"));
}

QTEST_GUILESS_MAIN(tst_CollectorConsole)
#include "tst_collectorconsole.moc"
