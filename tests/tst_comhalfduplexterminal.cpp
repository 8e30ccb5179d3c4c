// The half-duplex terminal over a pseudo-terminal pair (the test holds the master
// side and plays the device; the terminal opens the slave side by its name), and
// over a fake port in-process that fails, stutters and vanishes on cue.

#include "link/comhalfduplexterminal.h"
#include "link/porttcp.h"
#include "link/serialportrate.h"
#include "tests/support/framebytes.h"
#include "tests/support/pseudoterminal.h"
#include "tests/support/tcppeers.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PortFailure)

namespace {

using Clock = TestClock;
constexpr auto Deadline = TestDeadline;

// The ids of this process's threads, as /proc/self/task lists them.
std::set<int> threadIds()
{
    std::set<int> ids;
    if (DIR *tasks = opendir("/proc/self/task")) {
        while (const dirent *entry = readdir(tasks)) {
            if (entry->d_name[0] != '.')
                ids.insert(std::atoi(entry->d_name));
        }
        closedir(tasks);
    }
    return ids;
}

// The threads that run now and did not in `before`. A joined thread may still be
// listed for a moment while the kernel reaps it, longer on a busy machine, so tests
// wait for threads to go rather than compare counts.
std::set<int> threadsSince(const std::set<int> &before)
{
    std::set<int> started;
    for (int id : threadIds()) {
        if (before.count(id) == 0)
            started.insert(id);
    }
    return started;
}

// A thread's scheduling state as /proc shows it: 'S' while it sleeps in a wait, 'R'
// while it runs or may; 0 when it cannot be read.
char threadState(pid_t thread)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", int(thread));
    QFile stat(QString::fromLatin1(path));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // "tid (name) S ...": the name may hold spaces and parentheses, the state follows
    // the last ')'.
    const QByteArray line = stat.readAll();
    const int nameEnd = line.lastIndexOf(')');
    return nameEnd >= 0 && nameEnd + 2 < line.size() ? line.at(nameEnd + 2) : 0;
}

double cpuSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A terminal as the main window builds it, on storage of its own.
struct Terminal {
    std::uint8_t storage[256] = {};
    ComHalfDuplexTerminal terminal{storage, sizeof storage, 10};
};

// A port that exists only in this test. The terminal gets a table of functions that
// lead here: the handle is the address of the FakePort that `fakeToOpen` names, and
// each read takes the next step of its script.
struct FakePort {
    // Held: bytes that arrive only once the test lets them (release()), so that the
    // test acts while the worker is inside that read; it is noted as Bytes.
    enum Outcome { Bytes, Silence, Failure, Held };
    struct Step {
        Outcome outcome;
        QByteArray bytes;
    };
    struct ReadCall {
        Outcome outcome;
        Clock::time_point entered;
        Clock::time_point returned;
    };

    void play(std::initializer_list<Step> steps)
    {
        std::lock_guard<std::mutex> hold(lock);
        script.insert(script.end(), steps);
    }
    // The worker is inside a Held read.
    bool waitHeld()
    {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, TestDeadline, [this] { return holding; });
    }
    void release()
    {
        std::lock_guard<std::mutex> hold(lock);
        released = true;
        changed.notify_all();
    }
    // How many reads had ended when each write was made.
    std::vector<std::size_t> writePlaces()
    {
        std::lock_guard<std::mutex> hold(lock);
        return readsBeforeWrite;
    }
    // From now on every read and every write fails, as when a USB adapter is pulled.
    void vanish()
    {
        std::lock_guard<std::mutex> hold(lock);
        vanished = true;
    }
    int readCount()
    {
        std::lock_guard<std::mutex> hold(lock);
        return int(reads.size());
    }
    std::vector<ReadCall> readCalls()
    {
        std::lock_guard<std::mutex> hold(lock);
        return reads;
    }
    QList<QByteArray> writes()
    {
        std::lock_guard<std::mutex> hold(lock);
        return written;
    }
    bool scriptDone()
    {
        std::lock_guard<std::mutex> hold(lock);
        return script.empty();
    }

    std::mutex lock;
    std::condition_variable changed;
    bool holding = false;
    bool released = false;
    std::vector<std::size_t> readsBeforeWrite;
    std::deque<Step> script;
    bool vanished = false;
    bool writesFail = false;
    std::vector<ReadCall> reads;
    QList<QByteArray> written; // what the terminal tried to send, failed or not
    std::uint32_t tickMs = 0;  // as the terminal opened the port
    int closes = 0;
};

FakePort *fakeToOpen = nullptr;

FakePort &fakeAt(PortHandle handle)
{
    return *reinterpret_cast<FakePort *>(handle);
}

PortHandle fakeOpen(const char *, std::uint32_t, std::uint8_t, std::uint8_t, std::uint32_t tickMs, const PortWake *,
                    PortError *)
{
    if (fakeToOpen == nullptr)
        return InvalidPortHandle;
    fakeToOpen->tickMs = tickMs;
    return reinterpret_cast<PortHandle>(fakeToOpen);
}

int fakeRead(PortHandle handle, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs, const PortWake *,
             PortError *error)
{
    FakePort &port = fakeAt(handle);
    const auto entered = Clock::now();
    std::unique_lock<std::mutex> hold(port.lock);
    FakePort::Step step{port.vanished ? FakePort::Failure : FakePort::Silence, {}};
    if (!port.vanished && !port.script.empty()) {
        step = port.script.front();
        port.script.pop_front();
    }
    if (step.outcome == FakePort::Held) {
        port.holding = true;
        port.changed.notify_all();
        port.changed.wait(hold, [&port] { return port.released; });
        port.holding = false;
        step.outcome = FakePort::Bytes;
    }
    hold.unlock();
    // A real port waits out its time when nothing comes; a failure returns at once.
    if (step.outcome == FakePort::Silence)
        std::this_thread::sleep_for(std::chrono::microseconds(timeoutUs));
    const std::size_t count = std::min(capacity, std::size_t(step.bytes.size()));
    std::memcpy(data, step.bytes.constData(), count);
    hold.lock();
    port.reads.push_back({step.outcome, entered, Clock::now()});
    if (step.outcome == FakePort::Failure) {
        setPortError(error, PortFailure::Other, EAGAIN);
        return PortIoFailed;
    }
    return int(count);
}

