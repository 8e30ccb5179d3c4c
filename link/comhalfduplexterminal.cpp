// The half-duplex terminal's life cycle and its worker loop. The worker finds frame
// ends and the free line by counting reads that come back empty, one tick each, or by
// measuring the silence on a clock; a port that is gone is no longer touched.
//
//   run: lost? ── yes ─► lostPass: finish what is on its way without the port, sleep
//          └─ no ─► nextOutput ─► transmitting? ─► sendPass: one write, onLineIdle
//                                   └─ no ─► tickPass / silencePass: read, putReceived
//                                            or, once the line is idle, onLineIdle

#include "link/comhalfduplexterminal.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

// Runs a buffer call at raised priority: the framing depends on the worker not being
// preempted between a read and its bookkeeping. A worker that keeps its raised
// priority throughout (`raisedThroughout`) does not change it for each call.
template<typename Call> auto atWorkerPriority(bool raisedThroughout, Call call)
{
    if (raisedThroughout)
        return call();
    raiseWorkerPriority();
    auto result = call();
    restoreWorkerPriority();
    return result;
}

std::uint32_t characterBits(std::uint8_t parity, std::uint8_t stopBits)
{
    // Start, 8 data, stop, and one each for parity and a second stop bit.
    std::uint32_t bits = 10;
    if (parity != 0)
        ++bits;
    if (stopBits != 0)
        ++bits;
    return bits;
}

} // namespace

ComHalfDuplexTerminal::ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, std::uint8_t gapTicks)
    : ComHalfDuplexTerminal(storage, length, Framing::Ticks, gapTicks, nullptr)
{}

ComHalfDuplexTerminal::ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, std::uint8_t gapTicks,
                                             const SerialPortMethods &methods)
    : ComHalfDuplexTerminal(storage, length, Framing::Ticks, gapTicks, &methods)
{}

// The buffer's countdown of one read means "no byte since the last look"; the clock
// decides whether that look came after enough silence.
ComHalfDuplexTerminal::ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, LineSilence)
    : ComHalfDuplexTerminal(storage, length, Framing::Silence, 1, nullptr)
{}

ComHalfDuplexTerminal::ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, LineSilence,
                                             const SerialPortMethods &methods)
    : ComHalfDuplexTerminal(storage, length, Framing::Silence, 1, &methods)
{}

ComHalfDuplexTerminal::ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, Framing framing,
                                             std::uint8_t gapTicks, const SerialPortMethods *methods)
    : TerminalBuffer(storage, length, gapTicks, &ComHalfDuplexTerminal::setDirection,
                     &ComHalfDuplexTerminal::requestCommitted),
      framing(framing),
      fixedPort(methods),
      port(methods != nullptr ? methods : &platformSerialPort()),
      transmitMode(false),
      stopRequested(false),
      portHandle(InvalidPortHandle),
      tickMs(1)
{}

ComHalfDuplexTerminal::~ComHalfDuplexTerminal()
{
    close();
}

bool ComHalfDuplexTerminal::open(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity,
                                 std::uint8_t stopBits)
{
    close();
    OpenedPort opened;
    opened.name = portName;
    opened.methods = &methodsFor(portName);
    opened.baudRate = baudRate;
    opened.parity = parity;
    opened.stopBits = stopBits;
    opened.handle = openPort(portName, baudRate, parity, stopBits, &opened.error);
    return attach(std::move(opened));
}

bool ComHalfDuplexTerminal::attach(OpenedPort opened)
{
    close();
    openFailure = PortError();
    if (opened.handle == InvalidPortHandle || opened.methods == nullptr) {
        openFailure = opened.error;
        if (!openFailure.failed())
            setPortError(&openFailure, PortFailure::NoSuchPort, 0);
        return false;
    }
    port = opened.methods;
    portHandle = opened.handle;
    tickMs = tickMilliseconds(opened.baudRate, opened.parity, opened.stopBits);
    silence = std::chrono::microseconds(frameGapMicroseconds(opened.baudRate, opened.parity, opened.stopBits));
    lastLineActivity = Clock::now();
    lostCause = PortError();
    lost.store(false, std::memory_order_release);
    workerWake.clear();
    stopRequested.store(false, std::memory_order_release);
    try {
        worker = std::thread(&ComHalfDuplexTerminal::run, this);
    } catch (const std::system_error &failure) {
        // No thread to be had: a port without a worker would look connected but
        // never carry a frame.
        port->close(portHandle);
        portHandle = InvalidPortHandle;
        setPortError(&openFailure, PortFailure::Other, failure.code().value());
        return false;
    }
    return true;
}

void ComHalfDuplexTerminal::close()
{
    stopRequested.store(true, std::memory_order_release);
    workerWake.signal();
    if (worker.joinable())
        worker.join();
    if (portHandle == InvalidPortHandle)
        return;
    port->close(portHandle);
    portHandle = InvalidPortHandle;
}

