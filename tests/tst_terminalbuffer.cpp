// The frame buffer driven as the worker and the poll cycle drive it: framing by empty
// reads, overflow, the handshake, and both threads at once.

#include "link/terminalbuffer.h"
#include "tests/support/framebytes.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

// The buffer's positions and its two-step claim and commit, which the product
// reaches only through sendRequest, opened up for these tests.
struct TerminalBufferProbe {
    static std::uint8_t *&base(TerminalBuffer &b) { return b.base; }
    static std::uint8_t *&pos(TerminalBuffer &b) { return b.pos; }
    static std::uint8_t *&end(TerminalBuffer &b) { return b.end; }
    static std::uint8_t gapTicks(const TerminalBuffer &b) { return b.gapTicks; }
    static std::uint8_t &idleCountdown(TerminalBuffer &b) { return b.idleCountdown; }
    static bool &ignoreBurst(TerminalBuffer &b) { return b.ignoreBurst; }
    static bool claimForRequest(TerminalBuffer &b) { return b.claimForRequest(); }
    static bool commitRequest(TerminalBuffer &b, std::uint8_t n) { return b.commitRequest(n); }
};

namespace {

constexpr std::size_t StorageSize = 256;

// A buffer over its own storage that records the direction hook's calls.
struct RecordingBuffer : TerminalBuffer {
    explicit RecordingBuffer(std::uint8_t gap, std::size_t length = StorageSize)
        : TerminalBuffer(storage, length, gap, &RecordingBuffer::record)
    {}
    static void record(TerminalBuffer *buffer, bool transmitting)
    {
        static_cast<RecordingBuffer *>(buffer)->hookCalls.push_back(transmitting);
    }

    std::uint8_t storage[StorageSize] = {};
    std::vector<bool> hookCalls;
};

QByteArray pattern(int length, int seed = 0)
{
    QByteArray bytes;
    for (int i = 0; i < length; ++i)
        bytes.append(char((i * 7 + seed) & 0xFF));
    return bytes;
}

void feed(TerminalBuffer &buffer, const QByteArray &bytes)
{
    for (char byte : bytes)
        buffer.putReceived(std::uint8_t(byte));
}

// One read of the worker that came back empty.
void emptyRead(TerminalBuffer &buffer)
{
    if (buffer.nextOutput().flag)
        buffer.onLineIdle();
}

void emptyReads(TerminalBuffer &buffer, int count)
{
    for (int i = 0; i < count; ++i)
        emptyRead(buffer);
}

void writeRequest(TerminalBuffer &buffer, const QByteArray &request)
{
    std::memcpy(TerminalBufferProbe::base(buffer), request.constData(), std::size_t(request.size()));
}

// What the worker sends of a transmission, up to the byte marked last.
QByteArray transmit(TerminalBuffer &buffer)
{
    QByteArray sent;
    for (TerminalOutput output{0, false}; !output.flag;) {
        output = buffer.nextOutput();
        sent.append(char(output.byte));
    }
    return sent;
}

// Drives a fresh buffer (gap 2) into `state` the way the two threads would.
void driveTo(TerminalBuffer &buffer, TerminalBuffer::State state)
{
    switch (state) {
    case TerminalBuffer::Listening:
        break;
    case TerminalBuffer::Receiving:
        feed(buffer, "ab");
        break;
    case TerminalBuffer::FrameReady:
        feed(buffer, "ab");
        emptyReads(buffer, TerminalBufferProbe::gapTicks(buffer));
        break;
    case TerminalBuffer::Composing:
        TerminalBufferProbe::claimForRequest(buffer);
        break;
    case TerminalBuffer::RequestReady:
        TerminalBufferProbe::claimForRequest(buffer);
        writeRequest(buffer, "wxyz");
        TerminalBufferProbe::commitRequest(buffer, 4);
        break;
    case TerminalBuffer::Transmitting:
        TerminalBufferProbe::claimForRequest(buffer);
        writeRequest(buffer, "wxyz");
        TerminalBufferProbe::commitRequest(buffer, 4);
        emptyRead(buffer); // a fresh line is idle already
        break;
    }
}

} // namespace

