// The half-duplex serial terminal: a frame buffer plus the worker thread that reads
// the line into it and sends the requests committed to it.
#pragma once

#include "link/porterror.h"
#include "link/portwake.h"
#include "link/serialport.h"
#include "link/terminalbuffer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// A port opened and configured, not yet driven by a terminal (PortOpener hands these
// over), or why it could not be opened.
struct OpenedPort {
    std::string name;
    const SerialPortMethods *methods = nullptr;
    PortHandle handle = InvalidPortHandle;
    std::uint32_t baudRate = 0;
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
    PortError error;
};

// Threads: construction, open, attach, close, isOpen, openError and destruction run
// on the user-interface thread, as do the buffer's user-interface-side operations and
// waitForFrame. The worker runs `run` and, through it, the buffer's worker side and
// setDirection. `portHandle`, `port`, `tickMs` and `silence` are written only while no
// worker runs. portLost and lostError may be asked from any thread.
//
// Framing. A terminal built with a gap in ticks (the window's) finds the end of a
// frame, and the free line, by counting reads that come back empty after about a
// character time each. One built for LineSilence measures the silence since the last
// byte on a monotonic clock and waits on the port for just what is left of it, to the
// microsecond where the port can (Linux), so a frame ends within a fraction of a
// millisecond of its 3.5 character times, and a request committed to an idle line
// goes out at once: the commit wakes the worker (TerminalBuffer's request hook).
//
// A lost port. When a read or write says the port itself is gone (PortIoLost), the
// worker raises portLost and stops touching the port. A frame or request on its way
// is finished as on a silent line (the frame ends after its gap, the request is
// dropped as by a failed write), so the owner's transfer resends at its own pace and
// gives up as it would on a silent device; otherwise the worker sleeps, waking every
// LostPortPace or at a commit or a close. A line that merely stays silent is never
// lost.
//
// The port itself is reached only through a table of functions: the one given to the
// constructor, or else the one its name asks for at each open (portMethodsFor).
class ComHalfDuplexTerminal : public TerminalBuffer
{
public:
    // Bytes the worker reads or writes at once.
    static constexpr std::size_t StagingSize = 1024;
    // How often a worker whose port is lost looks at its buffer when nothing is due.
    static constexpr std::chrono::milliseconds LostPortPace{250};
    // How long a LineSilence worker waits on a quiet port at most before it looks
    // again; input, a commit and a close all end the wait sooner.
    static constexpr std::uint32_t QuietWaitMicroseconds = 100000;

    // Chooses framing by measured silence, for a master that sends as soon as a reply
    // is in.
    struct LineSilence {};