PortError ComHalfDuplexTerminal::lostError() const
{
    if (!portLost())
        return PortError();
    return lostCause;
}

bool ComHalfDuplexTerminal::waitForFrame(std::chrono::microseconds timeout)
{
    // A port lost before the wait would end every wait at once; only its loss during
    // this one does.
    const bool lostBefore = portLost();
    std::unique_lock<std::mutex> hold(frameLock);
    return frameArrived.wait_for(hold, timeout, [this, lostBefore] {
        return currentState() == FrameReady || (!lostBefore && portLost());
    }) && currentState() == FrameReady;
}

std::uint32_t ComHalfDuplexTerminal::tickMilliseconds(std::uint32_t baudRate, std::uint8_t parity,
                                                      std::uint8_t stopBits)
{
    const std::uint32_t bits = characterBits(parity, stopBits);
    // A rate of 0 opens nothing; it must not divide either.
    if (baudRate == 0 || bits * 1000 < baudRate)
        return 1;
    return bits * 1000 / baudRate;
}

std::uint32_t ComHalfDuplexTerminal::frameGapMicroseconds(std::uint32_t baudRate, std::uint8_t parity,
                                                          std::uint8_t stopBits)
{
    if (baudRate == 0)
        return 1000;
    const std::uint64_t bits = characterBits(parity, stopBits);
    std::uint64_t gapMicroseconds = (bits * 3500000 + baudRate - 1) / baudRate;
    if (baudRate > 19200)
        gapMicroseconds = std::max<std::uint64_t>(gapMicroseconds, 1750);
    return std::uint32_t(gapMicroseconds);
}

std::uint8_t ComHalfDuplexTerminal::frameGapTicks(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits)
{
    if (baudRate == 0)
        return 1;
    const std::uint64_t gapMicroseconds = frameGapMicroseconds(baudRate, parity, stopBits);
    const std::uint64_t tickMicroseconds = std::uint64_t(tickMilliseconds(baudRate, parity, stopBits)) * 1000;
    const std::uint64_t ticks = (gapMicroseconds + tickMicroseconds - 1) / tickMicroseconds;
    return std::uint8_t(std::clamp<std::uint64_t>(ticks, 1, 255));
}

PortHandle ComHalfDuplexTerminal::openPort(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity,
                                           std::uint8_t stopBits, PortError *error) const
{
    if (baudRate == 0) {
        setPortError(error, PortFailure::LineSettingsRefused, 0);
        return InvalidPortHandle;
    }
    return methodsFor(portName).open(portName.c_str(), baudRate, parity, stopBits,
                                     tickMilliseconds(baudRate, parity, stopBits), nullptr, error);
}

const SerialPortMethods &ComHalfDuplexTerminal::methodsFor(const std::string &portName) const
{
    return fixedPort != nullptr ? *fixedPort : portMethodsFor(portName);
}

void ComHalfDuplexTerminal::setDirection(TerminalBuffer *buffer, bool transmitting)
{
    static_cast<ComHalfDuplexTerminal *>(buffer)->transmitMode.exchange(transmitting);
}

void ComHalfDuplexTerminal::requestCommitted(TerminalBuffer *buffer)
{
    static_cast<ComHalfDuplexTerminal *>(buffer)->workerWake.signal();
}

void ComHalfDuplexTerminal::run(ComHalfDuplexTerminal *terminal)
{
    // Framed by the clock, the worker spends its life waiting for the port or the
    // next commit and never spins, so it may keep the raised priority throughout: it
    // then wakes at the end of a frame's silence even on a busy machine, and spares
    // the system calls of raising and restoring around every buffer call.
    terminal->priorityRaised = false;
    if (terminal->framing == Framing::Silence) {
        preciseWorkerTimers();
        terminal->priorityRaised = raiseWorkerPriority();
    }
    std::uint8_t staging[StagingSize];
    PortError ioError;
    while (!terminal->stopRequested.load(std::memory_order_acquire)) {
        if (terminal->portLost()) {
            terminal->lostPass(staging, ioError);
            continue;
        }
        const TerminalOutput output = atWorkerPriority(terminal->priorityRaised,
                                                       [terminal] { return terminal->nextOutput(); });
        if (terminal->transmitMode.load(std::memory_order_acquire))
            terminal->sendPass(output, staging, ioError);
        else if (terminal->framing == Framing::Silence)
            terminal->silencePass(output, staging, ioError);
        else
            terminal->tickPass(output, staging, ioError);
    }
}