class tst_TerminalBuffer : public QObject
{
    Q_OBJECT

private slots:
    void frameEndsAfterGap_data();
    void frameEndsAfterGap();
    void burstLength_data();
    void burstLength();
    void bytesWhileFrameReadyAreDropped();
    void operationsOutsideTheirStates_data();
    void operationsOutsideTheirStates();
    void claimDuringReceivingDropsPartialFrame();
    void transmission();
    void idleCountdownAtZeroKeepsSignalling();
    void emptyOrOversizedRequestIsRefused();
    void sendRequestByState_data();
    void sendRequestByState();
    void twoThreads();
};

void tst_TerminalBuffer::frameEndsAfterGap_data()
{
    QTest::addColumn<int>("gap");
    QTest::addColumn<int>("emptyReadsNeeded");

    QTest::newRow("gap 0 is taken as 1") << 0 << 1;
    QTest::newRow("gap 1") << 1 << 1;
    QTest::newRow("gap 3") << 3 << 3;
    QTest::newRow("gap 10, as the terminal runs") << 10 << 10;
}

void tst_TerminalBuffer::frameEndsAfterGap()
{
    QFETCH(int, gap);
    QFETCH(int, emptyReadsNeeded);

    RecordingBuffer buffer{std::uint8_t(gap)};
    feed(buffer, QByteArray("\x01\x42\x00", 3));
    QCOMPARE(buffer.currentState(), TerminalBuffer::Receiving);
    emptyReads(buffer, emptyReadsNeeded - 1);
    QCOMPARE(buffer.currentState(), TerminalBuffer::Receiving);
    emptyRead(buffer);
    QCOMPARE(buffer.currentState(), TerminalBuffer::FrameReady);
    QCOMPARE(receivedFrame(buffer), QByteArray("\x01\x42\x00", 3));
    QVERIFY(buffer.hookCalls.empty());
}

void tst_TerminalBuffer::burstLength_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("delivered");

    QTest::newRow("1 byte") << 1 << true;
    QTest::newRow("255 bytes") << 255 << true;
    QTest::newRow("256 bytes fill the storage") << 256 << true;
    QTest::newRow("257 bytes overflow") << 257 << false;
    QTest::newRow("300 bytes: the rest of the burst starts no frame") << 300 << false;
}

void tst_TerminalBuffer::burstLength()
{
    QFETCH(int, length);
    QFETCH(bool, delivered);

    RecordingBuffer buffer(10);
    const QByteArray burst = pattern(length);
    feed(buffer, burst);
    emptyReads(buffer, 10);
    if (delivered) {
        QCOMPARE(buffer.currentState(), TerminalBuffer::FrameReady);
        QCOMPARE(receivedFrame(buffer), burst);
        buffer.releaseFrame();
    } else {
        QCOMPARE(buffer.currentState(), TerminalBuffer::Listening);
        QCOMPARE(TerminalBufferProbe::pos(buffer), TerminalBufferProbe::base(buffer));
    }

    // The next burst after the silence is delivered alone.
    feed(buffer, "next");
    emptyReads(buffer, 10);
    QCOMPARE(buffer.currentState(), TerminalBuffer::FrameReady);
    QCOMPARE(receivedFrame(buffer), QByteArray("next"));
}

