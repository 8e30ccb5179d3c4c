// Ending the tool from outside: SIGTERM, SIGINT and SIGHUP quit the event loop, in
// this process and in the real program, which then exits cleanly with code 0.

#include "app/terminationsignals.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace {

// Whether process `pid` has a handler for `signal`, from the kernel's view of it.
bool catchesSignal(qint64 pid, int signal)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:")) {
            bool ok = false;
            const quint64 mask = line.mid(7).trimmed().toULongLong(&ok, 16);
            return ok && (mask & (quint64(1) << (signal - 1)));
        }
    }
    return false;
}

// Runs the application's event loop until it quits; 1 if it had not after 10 s.
int runEventLoop()
{
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); });
    return QCoreApplication::exec();
}

} // namespace

class tst_TerminationSignals : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signalQuitsTheLoop_data();
    void signalQuitsTheLoop();
    void signalBeforeTheLoopRuns();
    void programExitsCleanly_data();
    void programExitsCleanly();
};

void tst_TerminationSignals::initTestCase()
{
    QVERIFY(quitOnTerminationSignals());
    // A second call changes nothing.
    QVERIFY(quitOnTerminationSignals());
}

void tst_TerminationSignals::signalQuitsTheLoop_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void tst_TerminationSignals::signalQuitsTheLoop()
{
    QFETCH(int, signal);
    QTimer::singleShot(0, [signal] { std::raise(signal); });
    QCOMPARE(runEventLoop(), 0);
}

void tst_TerminationSignals::signalBeforeTheLoopRuns()
{
    std::raise(SIGTERM);
    std::raise(SIGTERM);
    QCOMPARE(runEventLoop(), 0);
    // Both signals were one request: the next loop runs until something ends it.
    QTimer::singleShot(200, [] { QCoreApplication::exit(7); });
    QCOMPARE(QCoreApplication::exec(), 7);
}

void tst_TerminationSignals::programExitsCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_TerminationSignals::programExitsCleanly()
{
    QFETCH(int, signal);
    QProcess program;
    program.setProgram(QStringLiteral(KHRONAR_PROGRAM));
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start();
    QVERIFY2(program.waitForStarted(10000), qPrintable(program.errorString()));

    // Once the handler is in place the window is being built; the signal then reaches
    // the event loop however far start-up has got.
    QTRY_VERIFY_WITH_TIMEOUT(catchesSignal(program.processId(), signal) || program.state() != QProcess::Running, 30000);
    QCOMPARE(program.state(), QProcess::Running);
    QCOMPARE(::kill(pid_t(program.processId()), signal), 0);

    QVERIFY(program.waitForFinished(30000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_TerminationSignals)
#include "tst_terminationsignals.moc"