int fakeWrite(PortHandle handle, const std::uint8_t *data, std::size_t length, PortError *error)
{
    FakePort &port = fakeAt(handle);
    std::lock_guard<std::mutex> hold(port.lock);
    port.written << QByteArray(reinterpret_cast<const char *>(data), int(length));
    port.readsBeforeWrite.push_back(port.reads.size());
    if (port.vanished || port.writesFail) {
        setPortError(error, PortFailure::Other, EAGAIN);
        return PortIoFailed;
    }
    return int(length);
}

void fakeClearErrors(PortHandle) {}

void fakePurge(PortHandle) {}

void fakeClose(PortHandle handle)
{
    FakePort &port = fakeAt(handle);
    std::lock_guard<std::mutex> hold(port.lock);
    ++port.closes;
}

const SerialPortMethods FakeSerialPort = {
    fakeOpen, fakeRead, fakeWrite, fakeClearErrors, fakePurge, fakeClose,
};

// A terminal on a fake port, opened; the port outlives the terminal.
struct FakeTerminal {
    explicit FakeTerminal(FakePort &port, std::uint32_t baudRate = 19200, std::uint8_t parity = 2,
                          std::uint8_t stopBits = 0)
    {
        fakeToOpen = &port;
        opened = terminal.open("fake", baudRate, parity, stopBits);
        fakeToOpen = nullptr;
    }
    std::uint8_t storage[256] = {};
    ComHalfDuplexTerminal terminal{storage, sizeof storage, 10, FakeSerialPort};
    bool opened = false;
};

// A real port table with its reads and writes counted, for the worker's wake-ups.
struct CountingPort {
    explicit CountingPort(const SerialPortMethods &real)
    {
        base = &real;
        reads = 0;
        writes = 0;
        methods = real;
        methods.read = countedRead;
        methods.write = countedWrite;
    }
    static int countedRead(PortHandle port, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs,
                           const PortWake *wake, PortError *error)
    {
        ++reads;
        return base->read(port, data, capacity, timeoutUs, wake, error);
    }
    static int countedWrite(PortHandle port, const std::uint8_t *data, std::size_t length, PortError *error)
    {
        ++writes;
        return base->write(port, data, length, error);
    }

    static inline const SerialPortMethods *base = nullptr;
    static inline std::atomic<int> reads{0};
    static inline std::atomic<int> writes{0};
    SerialPortMethods methods{};
};

// A terminal of either framing on `methods`.
std::unique_ptr<ComHalfDuplexTerminal> makeTerminal(std::uint8_t *storage, bool silenceFraming,
                                                    const SerialPortMethods &methods)
{
    if (silenceFraming)
        return std::make_unique<ComHalfDuplexTerminal>(storage, 256, ComHalfDuplexTerminal::LineSilence{}, methods);
    return std::make_unique<ComHalfDuplexTerminal>(storage, 256, ComHalfDuplexTerminal::WindowGapTicks, methods);
}

qint64 millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// This program itself, run as a helper process that opens a port with the terminal,
// as the user nobody when the test runs as root: root passes the kernel's exclusive
// mark, an ordinary user does not.
struct PortHolder {
    // Starts the helper on `path` and waits for its answer: '1' it holds the port,
    // '0' the open was refused, 0 no answer.
    char start(const std::string &program, const std::string &path, const char *mode = "--hold-port")
    {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) != 0)
            return 0;
        const passwd *nobody = getpwnam("nobody");
        const bool dropRoot = geteuid() == 0 && nobody != nullptr;
        const uid_t uid = dropRoot ? nobody->pw_uid : 0;
        const gid_t gid = dropRoot ? nobody->pw_gid : 0;
        pid = fork();
        if (pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            if (dropRoot && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
                _exit(126);
            if (dup2(pipeEnds[1], STDOUT_FILENO) < 0)
                _exit(126);
            execl(program.c_str(), program.c_str(), mode, path.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        ::close(pipeEnds[1]);
        output = pipeEnds[0];
        if (pid < 0)
            return 0;
        pollfd wait{output, POLLIN, 0};
        char answer = 0;
        if (poll(&wait, 1, int(std::chrono::milliseconds(Deadline).count())) == 1 && ::read(output, &answer, 1) != 1)
            answer = 0;
        return answer;
    }
    // What the helper writes after its answer, until it ends.
    QByteArray rest()
    {
        QByteArray bytes;
        char chunk[256];
        pollfd wait{output, POLLIN, 0};
        while (poll(&wait, 1, int(std::chrono::milliseconds(Deadline).count())) == 1) {
            const ssize_t got = ::read(output, chunk, sizeof chunk);
            if (got <= 0)
                break;
            bytes.append(chunk, int(got));
        }
        return bytes;
    }
    void kill()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
    ~PortHolder()
    {
        kill();
        if (output >= 0)
            ::close(output);
    }

    pid_t pid = -1;
    int output = -1;
};

// The program the helpers run: this one. Root's helpers run as nobody, who cannot reach
// it in a checkout that only its owner may enter (root's home folder, a folder made by
// mktemp -d); they run a copy of it in a folder of their own under /tmp that anyone
// may enter, removed when the test ends.
std::string helperProgram()
{
    const QString self = QCoreApplication::applicationFilePath();
    if (geteuid() != 0)
        return self.toStdString();
    static QTemporaryDir folder(QStringLiteral("/tmp/khronar-helper-XXXXXX"));
    static QString copy;
    if (copy.isEmpty() && folder.isValid()) {
        const QString target = folder.filePath(QFileInfo(self).fileName());
        const QFileDevice::Permissions enterable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
            | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
            | QFileDevice::ExeOther;
        if (QFile::copy(self, target) && QFile::setPermissions(folder.path(), enterable)
            && QFile::setPermissions(target, enterable))
            copy = target;
    }
    return (copy.isEmpty() ? self : copy).toStdString();
}

// A test run as root runs its helpers as nobody: the pseudo-terminal is given to
// nobody, so that they may open it.
bool lendToHelpers(const PseudoTerminal &line)
{
    if (geteuid() != 0)
        return true;
    const passwd *nobody = getpwnam("nobody");
    return nobody != nullptr && fchown(line.slave, nobody->pw_uid, nobody->pw_gid) == 0;
}

// The helper's side: opens `path`, tells the test whether that worked and, if it did,
// holds the port until it is killed.
int holdPort(const char *path)
{
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, 10);
    const bool opened = terminal.open(path, 19200, 2, 0);
    const char answer = opened ? '1' : '0';
    if (::write(STDOUT_FILENO, &answer, 1) != 1 || !opened)
        _exit(1);
    for (;;)
        pause();
}

} // namespace