void tst_TerminalBuffer::bytesWhileFrameReadyAreDropped()
{
    RecordingBuffer buffer(4);
    feed(buffer, "first");
    emptyReads(buffer, 4);
    QCOMPARE(buffer.currentState(), TerminalBuffer::FrameReady);

    // A burst starts while the frame waits: the frame stays as it was.
    feed(buffer, "late");
    QCOMPARE(buffer.currentState(), TerminalBuffer::FrameReady);
    QCOMPARE(receivedFrame(buffer), QByteArray("first"));

    // The rest of that burst, after the release, is no frame either.
    buffer.releaseFrame();
    QCOMPARE(buffer.currentState(), TerminalBuffer::Listening);
    feed(buffer, "rest");
    emptyReads(buffer, 4);
    QCOMPARE(buffer.currentState(), TerminalBuffer::Listening);

    feed(buffer, "second");
    emptyReads(buffer, 4);
    QCOMPARE(buffer.currentState(), TerminalBuffer::FrameReady);
    QCOMPARE(receivedFrame(buffer), QByteArray("second"));
}

void tst_TerminalBuffer::operationsOutsideTheirStates_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("operation");

    using B = TerminalBuffer;
    for (B::State state : {B::Listening, B::Receiving, B::Composing, B::RequestReady, B::Transmitting})
        QTest::addRow("release in state %d", int(state)) << int(state) << QStringLiteral("release");
    for (B::State state : {B::Listening, B::Receiving, B::FrameReady, B::RequestReady, B::Transmitting})
        QTest::addRow("commit in state %d", int(state)) << int(state) << QStringLiteral("commit");
    // A request handed over is sent; the worker may be reading it at that moment.
    for (B::State state : {B::RequestReady, B::Transmitting})
        QTest::addRow("claim in state %d", int(state)) << int(state) << QStringLiteral("claim");
}

void tst_TerminalBuffer::operationsOutsideTheirStates()
{
    QFETCH(int, state);
    QFETCH(QString, operation);

    RecordingBuffer buffer(2);
    driveTo(buffer, TerminalBuffer::State(state));
    QCOMPARE(int(buffer.currentState()), state);
    const std::uint8_t *pos = TerminalBufferProbe::pos(buffer);
    const std::uint8_t *end = TerminalBufferProbe::end(buffer);
    const QByteArray storage(reinterpret_cast<const char *>(buffer.storage), int(StorageSize));

    if (operation == "release") {
        buffer.releaseFrame();
    } else if (operation == "commit") {
        QVERIFY(!TerminalBufferProbe::commitRequest(buffer, 3));
    } else {
        QVERIFY(!TerminalBufferProbe::claimForRequest(buffer));
    }

    QCOMPARE(int(buffer.currentState()), state);
    QCOMPARE(TerminalBufferProbe::pos(buffer), pos);
    QCOMPARE(TerminalBufferProbe::end(buffer), end);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(buffer.storage), int(StorageSize)), storage);

    // A request that was under way still goes out whole.
    if (state == TerminalBuffer::RequestReady)
        emptyRead(buffer);
    if (state >= TerminalBuffer::RequestReady)
        QCOMPARE(transmit(buffer), QByteArray("wxyz"));
}

void tst_TerminalBuffer::claimDuringReceivingDropsPartialFrame()
{
    RecordingBuffer buffer(3);
    feed(buffer, "partial");
    QCOMPARE(buffer.currentState(), TerminalBuffer::Receiving);

    QVERIFY(TerminalBufferProbe::claimForRequest(buffer));
    QCOMPARE(buffer.currentState(), TerminalBuffer::Composing);
    QCOMPARE(TerminalBufferProbe::pos(buffer), TerminalBufferProbe::base(buffer));

    // The burst goes on while the request is written and waits.
    feed(buffer, "more");
    writeRequest(buffer, "REQ");
    QVERIFY(TerminalBufferProbe::commitRequest(buffer, 3));
    feed(buffer, "and more");
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(buffer.storage), 3), QByteArray("REQ"));

    emptyReads(buffer, 2);
    QCOMPARE(buffer.currentState(), TerminalBuffer::RequestReady);
    emptyRead(buffer);
    QCOMPARE(buffer.currentState(), TerminalBuffer::Transmitting);
    const QByteArray sent = transmit(buffer);
    QCOMPARE(sent, QByteArray("REQ"));
    buffer.onLineIdle();

    // Nothing of the dropped frame comes back.
    feed(buffer, "reply");
    emptyReads(buffer, 3);
    QCOMPARE(buffer.currentState(), TerminalBuffer::FrameReady);
    QCOMPARE(receivedFrame(buffer), QByteArray("reply"));
}

