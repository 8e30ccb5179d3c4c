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
    // Connects clients that are never accepted until one's handshake goes unanswered:
    // the kernel then drops every further handshake. Needs a backlog of 0. True when
    // the queue is full.
    bool fillAcceptQueue()
    {
        for (int i = 0; i < 16; ++i) {
            const int client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
            clients.push_back(client);
            pollfd wait{client, POLLOUT, 0};
            if (poll(&wait, 1, 300) == 0)
                return true;
        }
        return false;
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