class tst_ComHalfDuplexTerminal : public QObject
{
    Q_OBJECT

private slots:
    void tick_data();
    void tick();
    void frameGap_data();
    void frameGap();
    void openAndClose_data();
    void openAndClose();
    void reopenWithOtherParameters();
    void everyListedRate_data();
    void everyListedRate();
    void refusedOpens_data();
    void refusedOpens();
    void heldPortIsRefused();
    void framesDelimitedBySilence();
    void requestWaitsForSilence();
    void destroyingOpenTerminalIsPrompt();
    void vanishedOtherEndDoesNotSpin();
    void killedHolderLeavesThePortFree();

    void failedWriteStillEndsTheTransmission();
    void frameInPieces_data();
    void frameInPieces();
    void failedReadTakesItsTick();
    void vanishedPortDoesNotSpin();

    void heldPortNamesItsHolder();
    void portWithoutPermission();
    void lostPortIsLeftAlone_data();
    void lostPortIsLeftAlone();
    void waitForFrameEndsWhenThePortIsLost();
    void silenceEndsTheFrame_data();
    void silenceEndsTheFrame();
    void requestWaitsForTheSilence();
    void waitForFrameTimesOut();
};

void tst_ComHalfDuplexTerminal::tick_data()
{
    QTest::addColumn<uint>("baudRate");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<uint>("tickMs");

    QTest::newRow("1200 8N1") << 1200u << 0 << 0 << 8u;
    QTest::newRow("1200 8E1") << 1200u << 2 << 0 << 9u;
    QTest::newRow("1200 8E2") << 1200u << 2 << 2 << 10u;
    QTest::newRow("2400 8N1") << 2400u << 0 << 0 << 4u;
    QTest::newRow("2400 8O1") << 2400u << 1 << 0 << 4u;
    QTest::newRow("2400 8O2") << 2400u << 1 << 2 << 5u;
    QTest::newRow("4800 8N1") << 4800u << 0 << 0 << 2u;
    QTest::newRow("4800 8E2") << 4800u << 2 << 2 << 2u;
    QTest::newRow("9600 8N1") << 9600u << 0 << 0 << 1u;
    QTest::newRow("9600 8E2") << 9600u << 2 << 2 << 1u;
    // 11 * 1000 is below 19200: no division, one millisecond.
    QTest::newRow("19200 8E1") << 19200u << 2 << 0 << 1u;
    QTest::newRow("230400 8N1") << 230400u << 0 << 0 << 1u;
    QTest::newRow("1.5 stop bits count as one more") << 1200u << 0 << 1 << 9u;
}

void tst_ComHalfDuplexTerminal::tick()
{
    QFETCH(uint, baudRate);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(uint, tickMs);

    QCOMPARE(uint(ComHalfDuplexTerminal::tickMilliseconds(baudRate, std::uint8_t(parity), std::uint8_t(stopBits))),
             tickMs);
}

// Ticks of the terminal (about one character time, at least 1 ms) in the silence
// that ends a frame: 3.5 character times, and 1.75 ms above 19200 baud.
void tst_ComHalfDuplexTerminal::frameGap_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<int>("ticks");

    QTest::newRow("1200 8E1: 32.1 ms in 9 ms ticks") << 1200 << 2 << 0 << 4;
    QTest::newRow("9600 8N1: 3.65 ms in 1 ms ticks") << 9600 << 0 << 0 << 4;
    QTest::newRow("19200 8E1: 2.01 ms") << 19200 << 2 << 0 << 3;
    QTest::newRow("19200 8N1: 1.82 ms") << 19200 << 0 << 0 << 2;
    QTest::newRow("38400 8N1: 0.91 ms, at least 1.75") << 38400 << 0 << 0 << 2;
    QTest::newRow("115200 8E1") << 115200 << 2 << 0 << 2;
    QTest::newRow("230400 8N2") << 230400 << 0 << 2 << 2;
}

void tst_ComHalfDuplexTerminal::frameGap()
{
    QFETCH(int, baud);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(int, ticks);
    QCOMPARE(
        int(ComHalfDuplexTerminal::frameGapTicks(std::uint32_t(baud), std::uint8_t(parity), std::uint8_t(stopBits))),
        ticks);
}

void tst_ComHalfDuplexTerminal::openAndClose_data()
{
    QTest::addColumn<uint>("baudRate");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<bool>("byPath");

    // Even parity is the tool's default line; a pseudo-terminal refuses parity itself.
    QTest::newRow("19200 8E1 by path") << 19200u << 2 << 0 << true;
    QTest::newRow("19200 8E1 by name") << 19200u << 2 << 0 << false;
    QTest::newRow("9600 8O2") << 9600u << 1 << 2 << true;
    QTest::newRow("115200 8N1") << 115200u << 0 << 0 << true;
}

