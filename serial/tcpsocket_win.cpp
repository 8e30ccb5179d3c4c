// TCP client connections on Windows: Winsock with non-blocking sockets waited on by
// WSAPoll, so that a silent gateway costs a tick and never the worker's life.

#include "serial/tcpsocket.h"

#include <chrono>
#include <mutex>
#include <string>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
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

bool waitFor(SOCKET socket, short events, Clock::time_point deadline, short *revents)
{
    WSAPOLLFD entry{};
    entry.fd = socket;
    entry.events = events;
    if (WSAPoll(&entry, 1, remainingMs(deadline)) <= 0)
        return false;
    *revents = entry.revents;
    return true;
}

SOCKET connectOne(const addrinfo &candidate, Clock::time_point deadline)
{
    SOCKET socket = ::socket(candidate.ai_family, candidate.ai_socktype, candidate.ai_protocol);
    if (socket == INVALID_SOCKET)
        return INVALID_SOCKET;
    u_long nonBlocking = 1;
    bool connected = ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
    if (connected && connect(socket, candidate.ai_addr, int(candidate.ai_addrlen)) != 0) {
        short revents = 0;
        int error = 0;
        int size = sizeof error;
        connected = WSAGetLastError() == WSAEWOULDBLOCK && waitFor(socket, POLLOUT, deadline, &revents)
            && getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) == 0 && error == 0;
    }
    if (!connected) {
        closesocket(socket);
        return INVALID_SOCKET;
    }
    const BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    return socket;
}

} // namespace

TcpSocket tcpConnect(const std::string &host, std::uint16_t port, std::uint32_t timeoutMs)
{
    if (!winsockStarted())
        return InvalidTcpSocket;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return InvalidTcpSocket;
    SOCKET socket = INVALID_SOCKET;
    for (const addrinfo *candidate = found; candidate != nullptr && socket == INVALID_SOCKET;
         candidate = candidate->ai_next) {
        if (remainingMs(deadline) == 0)
            break;
        socket = connectOne(*candidate, deadline);
    }
    freeaddrinfo(found);
    return socket == INVALID_SOCKET ? InvalidTcpSocket : TcpSocket(socket);
}

int tcpReceive(TcpSocket handle, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutMs)
{
    const SOCKET socket = SOCKET(handle);
    short revents = 0;
    // Readable covers a closed or failed connection too: recv then tells which.
    if (!waitFor(socket, POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs), &revents))
        return 0;
    const int wanted = capacity > 0x10000 ? 0x10000 : int(capacity);
    const int count = recv(socket, reinterpret_cast<char *>(data), wanted, 0);
    if (count > 0)
        return count;
    if (count == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
        return 0;
    return -1;
}

bool tcpSend(TcpSocket handle, const std::uint8_t *data, std::size_t length, std::uint32_t timeoutMs)
{
    const SOCKET socket = SOCKET(handle);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (length > 0) {
        const int chunk = length > 0x10000 ? 0x10000 : int(length);
        const int sent = send(socket, reinterpret_cast<const char *>(data), chunk, 0);
        if (sent > 0) {
            data += sent;
            length -= std::size_t(sent);
            continue;
        }
        short revents = 0;
        if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK || !waitFor(socket, POLLOUT, deadline, &revents))
            return false;
    }
    return true;
}

void tcpClose(TcpSocket handle)
{
    if (handle != InvalidTcpSocket)
        closesocket(SOCKET(handle));
}
