// Why a port could not be opened or stopped working: the cause as the user is told
// it, the system's own code, and the one table of texts the front ends show.
#pragma once

#include <cstdint>
#include <string>

enum class PortFailure : std::uint8_t {
    None,
    NoPermission,        // the user may not open the device (Linux: not in dialout)
    Busy,                // another program holds the port
    NoSuchPort,          // no device by that name, or a gateway's name that does not resolve
    NotSerialPort,       // the name opens something that is no serial port (/dev/null)
    LineSettingsRefused, // rate, parity or stop bits refused by the driver or not allowed
    ConnectionRefused,   // the gateway answered the handshake with a refusal
    HostUnreachable,     // no route to the gateway
    TimedOut,            // the gateway did not answer the handshake in time
    PortLost,            // an open port failed for good: device unplugged, connection closed
    Cancelled,           // the open was cancelled by its owner
    Other,               // anything else; `systemCode` says what
};

struct PortError {
    PortFailure cause = PortFailure::None;
    // errno on Linux, GetLastError() or the Winsock error on Windows; 0 when the
    // failure came from no system call (a parameter not allowed, a time-out).
    int systemCode = 0;
    // What the cause alone does not say; for Busy the holder, "minicom (PID 1234)",
    // when the system tells it.
    std::string detail;

    bool failed() const { return cause != PortFailure::None; }
};

// Fills `error` (when not null) with `cause` and `code`, clearing the detail.
inline void setPortError(PortError *error, PortFailure cause, int code)
{
    if (error == nullptr)
        return;
    error->cause = cause;
    error->systemCode = code;
    error->detail.clear();
}

// How long a gateway may take to answer the handshake.
constexpr std::uint32_t GatewayConnectTimeoutMs = 3000;

// The user's words for a failed open of `portName`, UTF-8:
// «Не удается открыть порт "PORT": <why>».
std::string portOpenFailureText(const std::string &portName, const PortError &error);
// The user's words for a port that stopped working while open:
// «Потеряна связь с портом "PORT": <why>».
std::string portLostText(const std::string &portName, const PortError &error);
// The cause alone, as the sentences above end, in the words for a serial port or for a
// gateway (tcp://, mbtcp://) as `portName` is one or the other.
std::string portFailureReason(const std::string &portName, const PortError &error);