void tst_ComHalfDuplexTerminal::openAndClose()
{
    QFETCH(uint, baudRate);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(bool, byPath);

    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    // The port list names "pts/3" the way it names "ttyUSB0": below /dev.
    const std::string name = byPath ? line.slaveName : line.slaveName.substr(5);
    const std::set<int> threadsBefore = threadIds();
    Terminal t;
    ComHalfDuplexTerminal &terminal = t.terminal;

    QVERIFY(!terminal.isOpen());
    terminal.close(); // closing a closed terminal does nothing
    QVERIFY(terminal.open(name, baudRate, std::uint8_t(parity), std::uint8_t(stopBits)));
    QVERIFY(terminal.isOpen());
    // One worker runs.
    QVERIFY(waitFor([&] { return threadsSince(threadsBefore).size() == 1; }));
    const std::set<int> workers = threadsSince(threadsBefore);

    termios settings;
    QCOMPARE(tcgetattr(line.slave, &settings), 0);
    QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE((settings.c_cflag & CSTOPB) != 0, stopBits == 2);
    QCOMPARE(settings.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(settings.c_lflag & (ICANON | ECHO), tcflag_t(0));
    QCOMPARE(serialPortRate(line.slave), std::uint32_t(baudRate));

    // The line works: a request goes out, a reply comes back.
    const QByteArray request = QByteArray::fromHex("0142000001");
    const QByteArray reply = QByteArray::fromHex("014200050000");
    QVERIFY(sendRequest(terminal, request));
    QCOMPARE(line.read(request.size()), request);
    QVERIFY(line.write(reply));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::FrameReady; }));
    QCOMPARE(receivedFrame(terminal), reply);

    terminal.close();
    QVERIFY(!terminal.isOpen());
    QVERIFY(waitFor([&] { return threadIds().count(*workers.begin()) == 0; }));
    // The buffer keeps what the worker left.
    QCOMPARE(terminal.currentState(), TerminalBuffer::FrameReady);
    terminal.close();
    QVERIFY(!terminal.isOpen());
}

void tst_ComHalfDuplexTerminal::reopenWithOtherParameters()
{
    PseudoTerminal first, second;
    QVERIFY(first.master >= 0 && second.master >= 0);
    const std::set<int> threadsBefore = threadIds();
    Terminal t;
    ComHalfDuplexTerminal &terminal = t.terminal;

    QVERIFY(terminal.open(first.slaveName, 19200, 2, 0));
    QVERIFY(waitFor([&] { return threadsSince(threadsBefore).size() == 1; }));
    const std::set<int> firstWorker = threadsSince(threadsBefore);
    QVERIFY(terminal.open(second.slaveName, 1200, 0, 2));
    // The first worker was joined on the way: one worker, never two.
    QVERIFY(waitFor([&] { return threadsSince(threadsBefore).size() == 1; }));
    QVERIFY(waitFor([&] { return threadIds().count(*firstWorker.begin()) == 0; }));
    termios settings;
    QCOMPARE(tcgetattr(second.slave, &settings), 0);
    QVERIFY(settings.c_cflag & CSTOPB);
    QCOMPARE(serialPortRate(second.slave), 1200u);

    // The first port was let go: somebody else can have it.
    Terminal other;
    QVERIFY(other.terminal.open(first.slaveName, 9600, 0, 0));
    other.terminal.close();

    // Frames now come from the second line only.
    QVERIFY(first.write("old"));
    QVERIFY(second.write("new"));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::FrameReady; }));
    QCOMPARE(receivedFrame(terminal), QByteArray("new"));
    terminal.releaseFrame();

    // A reopen that fails leaves the terminal closed, its worker gone, the old port free.
    QVERIFY(!terminal.open("/dev/khronar-no-such-port", 19200, 2, 0));
    QVERIFY(!terminal.isOpen());
    QVERIFY(waitFor([&] { return threadsSince(threadsBefore).empty(); }));
    QVERIFY(other.terminal.open(second.slaveName, 19200, 2, 0));
}

void tst_ComHalfDuplexTerminal::everyListedRate_data()
{
    QTest::addColumn<uint>("baudRate");
    for (uint rate : {1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 28800u, 38400u, 57600u, 115200u, 230400u})
        QTest::addRow("%u", rate) << rate;
}

void tst_ComHalfDuplexTerminal::everyListedRate()
{
    QFETCH(uint, baudRate);

    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    Terminal t;
    QVERIFY(t.terminal.open(line.slaveName, baudRate, 2, 0));
    QCOMPARE(serialPortRate(line.slave), std::uint32_t(baudRate));
}

void tst_ComHalfDuplexTerminal::refusedOpens_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<uint>("baudRate");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<PortFailure>("cause");
    QTest::addColumn<QString>("reason");

    const auto missing = PortFailure::NoSuchPort;
    const auto settings = PortFailure::LineSettingsRefused;
    const QString notFound = QStringLiteral("порт не найден");
    const QString refusesLine = QStringLiteral("порт не принимает параметры линии");
    // An empty port name stands for the test's own pseudo-terminal, "refused" for a
    // gateway where nobody listens.
    QTest::newRow("missing path") << "/dev/khronar-no-such-port" << 19200u << 2 << 0 << missing << notFound;
    QTest::newRow("missing name") << "ttyKhronarMissing0" << 19200u << 2 << 0 << missing << notFound;
    QTest::newRow("not a serial port") << "/dev/null" << 19200u << 2 << 0 << PortFailure::NotSerialPort
                                       << "это не последовательный порт";
    QTest::newRow("empty name") << "-" << 19200u << 2 << 0 << missing << notFound;
    // 8 data bits cannot go with one and a half stop bits.
    QTest::newRow("1.5 stop bits") << "" << 19200u << 2 << 1 << settings << refusesLine;
    QTest::newRow("unknown stop bits") << "" << 19200u << 0 << 3 << settings << refusesLine;
    QTest::newRow("unknown parity") << "" << 19200u << 3 << 0 << settings << refusesLine;
    QTest::newRow("rate 0") << "" << 0u << 0 << 0 << settings << refusesLine;
    QTest::newRow("refused gateway") << "refused" << 19200u << 2 << 0 << PortFailure::ConnectionRefused
                                     << "шлюз отклонил соединение";
    QTest::newRow("gateway without a port number")
        << "tcp://127.0.0.1" << 19200u << 2 << 0 << missing << "шлюз не найден";
}

