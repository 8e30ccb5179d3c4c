// Opening ports in the background: a pseudo-terminal and gateways that accept, refuse
// or never answer the handshake, cancels, and a terminal taking the opened port.

#include "link/portopener.h"
#include "link/porttcp.h"
#include "link/tcpsocket.h"
#include "tests/support/framebytes.h"
#include "tests/support/pseudoterminal.h"
#include "tests/support/tcppeers.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

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

// A gateway reached as the network port reaches it, through the same connect, but
// with a handshake that may take a minute instead of 3 s: an open that ends sooner
// was cancelled, however long the machine kept the test waiting. Every open's outcome
// is noted.
constexpr std::uint32_t PatientHandshakeMs = 60000;

struct PatientOpens {
    std::mutex lock;
    std::vector<PortFailure> ends; // PortFailure::None for a connection made

    std::vector<PortFailure> seen()
    {
        std::lock_guard<std::mutex> hold(lock);
        return ends;
    }
};

PatientOpens patientOpens;

PortHandle patientOpen(const char *portName, std::uint32_t, std::uint8_t, std::uint8_t, std::uint32_t,
                       const PortWake *cancel, PortError *error)
{
    NetworkPortAddress address;
    PortError why;
    TcpSocket socket = InvalidTcpSocket;
    if (parseNetworkPort(portName, &address))
        socket = tcpConnect(address.host, address.port, PatientHandshakeMs, cancel, &why);
    else
        setPortError(&why, PortFailure::NoSuchPort, 0);
    {
        std::lock_guard<std::mutex> hold(patientOpens.lock);
        patientOpens.ends.push_back(why.cause);
    }
    if (socket == InvalidTcpSocket && error != nullptr)
        *error = why;
    return socket == InvalidTcpSocket ? InvalidPortHandle : PortHandle(socket);
}

void patientClose(PortHandle handle)
{
    tcpClose(TcpSocket(handle));
}

const SerialPortMethods PatientGateway = {patientOpen, noRead, noWrite, nothing, nothing, patientClose};

} // namespace

class tst_PortOpener : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void opensInTheBackground();
    void failuresSayWhy_data();
    void failuresSayWhy();
    void silentGatewayIsCancelledAtOnce();
    void gatewayOpenHeedsTheCancel_data();
    void gatewayOpenHeedsTheCancel();
    void silentGatewayTimesOut();
    void portOpenedAfterTheCancelIsClosed();
    void startAgainCancelsTheFirst();
    void destroyingTheOpenerCancels();
};

void tst_PortOpener::init()
{
    std::lock_guard<std::mutex> hold(patientOpens.lock);
    patientOpens.ends.clear();
}

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
// wait its full time. A cancel ends it, and the thread is gone with it. (How soon is
// bench_link's figure.)
void tst_PortOpener::silentGatewayIsCancelledAtOnce()
{
    TcpListener gateway(0);
    QVERIFY(gateway.fd >= 0);
    QVERIFY(gateway.fillAcceptQueue());

    std::atomic<int> calls{0};
    auto opener = std::make_unique<PortOpener>();
    const auto starting = TestClock::now();
    const auto counted = [&calls] { ++calls; };
    opener->start(gateway.url().toStdString(), 19200, 2, 0, counted, &PatientGateway);
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
    QCOMPARE(patientOpens.seen(), std::vector<PortFailure>{PortFailure::Cancelled});
}

// The network ports' own open hands the cancel to the handshake: cancelled before it
// begins, an open of a silent gateway ends at once as cancelled, not after its 3 s.
void tst_PortOpener::gatewayOpenHeedsTheCancel_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("rtu over tcp") << "tcp";
    QTest::newRow("modbus tcp") << "mbtcp";
}

void tst_PortOpener::gatewayOpenHeedsTheCancel()
{
    QFETCH(QString, scheme);
    TcpListener gateway(0);
    QVERIFY(gateway.fd >= 0);
    QVERIFY(gateway.fillAcceptQueue());
    const std::string url = gateway.url(qPrintable(scheme)).toStdString();

    PortWake cancel;
    cancel.signal();
    PortError error;
    const SerialPortMethods &methods = portMethodsFor(url);
    const PortHandle handle = methods.open(url.c_str(), 19200, 2, 0, 1, &cancel, &error);
    if (handle != InvalidPortHandle)
        methods.close(handle);
    QCOMPARE(handle, InvalidPortHandle);
    QCOMPARE(error.cause, PortFailure::Cancelled);
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
    opener.start(gateway.url().toStdString(), 19200, 2, 0, {}, &PatientGateway);
    // The user picks another port while the first still connects: the first open has
    // been cancelled and joined by the time the second starts.
    opener.start(line.slaveName, 19200, 2, 0);
    QCOMPARE(patientOpens.seen(), std::vector<PortFailure>{PortFailure::Cancelled});
    const OpenedPort opened = opener.take();
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
    opener->start(gateway.url().toStdString(), 19200, 2, 0, {}, &PatientGateway);
    opener.reset();
    // The destructor has cancelled and joined.
    QCOMPARE(patientOpens.seen(), std::vector<PortFailure>{PortFailure::Cancelled});
}

QTEST_GUILESS_MAIN(tst_PortOpener)
#include "tst_portopener.moc"
