// The serial port layer on Windows: the Win32 communications API with synchronous
// reads and writes; the read timeouts of the port make the tick.

#include "link/serialport.h"

#include <cstddef>
#include <cstring>
#include <string>

#include <windows.h>

namespace {

HANDLE toHandle(PortHandle port)
{
    return reinterpret_cast<HANDLE>(port);
}

// The DCB's flag bits sit in the DWORD after BaudRate. Of its low half, fBinary is
// set, fParity, fTXContinueOnXoff, fOutX, fInX, fErrorChar and the reserved bit keep
// what the port had, and flow control, fNull and fAbortOnError are cleared.
constexpr std::size_t DcbFlagsOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == DcbFlagsOffset + sizeof(DWORD),
              "the DCB flag word lies between BaudRate and wReserved");
constexpr DWORD DcbKeptFlags = 0x8782;
constexpr DWORD DcbSetFlags = 0x0001;

void adjustDcbFlags(DCB &dcb)
{
    unsigned char *raw = reinterpret_cast<unsigned char *>(&dcb);
    DWORD flags = 0;
    std::memcpy(&flags, raw + DcbFlagsOffset, sizeof flags);
    flags = (flags & 0xFFFF0000u) | (flags & DcbKeptFlags) | DcbSetFlags;
    std::memcpy(raw + DcbFlagsOffset, &flags, sizeof flags);
}

// Sets the line and the read timeouts; on failure `cause` says which: a device that
// has no comm state is no serial port, one that refuses the state refuses the line.
bool configurePort(HANDLE handle, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                   std::uint32_t tickMs, PortFailure *cause)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    *cause = PortFailure::NotSerialPort;
    if (!GetCommState(handle, &dcb))
        return false;
    dcb.BaudRate = baudRate;
    adjustDcbFlags(dcb);
    dcb.ByteSize = 8;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    *cause = PortFailure::LineSettingsRefused;
    if (!SetCommState(handle, &dcb))
        return false;
    *cause = PortFailure::Other;

    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts))
        return false;
    // A read returns when the buffer is full or after tickMs of silence, possibly empty.
    timeouts.ReadIntervalTimeout = tickMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = tickMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

void purgePort(PortHandle port)
{
    PurgeComm(toHandle(port), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

PortFailure openFailure(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
        return PortFailure::NoSuchPort;
    // The serial driver answers a second open of a port with "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return PortFailure::Busy;
    default:
        return PortFailure::Other;
    }
}

// Errors after which the handle never works again: the adapter was unplugged.
bool portGone(DWORD code)
{
    return code == ERROR_ACCESS_DENIED || code == ERROR_BAD_COMMAND || code == ERROR_DEVICE_NOT_CONNECTED
        || code == ERROR_DEVICE_REMOVED || code == ERROR_GEN_FAILURE || code == ERROR_INVALID_HANDLE
        || code == ERROR_FILE_NOT_FOUND || code == ERROR_DEV_NOT_EXIST;
}

int ioFailure(PortError *error)
{
    const DWORD code = GetLastError();
    const bool gone = portGone(code);
    setPortError(error, gone ? PortFailure::PortLost : PortFailure::Other, int(code));
    return gone ? PortIoLost : PortIoFailed;
}

PortHandle refuse(HANDLE handle, PortFailure cause, DWORD code, PortError *error)
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    setPortError(error, cause, int(code));
    return InvalidPortHandle;
}

PortHandle openPort(const char *portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                    std::uint32_t tickMs, const PortWake * /*cancel*/, PortError *error)
{
    if (portName == nullptr || portName[0] == '\0')
        return refuse(INVALID_HANDLE_VALUE, PortFailure::NoSuchPort, 0, error);
    const std::string path = std::string("\\\\.\\") + portName;
    // Share mode 0: exclusive. No flags: all I/O on the handle is synchronous.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return refuse(handle, openFailure(code), code, error);
    }
    PortFailure cause = PortFailure::None;
    if (!configurePort(handle, baudRate, parity, stopBits, tickMs, &cause)) {
        const DWORD code = GetLastError();
        return refuse(handle, cause, code, error);
    }
    purgePort(reinterpret_cast<PortHandle>(handle));
    return reinterpret_cast<PortHandle>(handle);
}

int readPort(PortHandle port, std::uint8_t *data, std::size_t capacity, std::uint32_t /*timeoutUs*/,
             const PortWake * /*wake*/, PortError *error)
{
    // The port's read timeouts bound the wait: a tick, whatever was asked.
    DWORD received = 0;
    if (!ReadFile(toHandle(port), data, static_cast<DWORD>(capacity), &received, nullptr))
        return ioFailure(error);
    return static_cast<int>(received);
}

int writePort(PortHandle port, const std::uint8_t *data, std::size_t length, PortError *error)
{
    // Synchronous and without a write timeout: returns when the frame has gone out.
    DWORD written = 0;
    if (!WriteFile(toHandle(port), data, static_cast<DWORD>(length), &written, nullptr))
        return ioFailure(error);
    if (written != length) {
        setPortError(error, PortFailure::Other, 0);
        return PortIoFailed;
    }
    return static_cast<int>(written);
}

void clearPortErrors(PortHandle port)
{
    DWORD errors = 0;
    COMSTAT status;
    ClearCommError(toHandle(port), &errors, &status);
}

void closePort(PortHandle port)
{
    CloseHandle(toHandle(port));
}

} // namespace

bool raiseWorkerPriority()
{
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

void restoreWorkerPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

void preciseWorkerTimers()
{
    // Win32 waits are bounded by the port's tick, in milliseconds: nothing to sharpen.
}

// Constant at namespace scope, so local to this file like the functions it holds.
constexpr SerialPortMethods Win32SerialPort = {
    openPort, readPort, writePort, clearPortErrors, purgePort, closePort,
};

const SerialPortMethods &platformSerialPort()
{
    return Win32SerialPort;
}