void tst_TerminalBuffer::transmission()
{
    RecordingBuffer buffer(10);
    const QByteArray request("\x01\x42\x00\x00\x01\x02\xAB\xCD", 8);

    QVERIFY(TerminalBufferProbe::claimForRequest(buffer));
    writeRequest(buffer, request);
    QVERIFY(TerminalBufferProbe::commitRequest(buffer, 8));
    QCOMPARE(buffer.currentState(), TerminalBuffer::RequestReady);

    // The line has been idle since start: the next line-idle event starts sending.
    emptyRead(buffer);
    QCOMPARE(buffer.currentState(), TerminalBuffer::Transmitting);
    QCOMPARE(buffer.hookCalls, std::vector<bool>{true});
    for (int i = 0; i < 8; ++i) {
        const TerminalOutput output = buffer.nextOutput();
        QCOMPARE(char(output.byte), request.at(i));
        QCOMPARE(output.flag, i == 7);
    }

    buffer.onLineIdle();
    QCOMPARE(buffer.hookCalls, (std::vector<bool>{true, false}));
    QCOMPARE(buffer.currentState(), TerminalBuffer::Listening);
    QCOMPARE(TerminalBufferProbe::pos(buffer), TerminalBufferProbe::base(buffer));
    QCOMPARE(TerminalBufferProbe::end(buffer), TerminalBufferProbe::base(buffer));
    QCOMPARE(int(TerminalBufferProbe::idleCountdown(buffer)), 10);

    // A request right after another one waits for the full gap again.
    QVERIFY(TerminalBufferProbe::claimForRequest(buffer));
    writeRequest(buffer, "\x07\x08");
    QVERIFY(TerminalBufferProbe::commitRequest(buffer, 2));
    emptyReads(buffer, 9);
    QCOMPARE(buffer.currentState(), TerminalBuffer::RequestReady);
    emptyRead(buffer);
    QCOMPARE(buffer.currentState(), TerminalBuffer::Transmitting);
    QCOMPARE(buffer.hookCalls, (std::vector<bool>{true, false, true}));
}

void tst_TerminalBuffer::idleCountdownAtZeroKeepsSignalling()
{
    RecordingBuffer buffer(10);
    for (int i = 0; i < 5; ++i)
        QVERIFY(buffer.nextOutput().flag);
    buffer.onLineIdle();
    QCOMPARE(buffer.currentState(), TerminalBuffer::Listening);

    // A byte restarts the countdown; the flag comes back only after the full gap.
    buffer.putReceived(0x55);
    for (int i = 0; i < 9; ++i)
        QVERIFY(!buffer.nextOutput().flag);
    QVERIFY(buffer.nextOutput().flag);
    QVERIFY(buffer.nextOutput().flag);
}

void tst_TerminalBuffer::emptyOrOversizedRequestIsRefused()
{
    // A request of 0 bytes would send bytes from beyond its end until the storage ran out.
    RecordingBuffer buffer(1, 16);
    QVERIFY(TerminalBufferProbe::claimForRequest(buffer));
    QVERIFY(!TerminalBufferProbe::commitRequest(buffer, 0));
    QVERIFY(!TerminalBufferProbe::commitRequest(buffer, 17));
    QCOMPARE(buffer.currentState(), TerminalBuffer::Composing);
    emptyReads(buffer, 3);
    QCOMPARE(buffer.currentState(), TerminalBuffer::Composing);
    QVERIFY(buffer.hookCalls.empty());

    QVERIFY(TerminalBufferProbe::commitRequest(buffer, 16));
    emptyRead(buffer);
    QCOMPARE(buffer.currentState(), TerminalBuffer::Transmitting);
}

