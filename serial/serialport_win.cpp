// The serial port layer on Windows: the Win32 communications API with synchronous
// reads and writes; the read timeouts of the port make the tick.

#include "serial/serialport.h"

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

bool configurePort(HANDLE handle, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                   std::uint32_t tickMs)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return false;
    dcb.BaudRate = baudRate;
    adjustDcbFlags(dcb);
    dcb.ByteSize = 8;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    if (!SetCommState(handle, &dcb))
        return false;

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

PortHandle openPort(const char *portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                    std::uint32_t tickMs)
{
    if (portName == nullptr || portName[0] == '\0')
        return InvalidPortHandle;
    const std::string path = std::string("\\\\.\\") + portName;
    // Share mode 0: exclusive. No flags: all I/O on the handle is synchronous.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return InvalidPortHandle;
    if (!configurePort(handle, baudRate, parity, stopBits, tickMs)) {
        CloseHandle(handle);
        return InvalidPortHandle;
    }
    purgePort(reinterpret_cast<PortHandle>(handle));
    return reinterpret_cast<PortHandle>(handle);
}

int readPort(PortHandle port, std::uint8_t *data, std::size_t capacity, std::uint32_t /*tickMs*/)
{
    // The port's read timeouts bound the wait.
    DWORD received = 0;
    if (!ReadFile(toHandle(port), data, static_cast<DWORD>(capacity), &received, nullptr))
        return -1;
    return static_cast<int>(received);
}

bool writePort(PortHandle port, const std::uint8_t *data, std::size_t length)
{
    // Synchronous and without a write timeout: returns when the frame has gone out.
    DWORD written = 0;
    return WriteFile(toHandle(port), data, static_cast<DWORD>(length), &written, nullptr) && written == length;
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

void raiseWorkerPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

void restoreWorkerPriority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

// Constant at namespace scope, so local to this file like the functions it holds.
constexpr SerialPortMethods Win32SerialPort = {
    openPort, readPort, writePort, clearPortErrors, purgePort, closePort,
};

const SerialPortMethods &platformSerialPort()
{
    return Win32SerialPort;
}
