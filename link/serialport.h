// The serial port as the terminal's worker sees it: one constant table of functions
// per implementation (Linux, Win32, the network transports, a test's fake).
#pragma once

#include "link/porterror.h"

#include <cstddef>
#include <cstdint>
#include <string>

class PortWake;

// A file descriptor, a Win32 HANDLE, or a pointer to a transport's own state;
// -1 is invalid for all of them (INVALID_HANDLE_VALUE on Win32).
using PortHandle = std::intptr_t;
constexpr PortHandle InvalidPortHandle = -1;

// What a read returns instead of a count when it failed: PortIoFailed when this call
// failed but the next may work, PortIoLost when the port itself is gone (the device
// unplugged, its node removed, the connection closed or reset) and every later call
// would fail too. A write returns one of them, or the count it wrote.
constexpr int PortIoFailed = -1;
constexpr int PortIoLost = -2;

// The operations, in the order of a port's life. `open` runs on whichever thread
// opens (the user-interface thread, or a PortOpener's), `close` on the owner's once
// the worker has been joined; `read`, `write` and `clearErrors` run on the worker
// only. None of them throws. Where a PortError pointer is given it may be null; it is
// filled only when the call fails.
struct SerialPortMethods {
    // Opens `portName` exclusively and configures it: `baudRate` bits per second,
    // 8 data bits, `parity` 0 none / 1 odd / 2 even, `stopBits` 0 one / 1 one and a
    // half / 2 two, no flow control, reads returning after at most `tickMs` ms of
    // silence. Pending input and output are purged. Any failure closes what was
    // opened, says why in `error` and returns InvalidPortHandle. A wait for a network
    // peer ends early, with PortFailure::Cancelled, once `cancel` (may be null) is
    // signalled.
    PortHandle (*open)(const char *portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                       std::uint32_t tickMs, const PortWake *cancel, PortError *error);
    // Waits at most `timeoutUs` microseconds for input, or until `wake` (may be null)
    // is signalled, and takes what has arrived, up to `capacity` bytes: the count,
    // possibly 0, or PortIoFailed / PortIoLost. A port may return sooner with 0 bytes;
    // one whose reads are bounded by the device's own timeouts (Win32) waits its tick
    // instead. A failed read may return at once: the caller, not the port, makes it
    // last a tick.
    int (*read)(PortHandle port, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs,
                const PortWake *wake, PortError *error);
    // Sends all `length` bytes and returns once they have left (the line is free):
    // `length`, or PortIoFailed / PortIoLost.
    int (*write)(PortHandle port, const std::uint8_t *data, std::size_t length, PortError *error);
    // Clears latched line errors (framing, parity, overrun); results are not used.
    void (*clearErrors)(PortHandle port);
    // Drops pending input and output.
    void (*purge)(PortHandle port);
    void (*close)(PortHandle port);
};

// The platform's serial port: serialport_linux.cpp or serialport_win.cpp.
const SerialPortMethods &platformSerialPort();

// The table that reaches the port named `portName`: a network transport for
// "tcp://..." and "mbtcp://..." (porttcp.h), the platform's serial port otherwise.
const SerialPortMethods &portMethodsFor(const std::string &portName);

// Raise and restore the calling thread's priority around its buffer calls. Best
// effort: where the system refuses, the thread keeps its priority, and the raise says
// false.
bool raiseWorkerPriority();
void restoreWorkerPriority();
// Asks the system to end the calling thread's timed waits as close to their time as
// it can (Linux: no timer slack). Best effort.
void preciseWorkerTimers();