void tst_TerminalBuffer::sendRequestByState_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("listening") << int(TerminalBuffer::Listening) << 3 << true;
    QTest::newRow("receiving: the partial frame is dropped") << int(TerminalBuffer::Receiving) << 3 << true;
    QTest::newRow("frame ready: the reply is given up") << int(TerminalBuffer::FrameReady) << 3 << true;
    QTest::newRow("request waiting") << int(TerminalBuffer::RequestReady) << 3 << false;
    QTest::newRow("request being sent") << int(TerminalBuffer::Transmitting) << 3 << false;
    QTest::newRow("nothing to send") << int(TerminalBuffer::Listening) << 0 << false;
    QTest::newRow("larger than the storage") << int(TerminalBuffer::Listening) << 17 << false;
    QTest::newRow("exactly the storage") << int(TerminalBuffer::Listening) << 16 << true;
}

void tst_TerminalBuffer::sendRequestByState()
{
    QFETCH(int, state);
    QFETCH(int, length);
    QFETCH(bool, accepted);

    RecordingBuffer buffer(2, 16);
    driveTo(buffer, TerminalBuffer::State(state));
    const TerminalBuffer::State before = buffer.currentState();
    const QByteArray request = pattern(length, 5);
    QCOMPARE(buffer.sendRequest(reinterpret_cast<const std::uint8_t *>(request.constData()), std::uint8_t(length)),
             accepted);
    if (!accepted) {
        QCOMPARE(buffer.currentState(), before);
        return;
    }
    QCOMPARE(buffer.currentState(), TerminalBuffer::RequestReady);
    // It goes out once the line has been idle for the gap (at once on a quiet line).
    for (int read = 0; read < 2 && buffer.currentState() != TerminalBuffer::Transmitting; ++read)
        emptyRead(buffer);
    QCOMPARE(buffer.currentState(), TerminalBuffer::Transmitting);
    const QByteArray sent = transmit(buffer);
    QCOMPARE(sent, request);
}

namespace {

// Both threads at once. The worker simulates the line: random bursts of bytes and
// runs of empty reads, and the send passes of the real worker. The test thread
// plays the poll cycle. Bursts and requests carry their length, a sequence number
// and a pattern, so a frame or request that is torn, mixed or overwritten shows.
//   burst:   [length & 0xFF] [seq] pattern(seq, i)...   (length 2..300)
//   request: [length] [seq] requestPattern(seq, i)...   (length 1..255)

constexpr int StressGap = 3;
// The test thread spins far faster than the worker feeds; claiming on one look in so
// many leaves room for frames to complete.
constexpr unsigned ClaimOdds = 4096;

constexpr std::uint64_t StressWorkerOperations = 3000000;
// The run goes on until the poll side has seen this much, however the two threads
// happen to be scheduled.
constexpr std::uint64_t StressMinimumFrames = 2000;
constexpr std::uint64_t StressMinimumRequests = 100;
constexpr auto StressDeadline = std::chrono::minutes(2);

std::uint8_t burstByte(std::uint32_t seq, std::size_t i)
{
    return std::uint8_t(seq * 131 + i * 17 + 7);
}

std::uint8_t requestByte(std::uint32_t seq, std::size_t i)
{
    return std::uint8_t(seq * 37 + i * 11 + 3);
}

struct StressBuffer : TerminalBuffer {
    StressBuffer() : TerminalBuffer(storage, StorageSize, StressGap, &StressBuffer::direction) {}
    static void direction(TerminalBuffer *buffer, bool transmitting)
    {
        static_cast<StressBuffer *>(buffer)->transmitting.store(transmitting);
    }

