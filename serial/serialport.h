// The serial port operations the terminal's worker needs, one implementation per
// platform (serialport_posix.cpp, serialport_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

// A file descriptor or a Win32 HANDLE; -1 is invalid on both (INVALID_HANDLE_VALUE).
using PortHandle = std::intptr_t;
constexpr PortHandle InvalidPortHandle = -1;

// Opens `portName` exclusively and configures it: `baudRate` bits per second, 8 data
// bits, `parity` 0 none / 1 odd / 2 even, `stopBits` 0 one / 1 one and a half /
// 2 two, no flow control, reads returning after at most `tickMs` ms of silence.
// Pending input and output are purged. Any failure closes what was opened and
// returns InvalidPortHandle.
PortHandle openSerialPort(const char *portName, std::uint32_t baudRate, std::uint8_t parity,
                          std::uint8_t stopBits, std::uint32_t tickMs);

// Waits at most `tickMs` ms for input and takes what has arrived, up to `capacity`
// bytes. The count, possibly 0, or -1 when the read failed.
int readSerialPort(PortHandle port, std::uint8_t *data, std::size_t capacity, std::uint32_t tickMs);

// Sends all `length` bytes and returns once they have left (the line is free).
bool writeSerialPort(PortHandle port, const std::uint8_t *data, std::size_t length);

// Clears latched line errors (framing, parity, overrun); results are not used.
void clearSerialPortErrors(PortHandle port);

// Drops pending input and output.
void purgeSerialPort(PortHandle port);

void closeSerialPort(PortHandle port);

// Raise and restore the calling thread's priority around its buffer calls. Best
// effort: where the system refuses, the thread keeps its priority.
void raiseWorkerPriority();
void restoreWorkerPriority();
