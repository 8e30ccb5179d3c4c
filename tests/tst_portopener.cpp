// Opening ports in the background: a pseudo-terminal and gateways that accept, refuse
// or never answer the handshake, cancels, and a terminal taking the opened port.

#include "link/portopener.h"
#include "tests/support/framebytes.h"
#include "tests/support/pseudoterminal.h"
#include "tests/support/tcppeers.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

Q_DECLARE_METATYPE(PortFailure)

namespace {

using namespace std::chrono_literals;

qint64 microsecondsOf(TestClock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

// A serial port whose open waits until the test lets it finish, as a slow driver's
// does; it counts what it opened and closed.
struct SlowOpen {
    std::mutex lock;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
    int opened = 0;
    int closed = 0;

    void release()
    {
        std::lock_guard<std::mutex> hold(lock);
        released = true;
        changed.notify_all();
    }
    bool waitEntered()
    {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, TestDeadline, [this] { return entered; });
    }
};

SlowOpen *slowOpen = nullptr;

PortHandle slowOpenPort(const char *, std::uint32_t, std::uint8_t, std::uint8_t, std::uint32_t, const PortWake *,
                        PortError *)
{
    std::unique_lock<std::mutex> hold(slowOpen->lock);
    slowOpen->entered = true;
    slowOpen->changed.notify_all();
    slowOpen->changed.wait(hold, [] { return slowOpen->released; });
    ++slowOpen->opened;
    return PortHandle(42);
}

int noRead(PortHandle, std::uint8_t *, std::size_t, std::uint32_t, const PortWake *, PortError *)
{
    return 0;
}

int noWrite(PortHandle, const std::uint8_t *, std::size_t length, PortError *)
{
    return int(length);
}

void nothing(PortHandle) {}

void slowClose(PortHandle)
{
    std::lock_guard<std::mutex> hold(slowOpen->lock);
    ++slowOpen->closed;
}

const SerialPortMethods SlowOpenPort = {slowOpenPort, noRead, noWrite, nothing, nothing, slowClose};

} // namespace

class tst_PortOpener : public QObject
{
    Q_OBJECT

private slots:
    void opensInTheBackground();
    void failuresSayWhy_data();
    void failuresSayWhy();
    void silentGatewayIsCancelledAtOnce();
    void silentGatewayTimesOut();
    void portOpenedAfterTheCancelIsClosed();
    void startAgainCancelsTheFirst();
    void destroyingTheOpenerCancels();
};

void tst_PortOpener::opensInTheBackground()
{
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    std::atomic<int> calls{0};
    PortOpener opener;
    opener.start(line.slaveName, 19200, 2, 0, [&calls] { ++calls; });
    QVERIFY(opener.waitFinished(std::chrono::duration_cast<std::chrono::milliseconds>(TestDeadline)));
    OpenedPort opened = opener.take();
    // The callback has run by the time the thread is joined.
    QCOMPARE(int(calls), 1);
    QVERIFY(opened.handle != InvalidPortHandle);
    QVERIFY(!opened.error.failed());

    // The terminal takes it over and works on it.
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, ComHalfDuplexTerminal::LineSilence{});
    QVERIFY(terminal.attach(std::move(opened)));
    QVERIFY(terminal.isOpen());
    QVERIFY(sendRequest(terminal, QByteArray::fromHex("0142000001")));
    QCOMPARE(line.read(5), QByteArray::fromHex("0142000001"));
    QVERIFY(line.write(QByteArray::fromHex("014200050000")));
    QVERIFY(terminal.waitForFrame(TestDeadline));
    QCOMPARE(receivedFrame(terminal), QByteArray::fromHex("014200050000"));
}

void tst_PortOpener::failuresSayWhy_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<PortFailure>("cause");

    QTest::newRow("missing path") << "/dev/khronar-no-such-port" << PortFailure::NoSuchPort;
    QTest::newRow("refused gateway") << "refused" << PortFailure::ConnectionRefused;
    QTest::newRow("refused modbus tcp gateway") << "refused-mbtcp" << PortFailure::ConnectionRefused;
}

void tst_PortOpener::failuresSayWhy()
{
    QFETCH(QString, port);
    QFETCH(PortFailure, cause);
    if (port.startsWith(QLatin1String("refused")))
        port = QStringLiteral("%1://127.0.0.1:%2")
                   .arg(port.endsWith(QLatin1String("mbtcp")) ? "mbtcp" : "tcp")
                   .arg(refusingPort());

    PortOpener opener;
    opener.start(port.toStdString(), 19200, 2, 0);
    const OpenedPort opened = opener.take();
    QCOMPARE(opened.handle, InvalidPortHandle);
    QCOMPARE(opened.error.cause, cause);

    // A terminal given the failure keeps it as its open's.
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, ComHalfDuplexTerminal::WindowGapTicks);
    QVERIFY(!terminal.attach(opened));
    QVERIFY(!terminal.isOpen());
    QCOMPARE(terminal.openError().cause, cause);
}