    std::uint8_t storage[StorageSize] = {};
    std::atomic<bool> transmitting{false};
};

struct StressRun {
    StressBuffer buffer;
    std::atomic<bool> feedingDone{false};
    std::atomic<bool> stopWorker{false};
    std::atomic<std::uint64_t> transmitted{0};
    std::atomic<std::uint64_t> workerOperations{0};
    std::atomic<bool> workerFailed{false};
    std::string workerFailure; // written before workerFailed is set
};

void stressWorker(StressRun &run)
{
    std::mt19937 random(20240611);
    std::uint8_t sent[StorageSize + 1];
    std::size_t sentLength = 0;
    std::uint32_t burstSeq = 0;
    int silence = 0;
    std::uint64_t operations = 0;
    auto fail = [&run](const std::string &what) {
        if (!run.workerFailed.load()) {
            run.workerFailure = what;
            run.workerFailed.store(true);
        }
    };

    while (!run.stopWorker.load(std::memory_order_acquire)) {
        const TerminalOutput output = run.buffer.nextOutput();
        ++operations;
        if (run.buffer.transmitting.load()) {
            if (sentLength < sizeof sent)
                sent[sentLength] = output.byte;
            ++sentLength;
            if (!output.flag)
                continue;
            const std::uint32_t seq = std::uint32_t(run.transmitted.load());
            bool whole = sentLength >= 1 && sentLength <= 255 && sent[0] == sentLength
                && (sentLength < 2 || sent[1] == std::uint8_t(seq));
            for (std::size_t i = 2; whole && i < sentLength; ++i)
                whole = sent[i] == requestByte(seq, i);
            if (!whole)
                fail("request " + std::to_string(seq) + " was not sent as committed");
            sentLength = 0;
            run.buffer.onLineIdle();
            ++operations;
            run.transmitted.fetch_add(1);
            continue;
        }

        if (silence > 0 || run.feedingDone.load()) {
            if (silence > 0)
                --silence;
            if (output.flag) {
                run.buffer.onLineIdle();
                ++operations;
            }
        } else {
            const unsigned kind = random() % 10;
            const std::size_t length = kind < 7 ? 2 + random() % 19
                : kind < 9                      ? 2 + random() % 255
                                                : 250 + random() % 51;
            run.buffer.putReceived(std::uint8_t(length));
            run.buffer.putReceived(std::uint8_t(burstSeq));
            for (std::size_t i = 2; i < length; ++i)
                run.buffer.putReceived(burstByte(burstSeq, i));
            operations += length;
            ++burstSeq;
            silence = int(random() % (2 * StressGap + 2));
        }
        if (operations % 1024 == 0)
            run.workerOperations.store(operations, std::memory_order_relaxed);
    }
    run.workerOperations.store(operations);
}

// A delivered frame is one or more whole bursts in a row (bursts closer than the gap
// merge), never a piece of one.
bool wholeBursts(const std::uint8_t *frame, std::size_t length)
{
    std::size_t at = 0;
    bool first = true;
    std::uint8_t expectedSeq = 0;
    while (at < length) {
        const std::size_t burstLength = frame[at] == 0 ? 256 : frame[at];
        if (burstLength < 2 || at + burstLength > length)
            return false;
        const std::uint8_t seq = frame[at + 1];
        if (!first && seq != expectedSeq)
            return false;
        for (std::size_t i = 2; i < burstLength; ++i) {
            // The sequence number is known only modulo 256, as is the pattern.
            if (frame[at + i] != burstByte(seq, i))
                return false;
        }
        expectedSeq = std::uint8_t(seq + 1);
        first = false;
        at += burstLength;
    }
    return length > 0;
}

} // namespace