void tst_ComHalfDuplexTerminal::refusedOpens()
{
    QFETCH(QString, port);
    QFETCH(uint, baudRate);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(PortFailure, cause);
    QFETCH(QString, reason);

    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    std::string name = port.toStdString();
    if (name.empty())
        name = line.slaveName;
    else if (name == "-")
        name.clear();
    else if (name == "refused")
        name = QStringLiteral("tcp://127.0.0.1:%1").arg(refusingPort()).toStdString();
    const std::set<int> threadsBefore = threadIds();
    Terminal t;

    QVERIFY(!t.terminal.open(name, baudRate, std::uint8_t(parity), std::uint8_t(stopBits)));
    QVERIFY(!t.terminal.isOpen());
    QVERIFY(waitFor([&] { return threadsSince(threadsBefore).empty(); }));
    // Why, in the user's words.
    QCOMPARE(t.terminal.openError().cause, cause);
    QCOMPARE(QString::fromStdString(portOpenFailureText(name, t.terminal.openError())),
             QStringLiteral("Не удается открыть порт \"%1\": %2").arg(QString::fromStdString(name), reason));
    // A refused open leaves the port free, and a successful one forgets the cause.
    QVERIFY(t.terminal.open(line.slaveName, 19200, 2, 0));
    QVERIFY(!t.terminal.openError().failed());
}

void tst_ComHalfDuplexTerminal::heldPortIsRefused()
{
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    Terminal holder, second;

    QVERIFY(holder.terminal.open(line.slaveName, 19200, 2, 0));
    QVERIFY(!second.terminal.open(line.slaveName, 19200, 2, 0));
    QVERIFY(!second.terminal.isOpen());
    QCOMPARE(second.terminal.openError().cause, PortFailure::Busy);

    holder.terminal.close();
    QVERIFY(second.terminal.open(line.slaveName, 19200, 2, 0));
    // And the holder, in turn, is kept out.
    QVERIFY(!holder.terminal.open(line.slaveName, 19200, 2, 0));
}

void tst_ComHalfDuplexTerminal::framesDelimitedBySilence()
{
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    Terminal t;
    ComHalfDuplexTerminal &terminal = t.terminal;
    QVERIFY(terminal.open(line.slaveName, 19200, 2, 0));

    QByteArray longest;
    for (int i = 0; i < 256; ++i)
        longest.append(char(i));
    const QByteArray frames[] = {QByteArray::fromHex("01420011"), longest, QByteArray("z")};
    for (const QByteArray &sent : frames) {
        QVERIFY(line.write(sent));
        QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::FrameReady; }));
        QCOMPARE(receivedFrame(terminal), sent);
        terminal.releaseFrame();
    }

    // Longer than the storage without a pause: nothing is delivered for it.
    QVERIFY(line.write(longest + longest));
    QVERIFY(waitFor([&] { return line.pendingAtSlave() == 0; }));
    QCOMPARE(terminal.currentState(), TerminalBuffer::Listening);
    // A request goes out only once the line has been silent for the gap; after it, the
    // next frame comes alone.
    QVERIFY(sendRequest(terminal, "?"));
    QCOMPARE(line.read(1), QByteArray("?"));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Listening; }));
    QVERIFY(line.write("after"));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::FrameReady; }));
    QCOMPARE(receivedFrame(terminal), QByteArray("after"));
}

void tst_ComHalfDuplexTerminal::requestWaitsForSilence()
{
    // The gap is ten empty reads. The device keeps talking, with pauses of nine empty
    // reads between its bytes; the request is committed in the middle of it, while the
    // worker is inside a read whose byte is still to come.
    constexpr std::size_t Gap = ComHalfDuplexTerminal::WindowGapTicks;
    constexpr int Pauses = 3;
    FakePort port;
    port.script.push_back({FakePort::Bytes, "\x55"});
    port.script.push_back({FakePort::Held, "\x55"});
    for (int i = 0; i < Pauses; ++i) {
        port.script.insert(port.script.end(), Gap - 1, FakePort::Step{FakePort::Silence, {}});
        port.script.push_back({FakePort::Bytes, "\x55"});
    }
    FakeTerminal t(port, 1200, 0, 0);
    QVERIFY(t.opened);
    ComHalfDuplexTerminal &terminal = t.terminal;

    QVERIFY(port.waitHeld());
    QCOMPARE(terminal.currentState(), TerminalBuffer::Receiving);
    QVERIFY(sendRequest(terminal, "REQUEST"));
    port.release();

    QVERIFY(waitFor([&] { return port.writes().size() == 1; }));
    QCOMPARE(port.writes().constFirst(), QByteArray("REQUEST"));
    // It went out after the device's last byte, and after a whole gap of silence: the
    // reads are counted, not the time they took.
    const std::vector<FakePort::ReadCall> reads = port.readCalls();
    const std::size_t before = port.writePlaces().at(0);
    QVERIFY(before <= reads.size());
    int bytes = 0;
    std::size_t lastByte = 0;
    for (std::size_t i = 0; i < before; ++i) {
        if (reads[i].outcome == FakePort::Bytes) {
            ++bytes;
            lastByte = i;
        }
    }
    QCOMPARE(bytes, 2 + Pauses);
    QVERIFY2(before - 1 - lastByte >= Gap, qPrintable(QStringLiteral("%1 empty reads").arg(before - 1 - lastByte)));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Listening; }));
}

void tst_ComHalfDuplexTerminal::destroyingOpenTerminalIsPrompt()
{
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    const std::set<int> threadsBefore = threadIds();
    CountingPort counted(portMethodsFor(line.slaveName));
    std::uint8_t storage[256];
    auto terminal = makeTerminal(storage, false, counted.methods);
    // 1200 baud 8E2: the worker waits up to 10 ms in each read.
    QVERIFY(terminal->open(line.slaveName, 1200, 2, 2));
    QVERIFY(waitFor([&] { return threadsSince(threadsBefore).size() == 1; }));
    const int worker = *threadsSince(threadsBefore).begin();
    QVERIFY(waitFor([] { return CountingPort::reads >= 2; }));

    const int readsAtClose = CountingPort::reads;
    terminal.reset();
    // Prompt: the destruction waited for the read under way at most, each read being
    // bounded by its tick, however busy the machine is. (How long that takes on the
    // clock is bench_link's figure.)
    QVERIFY2(CountingPort::reads - readsAtClose <= 1, qPrintable(QString::number(CountingPort::reads - readsAtClose)));
    QVERIFY(waitFor([&] { return threadIds().count(worker) == 0; }));

    Terminal again;
    QVERIFY(again.terminal.open(line.slaveName, 19200, 2, 0));
}

