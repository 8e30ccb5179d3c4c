// TCP client connections on POSIX systems: non-blocking sockets waited on by poll,
// together with a wake-up or a cancel, so that a silent gateway costs a tick and
// never the worker's life, and a connect in flight can be abandoned at once.

#include "link/tcpsocket.h"

#include "link/portwake.h"
#include "link/serialport.h"
#include "link/tcpconnect.h"

#include <cerrno>
#include <chrono>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Rounded up: a wait in whole milliseconds never ends before its deadline.
int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

int wakeDescriptor(const PortWake *wake)
{
    return wake != nullptr ? int(wake->handle()) : -1;
}

PortFailure connectFailure(int code)
{
    switch (code) {
    case ECONNREFUSED:
        return PortFailure::ConnectionRefused;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
        return PortFailure::HostUnreachable;
    case ETIMEDOUT:
        return PortFailure::TimedOut;
    case EACCES:
    case EPERM:
        return PortFailure::NoPermission;
    default:
        return PortFailure::Other;
    }
}

// Waits for `events` on `fd` until `deadline`, across interrupting signals, and
// ends early when `cancel` is signalled. 1 ready, 0 timed out, -1 failed or cancelled.
int waitFor(int fd, short events, Clock::time_point deadline, const PortWake *cancel)
{
    for (;;) {
        if (cancel != nullptr && cancel->signalled())
            return -1;
        pollfd entries[2] = {{fd, events, 0}, {wakeDescriptor(cancel), POLLIN, 0}};
        int timeout = remainingMs(deadline);
        // Without a descriptor to watch, the cancel is looked at every few milliseconds.
        if (cancel != nullptr && entries[1].fd < 0 && timeout > 10)
            timeout = 10;
        const int ready = poll(entries, 2, timeout);
        if (ready > 0 && entries[0].revents != 0)
            return 1;
        if (ready == 0 && remainingMs(deadline) == 0)
            return 0;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

int connectOne(const addrinfo &candidate, Clock::time_point deadline, const PortWake *cancel, PortError *error)
{
    const int fd = socket(candidate.ai_family, candidate.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          candidate.ai_protocol);
    if (fd < 0) {
        setPortError(error, PortFailure::Other, errno);
        return -1;
    }
    if (connect(fd, candidate.ai_addr, candidate.ai_addrlen) != 0) {
        int code = errno;
        if (code == EINPROGRESS) {
            const int ready = waitFor(fd, POLLOUT, deadline, cancel);
            socklen_t size = sizeof code;
            if (ready == 0)
                code = ETIMEDOUT;
            else if (ready < 0)
                code = cancel != nullptr && cancel->signalled() ? ECANCELED : errno;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &size) != 0)
                code = errno;
        }
        if (code != 0) {
            close(fd);
            setPortError(error, code == ECANCELED ? PortFailure::Cancelled : connectFailure(code), code);
            return -1;
        }
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// What a getaddrinfo status other than 0 means for the user.
PortError lookupFailure(int status)
{
    PortError failure;
    if (status == EAI_AGAIN)
        setPortError(&failure, PortFailure::HostUnreachable, 0);
    else if (status == EAI_SYSTEM)
        setPortError(&failure, PortFailure::Other, errno);
    else
        setPortError(&failure, PortFailure::NoSuchPort, 0);
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
    const int fd = connectToFirst(found, -1, deadline, cancel, ETIMEDOUT, error, [&](const addrinfo &candidate) {
        return connectOne(candidate, deadline, cancel, error);
    });
    freeaddrinfo(found);
    return fd < 0 ? InvalidTcpSocket : TcpSocket(fd);
}

int tcpReceive(TcpSocket socket, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs,
               const PortWake *wake, PortError *error)
{
    const int fd = int(socket);
    // Readable covers a closed or failed connection too: recv then tells which.
    pollfd entries[2] = {{fd, POLLIN, 0}, {wakeDescriptor(wake), POLLIN, 0}};
    const timespec limit{time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000};
    if (ppoll(entries, 2, &limit, nullptr) <= 0 || entries[0].revents == 0)
        return 0;
    for (;;) {
        const ssize_t count = recv(fd, data, capacity, 0);
        if (count > 0)
            return int(count);
        if (count == 0)
            return connectionLost(0, error); // the peer closed the connection
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        // Reset, timed out, unreachable: a TCP connection does not recover.
        return connectionLost(errno, error);
    }
}

int tcpSend(TcpSocket socket, const std::uint8_t *data, std::size_t length, std::uint32_t timeoutMs, PortError *error)
{
    const int fd = int(socket);
    const int total = int(length);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (length > 0) {
        // MSG_NOSIGNAL: a connection reset by the peer must fail the write, not
        // end the process by SIGPIPE.
        const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent > 0) {
            data += sent;
            length -= std::size_t(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return connectionLost(sent == 0 ? 0 : errno, error);
        const int ready = waitFor(fd, POLLOUT, deadline, nullptr);
        if (ready <= 0)
            return connectionLost(ready == 0 ? ETIMEDOUT : errno, error);
    }
    return total;
}

void tcpClose(TcpSocket socket)
{
    if (socket != InvalidTcpSocket)
        close(int(socket));
}