void ComHalfDuplexTerminal::sendPass(TerminalOutput output, std::uint8_t *staging, PortError &ioError)
{
    // The whole frame is collected and written at once, without looking at the stop
    // flag in between: a frame is never cut short. A port that is gone gets nothing.
    const auto write = [this, staging, &ioError](std::size_t staged) {
        if (portLost())
            return;
        port->clearErrors(portHandle);
        if (port->write(portHandle, staging, staged, &ioError) == PortIoLost)
            markLost(ioError);
    };
    std::size_t staged = 0;
    for (;;) {
        staging[staged++] = output.byte;
        if (output.flag) {
            write(staged);
            lastLineActivity = Clock::now();
            // A failed write ends the transmission all the same.
            atWorkerPriority(priorityRaised, [this] {
                onLineIdle();
                return true;
            });
            return;
        }
        if (staged == StagingSize) {
            write(staged);
            return;
        }
        output = atWorkerPriority(priorityRaised, [this] { return nextOutput(); });
    }
}

bool ComHalfDuplexTerminal::takeRead(int count, const std::uint8_t *staging, const PortError &ioError)
{
    if (count > 0) {
        atWorkerPriority(priorityRaised, [this, staging, count] {
            for (int i = 0; i < count; ++i)
                putReceived(staging[i]);
            return true;
        });
        return true;
    }
    if (count < 0) {
        // A vanished device fails every read at once. Each failed read still takes
        // its tick, or the worker would spin and the frame gap, counted in reads,
        // would shrink to nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(tickMs));
        if (count == PortIoLost)
            markLost(ioError);
    }
    return false;
}

void ComHalfDuplexTerminal::tickPass(TerminalOutput output, std::uint8_t *staging, PortError &ioError)
{
    port->clearErrors(portHandle);
    // No wake-up here: every read must last its tick, or the gap would shrink.
    const int count = port->read(portHandle, staging, StagingSize, tickMs * 1000, nullptr, &ioError);
    if (takeRead(count, staging, ioError))
        return;
    if (output.flag)
        lineIdle();
}

void ComHalfDuplexTerminal::silencePass(TerminalOutput output, std::uint8_t *staging, PortError &ioError)
{
    // Cleared before the state is looked at: a commit after this point wakes the wait.
    workerWake.clear();
    const Clock::duration quiet = Clock::now() - lastLineActivity;
    std::uint32_t waitUs = QuietWaitMicroseconds;
    if (quiet < silence) {
        waitUs = std::uint32_t(std::chrono::ceil<std::chrono::microseconds>(silence - quiet).count());
    } else if (output.flag) {
        // The line has been free long enough: a frame on its way is complete, a
        // request waiting for the line goes out now, a dropped burst is over.
        lineIdle();
        if (transmitMode.load(std::memory_order_acquire))
            return;
    }
    port->clearErrors(portHandle);
    const int count = port->read(portHandle, staging, StagingSize, waitUs, &workerWake, &ioError);
    // The silence runs from the bytes' arrival, not from the end of their bookkeeping.
    const Clock::time_point arrival = Clock::now();
    if (takeRead(count, staging, ioError)) {
        lastLineActivity = arrival;
        return;
    }
    if (output.flag && silenceElapsed())
        lineIdle();
}

void ComHalfDuplexTerminal::lostPass(std::uint8_t *staging, PortError &ioError)
{
    workerWake.clear();
    const State current = currentState();
    if (current != Receiving && current != RequestReady && current != Transmitting) {
        workerWake.wait(std::uint32_t(std::chrono::microseconds(LostPortPace).count()));
        return;
    }
    // As on a silent line: a frame ends after its gap, a request waits for it and then
    // goes nowhere. The waits are the line's own and short, so not cut by a wake-up.
    const TerminalOutput output = atWorkerPriority(priorityRaised, [this] { return nextOutput(); });
    if (transmitMode.load(std::memory_order_acquire)) {
        sendPass(output, staging, ioError);
        return;
    }
    if (framing == Framing::Silence) {
        const Clock::duration quiet = Clock::now() - lastLineActivity;
        if (quiet < silence)
            std::this_thread::sleep_for(silence - quiet);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(tickMs));
    }
    if (output.flag)
        lineIdle();
}

void ComHalfDuplexTerminal::lineIdle()
{
    const bool frameReady = atWorkerPriority(priorityRaised, [this] {
        onLineIdle();
        return currentState() == FrameReady;
    });
    if (frameReady)
        wakeFrameWaiters();
}

void ComHalfDuplexTerminal::markLost(const PortError &cause)
{
    if (portLost())
        return;
    lostCause = cause;
    lostCause.cause = PortFailure::PortLost;
    lost.store(true, std::memory_order_release);
    wakeFrameWaiters();
}

void ComHalfDuplexTerminal::wakeFrameWaiters()
{
    // Taking the lock orders this wake-up after a waiter's look at the state: the
    // state was stored before, so either the waiter saw it or it is waiting already.
    {
        std::lock_guard<std::mutex> hold(frameLock);
    }
    frameArrived.notify_all();
    if (frameHook)
        frameHook();
}