    // `storage` (of `length` bytes) is owned by the caller and outlives the terminal.
    // The port table follows the name given to each open: a serial port or a network
    // transport. Frames end after `gapTicks` empty reads.
    ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, std::uint8_t gapTicks);
    // Reaches every port through `methods`, whatever its name; the table outlives the
    // terminal, normally a constant one.
    ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, std::uint8_t gapTicks,
                          const SerialPortMethods &methods);
    // Frames end after 3.5 character times of silence at the rate of each open (at
    // least 1.75 ms above 19200 baud).
    ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, LineSilence);
    ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, LineSilence, const SerialPortMethods &methods);
    ~ComHalfDuplexTerminal();
    ComHalfDuplexTerminal(const ComHalfDuplexTerminal &) = delete;
    ComHalfDuplexTerminal &operator=(const ComHalfDuplexTerminal &) = delete;

    // Closes a port that is open, then opens `portName` (UTF-8, "COM3", "ttyUSB0" or
    // a full path) and starts the worker. False, with the terminal closed and the
    // cause in openError(), when the port cannot be opened or configured. `parity`
    // 0 none / 1 odd / 2 even, `stopBits` 0 one / 1 one and a half / 2 two. Blocks
    // for as long as the open takes: up to the gateway's handshake time for a network
    // port (PortOpener opens without blocking).
    bool open(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // Closes a port that is open, then takes `opened` (from a PortOpener) and starts
    // the worker on it. The terminal owns its handle from here on. False, with the
    // terminal closed and `opened.error` in openError(), when it holds no port.
    bool attach(OpenedPort opened);
    // Stops and joins the worker, then closes the port. The buffer keeps its state.
    void close();
    bool isOpen() const { return portHandle != InvalidPortHandle; }
    // Why the last open or attach failed; no cause after one that succeeded.
    const PortError &openError() const { return openFailure; }

    // True once the worker has found the open port gone; false again after the next
    // open. Any thread.
    bool portLost() const { return lost.load(std::memory_order_acquire); }
    // Why the port was lost, once portLost() holds.
    PortError lostError() const;

    // Waits at most `timeout` for a received frame: true as soon as the buffer is
    // FrameReady, false when the time is up. Also returns when the port is found lost
    // during the wait. For an owner that is not bound to a timer; the window's poll
    // tick never waits.
    bool waitForFrame(std::chrono::microseconds timeout);
    // Called on the worker's thread each time a frame is ready or the port is found
    // lost, after waitForFrame's waiters are woken: for an owner that is bound to an
    // event loop and answers at once rather than at its next tick. Set it while no
    // worker runs (before open or attach); it must only post, never call back in.
    void setFrameHook(std::function<void()> hook) { frameHook = std::move(hook); }

    // The read timeout in ms, about one character time: 10 bits, plus one for parity
    // and one for a stop bit beyond the first, at `baudRate`; at least 1.
    static std::uint32_t tickMilliseconds(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // The silence that ends a frame for a master that sends as soon as a reply is in:
    // 3.5 character times, at least 1.75 ms above 19200 baud, in microseconds.
    static std::uint32_t frameGapMicroseconds(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // The same in ticks of tickMilliseconds, rounded up to whole ticks; 1 to 255.
    // The window keeps its own fixed gap (WindowGapTicks).
    static std::uint8_t frameGapTicks(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // The window's gap: ten ticks, about ten character times and at least 10 ms.
    static constexpr std::uint8_t WindowGapTicks = 10;

    // Opens and configures the port through the terminal's table for `portName`;
    // InvalidPortHandle, and why in `error` (may be null), on any failure.
    PortHandle openPort(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                        PortError *error = nullptr) const;
    static void run(ComHalfDuplexTerminal *terminal);
    // The buffer's direction hook: `buffer` is always a terminal's buffer part.
    static void setDirection(TerminalBuffer *buffer, bool transmitting);
    // The buffer's request hook: wakes the worker for the request just committed.
    static void requestCommitted(TerminalBuffer *buffer);

private:
    using Clock = std::chrono::steady_clock;
    enum class Framing : std::uint8_t { Ticks, Silence };

    ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, Framing framing, std::uint8_t gapTicks,
                          const SerialPortMethods *methods);

    void sendPass(TerminalOutput output, std::uint8_t *staging, PortError &ioError);
    void tickPass(TerminalOutput output, std::uint8_t *staging, PortError &ioError);
    void silencePass(TerminalOutput output, std::uint8_t *staging, PortError &ioError);
    void lostPass(std::uint8_t *staging, PortError &ioError);
    // Hands `count` received bytes (or a failure) to the buffer; true when bytes came.
    bool takeRead(int count, const std::uint8_t *staging, const PortError &ioError);
    void lineIdle();
    void markLost(const PortError &cause);
    void wakeFrameWaiters();
    bool silenceElapsed() const { return Clock::now() - lastLineActivity >= silence; }

    const SerialPortMethods &methodsFor(const std::string &portName) const;

    const Framing framing;
    // The table given to the constructor, or null to choose by name.
    const SerialPortMethods *fixedPort;
    // The open port's table (written only while no worker runs).
    const SerialPortMethods *port;
    std::thread worker;
    std::atomic<bool> transmitMode;
    std::atomic<bool> stopRequested;
    PortHandle portHandle;
    std::uint32_t tickMs;
    PortError openFailure;

    // The worker keeps its raised priority throughout (silence framing, where the
    // system allows it; worker only).
    bool priorityRaised = false;
    // Silence framing: the gap, and when the line last carried a byte either way
    // (worker only).
    std::chrono::microseconds silence{0};
    Clock::time_point lastLineActivity;
    // Raised by a commit and by close: ends the worker's waits on the port and its
    // sleeps while the port is lost.
    PortWake workerWake;

    // Written by the worker before `lost` is raised, read by others after.
    PortError lostCause;
    std::atomic<bool> lost{false};

    // Wakes waitForFrame; the state itself is always read from the buffer.
    std::mutex frameLock;
    std::condition_variable frameArrived;
    std::function<void()> frameHook;
};
