// Opening a port without waiting for it: the port table's open runs on a thread of its
// own, and the owner may cancel it at any moment.
#pragma once

#include "link/comhalfduplexterminal.h"
#include "link/portwake.h"
#include "link/serialport.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

/*
 *   owner (user-interface thread)            opener thread
 *   start ──────────────────────────────────► table.open(..., cancel)
 *     (returns at once)                         │ a gateway's handshake, a name lookup
 *   cancel ─► cancel signalled ──────────────► │ abandoned at once
 *     (returns at once)                         ▼
 *                                              finished, onFinished()
 *   take ◄─ joins the thread (ended or ending) ─┘ ─► terminal.attach(port)
 *
 * A port that opens although the open was cancelled (a serial port, whose open does
 * not wait) is closed, never handed over. A name lookup cannot be interrupted; it
 * finishes on a thread of its own after the opener has let go of it.
 */
class PortOpener
{
public:
    PortOpener() = default;
    // Cancels an open still running and joins its thread; a port opened and not
    // taken is closed.
    ~PortOpener();
    PortOpener(const PortOpener &) = delete;
    PortOpener &operator=(const PortOpener &) = delete;

    // Starts opening `portName` (as ComHalfDuplexTerminal::open takes it) through
    // `methods`, or the table its name asks for when null. An open started before is
    // cancelled and what it opened is closed. `onFinished` (may be empty) is called
    // once the open has ended, either way, on the opener's thread: it may tell the
    // owner's thread, but not start, take or destroy this opener.
    void start(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
               std::function<void()> onFinished = {}, const SerialPortMethods *methods = nullptr);
    // Abandons the open: returns at once; the thread ends within a few milliseconds.
    void cancel();
    // Whether the open has ended (opened, failed or cancelled). Any thread.
    bool finished() const;
    // Waits at most `timeout` for the open to end; true once it has.
    bool waitFinished(std::chrono::milliseconds timeout);
    // The opened port for ComHalfDuplexTerminal::attach, or why there is none (a
    // cancelled open says PortFailure::Cancelled). Waits for the open to end and joins
    // its thread; the opener is then empty until the next start.
    OpenedPort take();

private:
    void runOpen();
    void discard();

    std::thread thread;
    PortWake cancelSignal;
    std::function<void()> finishedCallback;
    mutable std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    OpenedPort result;
};