void tst_ComHalfDuplexTerminal::vanishedOtherEndDoesNotSpin()
{
    // 1200 baud 8E2: 10 ms a tick, 100 ms a gap.
    constexpr auto Gap = std::chrono::milliseconds(100);
    constexpr int Requests = 5;
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    Terminal t;
    ComHalfDuplexTerminal &terminal = t.terminal;
    QVERIFY(terminal.open(line.slaveName, 1200, 2, 2));

    // A frame is on its way when the other end goes. The gap runs from the byte's
    // arrival, which is after the write began however late this thread sees it.
    const auto lastByte = Clock::now();
    QVERIFY(line.write("part"));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Receiving; }));
    line.closeMaster();
    ::close(line.slave);
    line.slave = -1;

    const double processBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double testBefore = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const auto started = Clock::now();

    // Failed reads still count as ticks: the frame ends after the gap, not at once.
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::FrameReady; }));
    QVERIFY(Clock::now() - lastByte >= Gap);
    QCOMPARE(receivedFrame(terminal), QByteArray("part"));
    terminal.releaseFrame();

    // Requests still go through the buffer (their writes fail), each after the gap.
    for (int i = 0; i < Requests; ++i) {
        QVERIFY(sendRequest(terminal, "\x01\x42\x02"));
        QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Listening; }));
    }
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    // The first request goes out after one tick; every later one waits the full gap.
    QVERIFY(wall >= (Requests - 1) * std::chrono::duration<double>(Gap).count());

    // The worker's share: the process less this thread. A spinning worker takes it all.
    const double worker = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processBefore)
        - (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - testBefore);
    qInfo("worker CPU %.3f s in %.3f s", worker, wall);
    QVERIFY(worker < 0.25 * wall);
    terminal.close();
    QVERIFY(!terminal.isOpen());
}

void tst_ComHalfDuplexTerminal::killedHolderLeavesThePortFree()
{
    // The simulator's side of the line stays open throughout, as it does in the demo.
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    QVERIFY(lendToHelpers(line));
    const std::string program = helperProgram();

    PortHolder holder, second;
    QCOMPARE(holder.start(program, line.slaveName), '1');
    // While it lives, nobody else gets in: neither another user's tool nor root's.
    QCOMPARE(second.start(program, line.slaveName), '0');
    Terminal here;
    QVERIFY(!here.terminal.open(line.slaveName, 19200, 2, 0));

    holder.kill();
    PortHolder next;
    QCOMPARE(next.start(program, line.slaveName), '1');
}

void tst_ComHalfDuplexTerminal::failedWriteStillEndsTheTransmission()
{
    FakePort port;
    port.writesFail = true;
    FakeTerminal t(port);
    QVERIFY(t.opened);
    ComHalfDuplexTerminal &terminal = t.terminal;

    const QByteArray first = QByteArray::fromHex("0142000001");
    const QByteArray second = QByteArray::fromHex("0142020002");
    QVERIFY(sendRequest(terminal, first));
    QVERIFY(waitFor([&] { return port.writes().size() == 1; }));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Listening; }));

    // The line is free again for the next request, which goes out whole.
    QVERIFY(sendRequest(terminal, second));
    QVERIFY(waitFor([&] { return port.writes().size() == 2; }));
    QCOMPARE(port.writes(), QList<QByteArray>({first, second}));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Listening; }));
}

void tst_ComHalfDuplexTerminal::frameInPieces_data()
{
    QTest::addColumn<int>("pauseReads");
    QTest::addColumn<bool>("pauseFails");
    QTest::addColumn<QByteArray>("expected");

    // The frame comes in three pieces with `pauseReads` empty (or failed) reads
    // between them; the gap is 10 reads.
    const QByteArray whole = QByteArray::fromHex("014203") + QByteArray::fromHex("64000000")
        + QByteArray::fromHex("5AC3003C");
    const QByteArray firstPiece = QByteArray::fromHex("014203");
    QTest::newRow("back to back") << 0 << false << whole;
    QTest::newRow("one empty read") << 1 << false << whole;
    QTest::newRow("just below the gap") << 9 << false << whole;
    QTest::newRow("a whole gap ends the frame") << 10 << false << firstPiece;
    // A failed read counts as an empty one.
    QTest::newRow("failed reads just below the gap") << 9 << true << whole;
    QTest::newRow("failed reads for a whole gap") << 10 << true << firstPiece;
}

void tst_ComHalfDuplexTerminal::frameInPieces()
{
    QFETCH(int, pauseReads);
    QFETCH(bool, pauseFails);
    QFETCH(QByteArray, expected);

    FakePort port;
    const FakePort::Step pause{pauseFails ? FakePort::Failure : FakePort::Silence, {}};
    port.script.push_back({FakePort::Bytes, QByteArray::fromHex("014203")});
    for (const char *piece : {"64000000", "5AC3003C"}) {
        port.script.insert(port.script.end(), std::size_t(pauseReads), pause);
        port.script.push_back({FakePort::Bytes, QByteArray::fromHex(piece)});
    }
    FakeTerminal t(port);
    QVERIFY(t.opened);

    QVERIFY(waitFor([&] { return port.scriptDone(); }));
    QVERIFY(waitFor([&] { return t.terminal.currentState() == TerminalBuffer::FrameReady; }));
    QCOMPARE(receivedFrame(t.terminal), expected);
}

void tst_ComHalfDuplexTerminal::failedReadTakesItsTick()
{
    // 1200 baud 8N1: a tick of 8 ms.
    constexpr auto Tick = std::chrono::milliseconds(8);
    FakePort port;
    port.play({{FakePort::Bytes, "ab"},
               {FakePort::Failure, {}},
               {FakePort::Bytes, "cd"},
               {FakePort::Failure, {}},
               {FakePort::Failure, {}},
               {FakePort::Failure, {}}});
    FakeTerminal t(port, 1200, 0, 0);
    QVERIFY(t.opened);
    QCOMPARE(port.tickMs, 8u);

    QVERIFY(waitFor([&] { return t.terminal.currentState() == TerminalBuffer::FrameReady; }));
    QCOMPARE(receivedFrame(t.terminal), QByteArray("abcd"));
    // Every failed read is followed by its tick before the next read begins.
    const std::vector<FakePort::ReadCall> calls = port.readCalls();
    int failures = 0;
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
        if (calls[i].outcome != FakePort::Failure)
            continue;
        ++failures;
        QVERIFY2(calls[i + 1].entered - calls[i].returned >= Tick,
                 qPrintable(QStringLiteral("read %1 came %2 us after a failure")
                                .arg(i + 1)
                                .arg(std::chrono::duration_cast<std::chrono::microseconds>(calls[i + 1].entered
                                                                                           - calls[i].returned)
                                         .count())));
    }
    QCOMPARE(failures, 4);
    // Failures that pass are no lost port.
    QVERIFY(!t.terminal.portLost());
}

