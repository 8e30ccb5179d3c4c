// TCP peers for the network ports' tests, on 127.0.0.1: a listener that accepts, one
// whose accept queue is full so that a new handshake is never answered, and a port
// where nobody listens.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

struct TcpListener {
    // Listens on a free port of 127.0.0.1 with room for `backlog` pending connections.
    explicit TcpListener(int backlog = 8)
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(fd, backlog) != 0
            || getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            closeAll();
            return;
        }
        port = ntohs(address.sin_port);
    }
    ~TcpListener() { closeAll(); }
    TcpListener(const TcpListener &) = delete;
    TcpListener &operator=(const TcpListener &) = delete;

    QString url(const char *scheme = "tcp") const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port);
    }
    // The next connection, waiting at most `timeoutMs`; -1 when none came.
    int accept(int timeoutMs = 10000)
    {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) != 1)
            return -1;
        const int connection = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0)
            clients.push_back(connection);
        return connection;
    }
    // Connects clients that are never accepted until the accept queue is full: the
    // kernel then drops every further handshake. Needs a backlog of 0. Full is the
    // kernel's own count (the listener's queue beyond its backlog), not a handshake that
    // seemed slow. True when the queue is full.
    bool fillAcceptQueue()
    {
        for (int i = 0; i < 16 && !acceptQueueFull(); ++i) {
            const int client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
            clients.push_back(client);
            // The handshake of a client the queue has room for completes; once the
            // queue is full, the kernel has counted it there.
            pollfd wait{client, POLLOUT, 0};
            for (int waited = 0; waited < 100 && !acceptQueueFull(); ++waited) {
                if (poll(&wait, 1, 100) == 1)
                    break;
            }
        }
        return acceptQueueFull();
    }
    // Whether the kernel drops new handshakes: more connections wait in the accept queue
    // than the backlog allows (for a listener, TCP_INFO gives the queue's length and
    // its backlog).
    bool acceptQueueFull() const
    {
        tcp_info info{};
        socklen_t length = sizeof info;
        return fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0
            && info.tcpi_unacked > info.tcpi_sacked;
    }
    // Closes an accepted connection, as a gateway that restarts does.
    void closeClient(int connection)
    {
        for (auto it = clients.begin(); it != clients.end(); ++it) {
            if (*it == connection) {
                ::close(connection);
                clients.erase(it);
                return;
            }
        }
    }
    void closeAll()
    {
        for (int client : clients)
            ::close(client);
        clients.clear();
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    int fd = -1;
    std::uint16_t port = 0;
    std::vector<int> clients;
};

// A port of 127.0.0.1 where nobody listens (it was free a moment ago): a connection
// there is refused at once.
inline std::uint16_t refusingPort()
{
    TcpListener probe;
    return probe.port;
}
