// The half-duplex terminal's life cycle and its worker loop. The worker finds frame
// ends and the free line by counting reads that come back empty, one tick each.

#include "serial/comhalfduplexterminal.h"

#include <algorithm>
#include <chrono>
#include <system_error>

namespace {

// Runs a buffer call at raised priority: the framing depends on the worker not being
// preempted between a read and its bookkeeping.
template<typename Call> auto atWorkerPriority(Call call)
{
    raiseWorkerPriority();
    auto result = call();
    restoreWorkerPriority();
    return result;
}

} // namespace

ComHalfDuplexTerminal::ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, std::uint8_t gapTicks)
    : ComHalfDuplexTerminal(storage, length, gapTicks, platformSerialPort())
{
    fixedPort = nullptr;
}

ComHalfDuplexTerminal::ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, std::uint8_t gapTicks,
                                             const SerialPortMethods &methods)
    : TerminalBuffer(storage, length, gapTicks, &ComHalfDuplexTerminal::setDirection),
      fixedPort(&methods),
      port(&methods),
      transmitMode(false),
      stopRequested(false),
      portHandle(InvalidPortHandle),
      tickMs(1)
{}

ComHalfDuplexTerminal::~ComHalfDuplexTerminal()
{
    stopRequested.store(true, std::memory_order_release);
    if (worker.joinable())
        worker.join();
    if (portHandle != InvalidPortHandle)
        port->close(portHandle);
}

bool ComHalfDuplexTerminal::open(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity,
                                 std::uint8_t stopBits)
{
    close();
    const PortHandle handle = openPort(portName, baudRate, parity, stopBits);
    if (handle == InvalidPortHandle)
        return false;
    port = &methodsFor(portName);
    portHandle = handle;
    tickMs = tickMilliseconds(baudRate, parity, stopBits);
    stopRequested.store(false, std::memory_order_release);
    try {
        worker = std::thread(&ComHalfDuplexTerminal::run, this);
    } catch (const std::system_error &) {
        // No thread to be had: a port without a worker would look connected but
        // never carry a frame.
        port->close(portHandle);
        portHandle = InvalidPortHandle;
        return false;
    }
    return true;
}

void ComHalfDuplexTerminal::close()
{
    if (portHandle == InvalidPortHandle)
        return;
    stopRequested.store(true, std::memory_order_release);
    if (worker.joinable())
        worker.join();
    port->close(portHandle);
    portHandle = InvalidPortHandle;
}

std::uint32_t ComHalfDuplexTerminal::tickMilliseconds(std::uint32_t baudRate, std::uint8_t parity,
                                                      std::uint8_t stopBits)
{
    std::uint32_t bits = 10;
    if (parity != 0)
        ++bits;
    if (stopBits != 0)
        ++bits;
    // A rate of 0 opens nothing; it must not divide either.
    if (baudRate == 0 || bits * 1000 < baudRate)
        return 1;
    return bits * 1000 / baudRate;
}

std::uint8_t ComHalfDuplexTerminal::frameGapTicks(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits)
{
    if (baudRate == 0)
        return 1;
    // Bits of one character, as the tick counts them: start, 8 data, stop, and one
    // each for parity and a second stop bit.
    std::uint64_t bits = 10;
    if (parity != 0)
        ++bits;
    if (stopBits != 0)
        ++bits;
    std::uint64_t gapMicroseconds = (bits * 3500000 + baudRate - 1) / baudRate;
    if (baudRate > 19200)
        gapMicroseconds = std::max<std::uint64_t>(gapMicroseconds, 1750);
    const std::uint64_t tickMicroseconds = std::uint64_t(tickMilliseconds(baudRate, parity, stopBits)) * 1000;
    const std::uint64_t ticks = (gapMicroseconds + tickMicroseconds - 1) / tickMicroseconds;
    return std::uint8_t(std::clamp<std::uint64_t>(ticks, 1, 255));
}

PortHandle ComHalfDuplexTerminal::openPort(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity,
                                           std::uint8_t stopBits) const
{
    if (baudRate == 0)
        return InvalidPortHandle;
    return methodsFor(portName).open(portName.c_str(), baudRate, parity, stopBits,
                                     tickMilliseconds(baudRate, parity, stopBits));
}

const SerialPortMethods &ComHalfDuplexTerminal::methodsFor(const std::string &portName) const
{
    return fixedPort != nullptr ? *fixedPort : portMethodsFor(portName);
}

void ComHalfDuplexTerminal::setDirection(TerminalBuffer *buffer, bool transmitting)
{
    static_cast<ComHalfDuplexTerminal *>(buffer)->transmitMode.exchange(transmitting);
}

void ComHalfDuplexTerminal::run(ComHalfDuplexTerminal *terminal)
{
    std::uint8_t staging[StagingSize];
    while (!terminal->stopRequested.load(std::memory_order_acquire)) {
        const TerminalOutput output = atWorkerPriority([terminal] { return terminal->nextOutput(); });
        if (terminal->transmitMode.load(std::memory_order_acquire))
            terminal->sendPass(output, staging);
        else
            terminal->receivePass(output, staging);
    }
}

void ComHalfDuplexTerminal::sendPass(TerminalOutput output, std::uint8_t *staging)
{
    // The whole frame is collected and written at once, without looking at the stop
    // flag in between: a frame is never cut short.
    std::size_t staged = 0;
    for (;;) {
        staging[staged++] = output.byte;
        if (output.flag) {
            port->clearErrors(portHandle);
            port->write(portHandle, staging, staged);
            // A failed write ends the transmission all the same.
            atWorkerPriority([this] {
                onLineIdle();
                return true;
            });
            return;
        }
        if (staged == StagingSize) {
            port->clearErrors(portHandle);
            port->write(portHandle, staging, staged);
            return;
        }
        output = atWorkerPriority([this] { return nextOutput(); });
    }
}

void ComHalfDuplexTerminal::receivePass(TerminalOutput output, std::uint8_t *staging)
{
    port->clearErrors(portHandle);
    const int count = port->read(portHandle, staging, StagingSize, tickMs);
    if (count > 0) {
        atWorkerPriority([this, staging, count] {
            for (int i = 0; i < count; ++i)
                putReceived(staging[i]);
            return true;
        });
        return;
    }
    if (count < 0) {
        // A vanished device fails every read at once. Each failed read still takes
        // its tick, or the worker would spin and the frame gap, counted in reads,
        // would shrink to nothing.
        std::this_thread::sleep_for(std::chrono::milliseconds(tickMs));
    }
    if (output.flag)
        atWorkerPriority([this] {
            onLineIdle();
            return true;
        });
}