void tst_ComHalfDuplexTerminal::vanishedPortDoesNotSpin()
{
    // 1200 baud 8E2: 10 ms a tick.
    constexpr double TickSeconds = 0.010;
    const std::set<int> threadsBefore = threadIds();
    FakePort port;
    FakeTerminal t(port, 1200, 2, 2);
    QVERIFY(t.opened);
    ComHalfDuplexTerminal &terminal = t.terminal;
    QVERIFY(waitFor([&] { return port.readCount() > 0; }));

    port.vanish();
    const int readsBefore = port.readCount();
    const auto started = Clock::now();
    // Requests still pass through the buffer; their writes fail.
    for (int i = 0; i < 3; ++i) {
        QVERIFY(sendRequest(terminal, QByteArray::fromHex("014202")));
        QVERIFY(waitFor([&] { return port.writes().size() == i + 1; }));
        QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Listening; }));
    }
    // Reads are counted over a known stretch of time.
    std::this_thread::sleep_until(started + std::chrono::milliseconds(300));
    const int reads = port.readCount() - readsBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    qInfo("%d failed reads in %.3f s", reads, wall);
    // Each failed read waits its tick: a spinning worker would make millions.
    QVERIFY2(reads <= int(wall / TickSeconds) + 3, qPrintable(QString::number(reads)));

    const int readsAtClose = port.readCount();
    terminal.close();
    QVERIFY(!terminal.isOpen());
    QCOMPARE(port.closes, 1);
    // About a tick: the close waited for the read under way at most, each read being
    // bounded by its tick, however busy the machine is.
    QVERIFY2(port.readCount() - readsAtClose <= 1, qPrintable(QString::number(port.readCount() - readsAtClose)));
    // The worker is gone with it.
    QVERIFY(waitFor([&] { return threadsSince(threadsBefore).empty(); }));
}

void tst_ComHalfDuplexTerminal::heldPortNamesItsHolder()
{
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    QVERIFY(lendToHelpers(line));
    const std::string program = helperProgram();
    PortHolder holder;
    QCOMPARE(holder.start(program, line.slaveName), '1');

    Terminal here;
    QVERIFY(!here.terminal.open(line.slaveName, 19200, 2, 0));
    const PortError &why = here.terminal.openError();
    QCOMPARE(why.cause, PortFailure::Busy);
    // The kernel keeps the first 15 bytes of a program's name.
    const QString name = QFileInfo(QString::fromStdString(program)).fileName().left(15);
    const QString holderText = QStringLiteral("%1 (PID %2)").arg(name).arg(holder.pid);
    QCOMPARE(QString::fromStdString(why.detail), holderText);
    QCOMPARE(QString::fromStdString(portOpenFailureText(line.slaveName, why)),
             QStringLiteral("Не удается открыть порт \"%1\": порт занят программой %2")
                 .arg(QString::fromStdString(line.slaveName), holderText));

    // Once it is gone, the port opens.
    holder.kill();
    QVERIFY(here.terminal.open(line.slaveName, 19200, 2, 0));
}

void tst_ComHalfDuplexTerminal::portWithoutPermission()
{
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    // Root's helper runs as nobody, who may not open root's terminal; anyone else's
    // runs as the user, from whom the terminal is taken away.
    if (geteuid() != 0)
        QCOMPARE(fchmod(line.slave, 0), 0);
    PortHolder helper;
    QCOMPARE(helper.start(helperProgram(), line.slaveName, "--try-open"), char('A' + int(PortFailure::NoPermission)));
    QCOMPARE(QString::fromUtf8(helper.rest()),
             QStringLiteral("Не удается открыть порт \"%1\": нет доступа, добавьте пользователя в группу dialout\n")
                 .arg(QString::fromStdString(line.slaveName)));
}

void tst_ComHalfDuplexTerminal::lostPortIsLeftAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("silenceFraming");

    for (const bool silence : {false, true}) {
        const char *framing = silence ? "silence" : "ticks";
        QTest::addRow("pseudo-terminal closed, %s", framing) << "pty" << silence;
        QTest::addRow("rtu over tcp, peer closes, %s", framing) << "tcp" << silence;
        QTest::addRow("modbus tcp, peer closes, %s", framing) << "mbtcp" << silence;
    }
}

void tst_ComHalfDuplexTerminal::lostPortIsLeftAlone()
{
    QFETCH(QString, kind);
    QFETCH(bool, silenceFraming);

    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    TcpListener gateway;
    QVERIFY(gateway.fd >= 0);
    const bool serial = kind == QLatin1String("pty");
    const std::string name = serial ? line.slaveName : gateway.url(qPrintable(kind)).toStdString();
    CountingPort counted(portMethodsFor(name));
    std::uint8_t storage[256];
    const auto terminal = makeTerminal(storage, silenceFraming, counted.methods);
    QVERIFY(terminal->open(name, 9600, 0, 0));
    const int peer = serial ? -1 : gateway.accept();
    QVERIFY(serial || peer >= 0);

    // A silent line first: read again and again, never lost.
    QVERIFY(waitFor([] { return CountingPort::reads >= 3; }));
    QVERIFY(!terminal->portLost());

    if (serial) {
        line.closeMaster();
        line.closeSlave();
    } else {
        gateway.closeClient(peer);
    }
    QVERIFY(waitFor([&] { return terminal->portLost(); }));
    const PortError why = terminal->lostError();
    QCOMPARE(why.cause, PortFailure::PortLost);
    QCOMPARE(QString::fromStdString(portLostText(name, why)),
             QStringLiteral("Потеряна связь с портом \"%1\": %2")
                 .arg(QString::fromStdString(name),
                      serial ? QStringLiteral("порт отключён") : QStringLiteral("шлюз разорвал соединение")));

    // From now on the port is left alone: over a stretch of time, at most the read
    // that was on its way when the loss was seen. A worker that kept trying would
    // make hundreds.
    const int readsThen = CountingPort::reads;
    const auto from = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // A request still passes through the buffer, as a failed write: the owner's
    // transfer resends and gives up at its own pace.
    QVERIFY(sendRequest(*terminal, QByteArray::fromHex("01420200")));
    QVERIFY(waitFor([&] { return terminal->currentState() == TerminalBuffer::Listening; }));
    const int reads = CountingPort::reads - readsThen;
    qInfo("%d reads in %lld ms after the loss", reads, millisecondsSince(from));
    QVERIFY2(reads <= 1, qPrintable(QString::number(reads)));
    QCOMPARE(int(CountingPort::writes), 0);

    terminal->close();
    QVERIFY(!terminal->isOpen());
}

