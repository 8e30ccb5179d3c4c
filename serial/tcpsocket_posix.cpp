// TCP client connections on POSIX systems: non-blocking sockets waited on by poll,
// so that a silent gateway costs a tick and never the worker's life.

#include "serial/tcpsocket.h"

#include <cerrno>
#include <chrono>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

// Waits for `events` on `fd` until `deadline`, across interrupting signals.
bool waitFor(int fd, short events, Clock::time_point deadline, short *revents)
{
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, remainingMs(deadline));
        if (ready > 0) {
            *revents = entry.revents;
            return true;
        }
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

int connectOne(const addrinfo &candidate, Clock::time_point deadline)
{
    const int fd = socket(candidate.ai_family, candidate.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                          candidate.ai_protocol);
    if (fd < 0)
        return -1;
    if (connect(fd, candidate.ai_addr, candidate.ai_addrlen) != 0) {
        short revents = 0;
        int error = 0;
        socklen_t size = sizeof error;
        if (errno != EINPROGRESS || !waitFor(fd, POLLOUT, deadline, &revents)
            || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            close(fd);
            return -1;
        }
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

} // namespace

TcpSocket tcpConnect(const std::string &host, std::uint16_t port, std::uint32_t timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return InvalidTcpSocket;
    int fd = -1;
    for (const addrinfo *candidate = found; candidate != nullptr && fd < 0; candidate = candidate->ai_next) {
        if (remainingMs(deadline) == 0)
            break;
        fd = connectOne(*candidate, deadline);
    }
    freeaddrinfo(found);
    return fd < 0 ? InvalidTcpSocket : TcpSocket(fd);
}

int tcpReceive(TcpSocket socket, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutMs)
{
    const int fd = int(socket);
    short revents = 0;
    // Readable covers a closed or failed connection too: recv then tells which.
    if (!waitFor(fd, POLLIN, Clock::now() + std::chrono::milliseconds(timeoutMs), &revents))
        return 0;
    for (;;) {
        const ssize_t count = recv(fd, data, capacity, 0);
        if (count > 0)
            return int(count);
        if (count == 0)
            return -1; // the peer closed the connection
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

bool tcpSend(TcpSocket socket, const std::uint8_t *data, std::size_t length, std::uint32_t timeoutMs)
{
    const int fd = int(socket);
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
        short revents = 0;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(fd, POLLOUT, deadline, &revents))
            return false;
    }
    return true;
}

void tcpClose(TcpSocket socket)
{
    if (socket != InvalidTcpSocket)
        close(int(socket));
}