void tst_TerminalBuffer::twoThreads()
{
    StressRun run;
    std::thread worker(stressWorker, std::ref(run));

    std::mt19937 random(7);
    std::uint64_t frames = 0, committed = 0, uiOperations = 0;
    std::uint64_t claimsWhileReceiving = 0;
    std::string failure;
    TerminalBuffer &buffer = run.buffer;
    const auto deadline = std::chrono::steady_clock::now() + StressDeadline;

    while (failure.empty() && !run.workerFailed.load()) {
        if (!run.feedingDone.load() && run.workerOperations.load(std::memory_order_relaxed) >= StressWorkerOperations
            && frames >= StressMinimumFrames && committed >= StressMinimumRequests)
            run.feedingDone.store(true);
        if (std::chrono::steady_clock::now() > deadline) {
            failure = "no end within the deadline";
            break;
        }
        TerminalBuffer::State state = buffer.currentState();
        if (state == TerminalBuffer::FrameReady) {
            const std::size_t length = std::size_t(TerminalBufferProbe::end(buffer)
                                                   - TerminalBufferProbe::base(buffer));
            if (!wholeBursts(TerminalBufferProbe::base(buffer), length))
                failure = "frame " + std::to_string(frames) + " of " + std::to_string(length) + " bytes is torn";
            ++frames;
            buffer.releaseFrame();
            ++uiOperations;
            state = buffer.currentState();
        }
        if (run.feedingDone.load()) {
            if (state != TerminalBuffer::RequestReady && state != TerminalBuffer::Transmitting)
                break;
            continue;
        }
        if (state > TerminalBuffer::Composing || random() % ClaimOdds != 0)
            continue;

        if (state == TerminalBuffer::Receiving)
            ++claimsWhileReceiving;
        if (!TerminalBufferProbe::claimForRequest(buffer)) {
            failure = "claim refused in state " + std::to_string(int(buffer.currentState()));
            break;
        }
        ++uiOperations;
        // The storage is ours now: nothing the worker does may show in it.
        std::memset(TerminalBufferProbe::base(buffer), 0xEE, StorageSize);
        std::this_thread::yield();
        bool untouched = TerminalBufferProbe::pos(buffer) == TerminalBufferProbe::base(buffer)
            && buffer.currentState() == TerminalBuffer::Composing;
        for (std::size_t i = 0; untouched && i < StorageSize; ++i)
            untouched = TerminalBufferProbe::base(buffer)[i] == 0xEE;
        if (!untouched) {
            failure = "the worker wrote into a claimed buffer";
            break;
        }
        const std::size_t length = random() % 8 == 0 ? 1 + random() % 255 : 1 + random() % 24;
        const std::uint32_t seq = std::uint32_t(committed);
        TerminalBufferProbe::base(buffer)[0] = std::uint8_t(length);
        if (length > 1)
            TerminalBufferProbe::base(buffer)[1] = std::uint8_t(seq);
        for (std::size_t i = 2; i < length; ++i)
            TerminalBufferProbe::base(buffer)[i] = requestByte(seq, i);
        if (!TerminalBufferProbe::commitRequest(buffer, std::uint8_t(length))) {
            failure = "commit refused";
            break;
        }
        ++uiOperations;
        ++committed;
    }
    run.stopWorker.store(true);
    worker.join();

    QVERIFY2(!run.workerFailed.load(), run.workerFailure.c_str());
    QVERIFY2(failure.empty(), failure.c_str());
    QCOMPARE(run.transmitted.load(), committed);
    const std::uint64_t operations = run.workerOperations.load() + uiOperations;
    qInfo("%llu operations, %llu frames delivered, %llu requests sent, %llu claims while receiving",
          static_cast<unsigned long long>(operations), static_cast<unsigned long long>(frames),
          static_cast<unsigned long long>(committed), static_cast<unsigned long long>(claimsWhileReceiving));
    QVERIFY(operations >= StressWorkerOperations);
    QVERIFY(frames >= StressMinimumFrames);
    QVERIFY(committed >= StressMinimumRequests);
}

QTEST_GUILESS_MAIN(tst_TerminalBuffer)
#include "tst_terminalbuffer.moc"