void tst_ComHalfDuplexTerminal::waitForFrameEndsWhenThePortIsLost()
{
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, ComHalfDuplexTerminal::LineSilence{});
    QVERIFY(terminal.open(line.slaveName, 9600, 0, 0));

    // The line goes once this thread is asleep in the wait, not after a guess at
    // how long it takes to get there.
    const int master = line.master;
    const int slave = line.slave;
    line.master = line.slave = -1;
    const pid_t waiter = pid_t(syscall(SYS_gettid));
    std::atomic<bool> waiting{false};
    std::thread unplug([master, slave, waiter, &waiting] {
        waitFor([&] { return waiting && threadState(waiter) == 'S'; }, std::chrono::seconds(60));
        ::close(master);
        ::close(slave);
    });
    waiting = true;
    const bool frame = terminal.waitForFrame(std::chrono::seconds(60));
    unplug.join();
    QVERIFY(!frame);
    // Ended by the loss, not by its time.
    QVERIFY(terminal.portLost());
    // A port lost before the wait does not end it: the owner would spin.
    QVERIFY(!terminal.waitForFrame(std::chrono::milliseconds(50)));
}

void tst_ComHalfDuplexTerminal::silenceEndsTheFrame_data()
{
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("one write") << QList<QByteArray>{QByteArray::fromHex("0142030a")} << QByteArray::fromHex("0142030a");
    QTest::newRow("two writes back to back")
        << QList<QByteArray>{QByteArray::fromHex("014203"), QByteArray::fromHex("64000000")}
        << QByteArray::fromHex("01420364000000");
}

void tst_ComHalfDuplexTerminal::silenceEndsTheFrame()
{
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QByteArray, frame);

    // 300 baud, 8N1: 3.5 characters are 116.7 ms.
    const auto gap = std::chrono::microseconds(ComHalfDuplexTerminal::frameGapMicroseconds(300, 0, 0));
    QCOMPARE(gap.count(), 116667);
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, ComHalfDuplexTerminal::LineSilence{});
    QVERIFY(terminal.open(line.slaveName, 300, 0, 0));

    // The silence runs from the last byte's arrival, which is after its write began
    // however late this thread sees it.
    auto lastWrite = Clock::now();
    for (const QByteArray &bytes : writes) {
        lastWrite = Clock::now();
        QVERIFY(line.write(bytes));
    }
    QVERIFY(terminal.waitForFrame(std::chrono::seconds(10)));
    QVERIFY(Clock::now() - lastWrite >= gap);
    QCOMPARE(receivedFrame(terminal), frame);
    terminal.releaseFrame();

    // Once the silence has ended one frame, the next bytes are another.
    QVERIFY(line.write("next"));
    QVERIFY(terminal.waitForFrame(std::chrono::seconds(10)));
    QCOMPARE(receivedFrame(terminal), QByteArray("next"));
}

void tst_ComHalfDuplexTerminal::requestWaitsForTheSilence()
{
    const auto gap = std::chrono::microseconds(ComHalfDuplexTerminal::frameGapMicroseconds(300, 0, 0));
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, ComHalfDuplexTerminal::LineSilence{});
    QVERIFY(terminal.open(line.slaveName, 300, 0, 0));
    // Let the line be quiet first.
    std::this_thread::sleep_for(gap * 2);

    // A request committed to a quiet line goes out: the commit wakes the worker.
    QVERIFY(sendRequest(terminal, "first"));
    QCOMPARE(line.read(5), QByteArray("first"));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Listening; }));

    // One committed while a byte has just come waits for the silence after it, which
    // runs from the byte's arrival: after its write began.
    const auto byteSent = Clock::now();
    QVERIFY(line.write("\x55"));
    QVERIFY(waitFor([&] { return terminal.currentState() == TerminalBuffer::Receiving; }));
    QVERIFY(sendRequest(terminal, "second"));
    QCOMPARE(line.read(6), QByteArray("second"));
    QVERIFY(Clock::now() - byteSent >= gap);
}

void tst_ComHalfDuplexTerminal::waitForFrameTimesOut()
{
    PseudoTerminal line;
    QVERIFY(line.master >= 0);
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, ComHalfDuplexTerminal::LineSilence{});
    QVERIFY(terminal.open(line.slaveName, 19200, 0, 0));
    const auto started = Clock::now();
    QVERIFY(!terminal.waitForFrame(std::chrono::milliseconds(200)));
    QVERIFY(Clock::now() - started >= std::chrono::milliseconds(200));
}

// The helper's side for the causes: tries to open `path` and writes why it failed, as
// a letter for the cause and the user's text.
int tryOpen(const char *path)
{
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, 10);
    terminal.open(path, 19200, 2, 0);
    const std::string answer = char('A' + int(terminal.openError().cause))
        + portOpenFailureText(path, terminal.openError()) + "\n";
    return ::write(STDOUT_FILENO, answer.data(), answer.size()) == ssize_t(answer.size()) ? 0 : 1;
}

// A helper process started by the tests of other processes' opens runs holdPort or
// tryOpen instead of the tests.
int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--hold-port") == 0)
        return holdPort(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--try-open") == 0)
        return tryOpen(argv[2]);
    QCoreApplication app(argc, argv);
    tst_ComHalfDuplexTerminal test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_comhalfduplexterminal.moc"
