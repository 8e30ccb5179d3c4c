// The serial port as the terminal's worker sees it: one constant table of functions
// per implementation (Linux, Win32, the network transports, a test's fake).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A file descriptor, a Win32 HANDLE, or a pointer to a transport's own state;
// -1 is invalid for all of them (INVALID_HANDLE_VALUE on Win32).
using PortHandle = std::intptr_t;
constexpr PortHandle InvalidPortHandle = -1;

// The operations, in the order of a port's life. `open` runs on the user-interface
// thread, `close` there too once the worker has been joined; `read`, `write` and
// `clearErrors` run on the worker only. None of them throws.
struct SerialPortMethods {
    // Opens `portName` exclusively and configures it: `baudRate` bits per second,
    // 8 data bits, `parity` 0 none / 1 odd / 2 even, `stopBits` 0 one / 1 one and a
    // half / 2 two, no flow control, reads returning after at most `tickMs` ms of
    // silence. Pending input and output are purged. Any failure closes what was
    // opened and returns InvalidPortHandle.
    PortHandle (*open)(const char *portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                       std::uint32_t tickMs);
    // Waits at most `tickMs` ms for input and takes what has arrived, up to
    // `capacity` bytes. The count, possibly 0, or -1 when the read failed. A failed
    // read may return at once: the caller, not the port, makes it last a tick.
    int (*read)(PortHandle port, std::uint8_t *data, std::size_t capacity, std::uint32_t tickMs);
    // Sends all `length` bytes and returns once they have left (the line is free).
    bool (*write)(PortHandle port, const std::uint8_t *data, std::size_t length);
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
// effort: where the system refuses, the thread keeps its priority.
void raiseWorkerPriority();
void restoreWorkerPriority();