// A gateway whose accept queue is full never answers a new handshake: the open would
// wait its full time. A cancel ends it at once, and the thread is gone with it.
void tst_PortOpener::silentGatewayIsCancelledAtOnce()
{
    TcpListener gateway(0);
    QVERIFY(gateway.fd >= 0);
    QVERIFY(gateway.fillAcceptQueue());

    std::atomic<int> calls{0};
    auto opener = std::make_unique<PortOpener>();
    const auto starting = TestClock::now();
    opener->start(gateway.url().toStdString(), 19200, 2, 0, [&calls] { ++calls; });
    const auto started = TestClock::now();
    // The handshake is in flight and stays so.
    QVERIFY(!opener->waitFinished(300ms));

    const auto cancelling = TestClock::now();
    opener->cancel();
    const auto cancelled = TestClock::now();
    QVERIFY(opener->waitFinished(std::chrono::duration_cast<std::chrono::milliseconds>(TestDeadline)));
    const auto ended = TestClock::now();
    const OpenedPort opened = opener->take();
    // take() has joined the thread.
    opener.reset();
    qInfo("start %lld us, cancel %lld us, thread ended %lld us after the cancel", microsecondsOf(started - starting),
          microsecondsOf(cancelled - cancelling), microsecondsOf(ended - cancelling));
    QCOMPARE(opened.handle, InvalidPortHandle);
    QCOMPARE(opened.error.cause, PortFailure::Cancelled);
    QCOMPARE(int(calls), 1);
    // Far below the handshake's own 3 s, with room for a loaded machine.
    QVERIFY(ended - cancelling < std::chrono::milliseconds(GatewayConnectTimeoutMs));
}

void tst_PortOpener::silentGatewayTimesOut()
{
    TcpListener gateway(0);
    QVERIFY(gateway.fd >= 0);
    QVERIFY(gateway.fillAcceptQueue());

    PortOpener opener;
    const auto started = TestClock::now();
    opener.start(gateway.url().toStdString(), 19200, 2, 0);
    const OpenedPort opened = opener.take();
    const auto took = TestClock::now() - started;
    // The cause first: an open that ended early for another reason says which.
    QCOMPARE(int(opened.error.cause), int(PortFailure::TimedOut));
    QVERIFY2(took >= std::chrono::milliseconds(GatewayConnectTimeoutMs),
             qPrintable(QString::number(std::chrono::duration_cast<std::chrono::milliseconds>(took).count())));
    QCOMPARE(QString::fromStdString(portOpenFailureText(opened.name, opened.error)),
             QStringLiteral("Не удается открыть порт \"%1\": шлюз не ответил за 3 с").arg(gateway.url()));
}

void tst_PortOpener::portOpenedAfterTheCancelIsClosed()
{
    SlowOpen slow;
    slowOpen = &slow;
    PortOpener opener;
    opener.start("slow", 19200, 2, 0, {}, &SlowOpenPort);
    QVERIFY(slow.waitEntered());
    opener.cancel();
    slow.release();
    const OpenedPort opened = opener.take();
    QCOMPARE(opened.handle, InvalidPortHandle);
    QCOMPARE(opened.error.cause, PortFailure::Cancelled);
    QCOMPARE(slow.opened, 1);
    QCOMPARE(slow.closed, 1);

    // Cancelled once the open is done, before the port is taken: the same.
    slow.entered = false;
    opener.start("slow", 19200, 2, 0, {}, &SlowOpenPort);
    QVERIFY(opener.waitFinished(std::chrono::duration_cast<std::chrono::milliseconds>(TestDeadline)));
    opener.cancel();
    QCOMPARE(opener.take().error.cause, PortFailure::Cancelled);
    QCOMPARE(slow.opened, 2);
    QCOMPARE(slow.closed, 2);
    slowOpen = nullptr;
}

void tst_PortOpener::startAgainCancelsTheFirst()
{
    TcpListener gateway(0);
    QVERIFY(gateway.fd >= 0);
    QVERIFY(gateway.fillAcceptQueue());
    PseudoTerminal line;
    QVERIFY(line.master >= 0);

    PortOpener opener;
    const auto started = TestClock::now();
    opener.start(gateway.url().toStdString(), 19200, 2, 0);
    // The user picks another port while the first still connects.
    opener.start(line.slaveName, 19200, 2, 0);
    const OpenedPort opened = opener.take();
    QVERIFY(TestClock::now() - started < std::chrono::milliseconds(GatewayConnectTimeoutMs));
    QVERIFY(opened.handle != InvalidPortHandle);
    QCOMPARE(opened.name, line.slaveName);
    opened.methods->close(opened.handle);
}

void tst_PortOpener::destroyingTheOpenerCancels()
{
    TcpListener gateway(0);
    QVERIFY(gateway.fd >= 0);
    QVERIFY(gateway.fillAcceptQueue());
    auto opener = std::make_unique<PortOpener>();
    opener->start(gateway.url().toStdString(), 19200, 2, 0);
    const auto destroying = TestClock::now();
    opener.reset();
    // The destructor has cancelled and joined.
    QVERIFY(TestClock::now() - destroying < std::chrono::milliseconds(GatewayConnectTimeoutMs));
}

QTEST_GUILESS_MAIN(tst_PortOpener)
#include "tst_portopener.moc"
