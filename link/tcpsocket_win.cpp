// TCP client connections on Windows: Winsock with non-blocking sockets waited on by
// WSAPoll, so that a silent gateway costs a tick and never the worker's life. WSAPoll
// cannot wait for an event beside a socket, so a connect in flight looks at its
// cancel, and a read at its wake-up, between short waits.

#include "link/tcpsocket.h"

#include "link/portwake.h"
#include "link/serialport.h"
#include "link/tcpconnect.h"

#include <chrono>
#include <mutex>
#include <string>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

using Clock = std::chrono::steady_clock;

// How often a wait looks at its cancel (connect) or wake-up (read).
constexpr int ConnectCancelLookMs = 10;
constexpr int ReadWakeLookMs = 1;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()
                                                                            + std::chrono::microseconds(999));
    return left.count() > 0 ? int(left.count()) : 0;
}

// Winsock is started once for the process and left running: it ends with it.
bool winsockStarted()
{
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return started;
}

// Waits for `events` until `deadline`, looking at `signal` (may be null) every
// `lookMs`. 1 ready, 0 timed out or signalled, -1 failed.
int waitFor(SOCKET socket, short events, Clock::time_point deadline, const PortWake *signal, int lookMs)
{
    for (;;) {
        WSAPOLLFD entry{};
        entry.fd = socket;
        entry.events = events;
        int timeout = remainingMs(deadline);
        if (signal != nullptr && timeout > lookMs)
            timeout = lookMs;
        const int ready = WSAPoll(&entry, 1, timeout);
        if (ready > 0)
            return 1;
        if (ready < 0)
            return -1;
        if (remainingMs(deadline) == 0 || (signal != nullptr && signal->signalled()))
            return 0;
    }
}

PortFailure connectFailure(int code)
{
    switch (code) {
    case WSAECONNREFUSED:
        return PortFailure::ConnectionRefused;
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
    case WSAEHOSTDOWN:
    case WSAENETDOWN:
        return PortFailure::HostUnreachable;
    case WSAETIMEDOUT:
        return PortFailure::TimedOut;
    case WSAEACCES:
        return PortFailure::NoPermission;
    default:
        return PortFailure::Other;
    }
}

SOCKET connectOne(const addrinfo &candidate, Clock::time_point deadline, const PortWake *cancel, PortError *error)
{
    SOCKET socket = ::socket(candidate.ai_family, candidate.ai_socktype, candidate.ai_protocol);
    if (socket == INVALID_SOCKET) {
        setPortError(error, PortFailure::Other, WSAGetLastError());
        return INVALID_SOCKET;
    }
    int code = 0;
    u_long nonBlocking = 1;
    if (ioctlsocket(socket, FIONBIO, &nonBlocking) != 0)
        code = WSAGetLastError();
    else if (connect(socket, candidate.ai_addr, int(candidate.ai_addrlen)) != 0)
        code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK) {
        const int ready = waitFor(socket, POLLOUT, deadline, cancel, ConnectCancelLookMs);
        int size = sizeof code;
        if (ready < 0)
            code = WSAGetLastError();
        else if (ready == 0)
            code = cancel != nullptr && cancel->signalled() ? WSAECANCELLED : WSAETIMEDOUT;
        else if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&code), &size) != 0)
            code = WSAGetLastError();
    }
    if (code != 0) {
        closesocket(socket);
        setPortError(error, code == WSAECANCELLED ? PortFailure::Cancelled : connectFailure(code), code);
        return INVALID_SOCKET;
    }
    const BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    return socket;
}

// What a getaddrinfo status other than 0 means for the user.
PortError lookupFailure(int status)
{
    PortError failure;
    if (status == WSATRY_AGAIN)
        setPortError(&failure, PortFailure::HostUnreachable, status);
    else if (status == WSAHOST_NOT_FOUND || status == WSANO_DATA)
        setPortError(&failure, PortFailure::NoSuchPort, status);
    else
        setPortError(&failure, PortFailure::Other, status);
    return failure;
}

int connectionLost(int code, PortError *error)
{
    setPortError(error, PortFailure::PortLost, code);
    return PortIoLost;
}

} // namespace

TcpSocket tcpConnect(const std::string &host, std::uint16_t port, std::uint32_t timeoutMs, const PortWake *cancel,
                     PortError *error)
{
    if (!winsockStarted()) {
        setPortError(error, PortFailure::Other, WSASYSNOTREADY);
        return InvalidTcpSocket;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo *found = nullptr;
    const auto lookUp = [&host, port](bool numericOnly, addrinfo **list) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV | (numericOnly ? AI_NUMERICHOST : 0);
        return getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, list);
    };
    if (!resolveHost(lookUp, freeaddrinfo, lookupFailure, deadline, cancel, &found, error))
        return InvalidTcpSocket;
    const SOCKET socket = connectToFirst(
        found, INVALID_SOCKET, deadline, cancel, WSAETIMEDOUT, error,
        [&](const addrinfo &candidate) { return connectOne(candidate, deadline, cancel, error); });
    freeaddrinfo(found);
    return socket == INVALID_SOCKET ? InvalidTcpSocket : TcpSocket(socket);
}

int tcpReceive(TcpSocket handle, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs,
               const PortWake *wake, PortError *error)
{
    const SOCKET socket = SOCKET(handle);
    // Readable covers a closed or failed connection too: recv then tells which.
    const auto deadline = Clock::now() + std::chrono::microseconds(timeoutUs);
    if (waitFor(socket, POLLIN, deadline, wake, ReadWakeLookMs) <= 0)
        return 0;
    const int wanted = capacity > 0x10000 ? 0x10000 : int(capacity);
    const int count = recv(socket, reinterpret_cast<char *>(data), wanted, 0);
    if (count > 0)
        return count;
    if (count == 0)
        return connectionLost(0, error); // the peer closed the connection
    const int code = WSAGetLastError();
    if (code == WSAEWOULDBLOCK)
        return 0;
    return connectionLost(code, error);
}

int tcpSend(TcpSocket handle, const std::uint8_t *data, std::size_t length, std::uint32_t timeoutMs, PortError *error)
{
    const SOCKET socket = SOCKET(handle);
    const int total = int(length);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (length > 0) {
        const int chunk = length > 0x10000 ? 0x10000 : int(length);
        const int sent = send(socket, reinterpret_cast<const char *>(data), chunk, 0);
        if (sent > 0) {
            data += sent;
            length -= std::size_t(sent);
            continue;
        }
        const int code = sent == 0 ? 0 : WSAGetLastError();
        if (code != WSAEWOULDBLOCK)
            return connectionLost(code, error);
        const int ready = waitFor(socket, POLLOUT, deadline, nullptr, 0);
        if (ready <= 0)
            return connectionLost(ready == 0 ? WSAETIMEDOUT : WSAGetLastError(), error);
    }
    return total;
}

void tcpClose(TcpSocket handle)
{
    if (handle != InvalidTcpSocket)
        closesocket(SOCKET(handle));
}
