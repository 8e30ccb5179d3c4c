// The simulator's TCP server on POSIX sockets: non-blocking, polled, one connection at
// a time.
//
//   listener ──accept──► connection ──bytes──► SimulatorSession ──replies──► connection
//       ▲                    │ closed by the client, or by --disconnect-after
//       └────────────────────┘ the next client in the backlog is accepted
//
// While a connection is served the listener is not polled: later clients complete
// their handshake in the kernel's backlog and wait there, their first requests held
// in their sockets, until the one before them has gone.

#include "tools/devsim/simulatortcp.h"

#include "tools/devsim/descriptorio.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = SimulatorClock;

// "127.0.0.1:5020" or "[::1]:5020" for a socket address.
std::string endpointText(const sockaddr_storage &address, socklen_t length)
{
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV)
        != 0)
        return std::string();
    if (address.ss_family == AF_INET6)
        return std::string("[") + host + "]:" + service;
    return std::string(host) + ":" + service;
}

struct Connection {
    int fd = -1;
    std::unique_ptr<SimulatorSession> session;
};

void closeConnection(Connection &connection, bool verbose, const char *why)
{
    // Unread bytes at close would turn the FIN into a reset, which may cost the
    // client the last reply still on its way.
    char buffer[512];
    while (read(connection.fd, buffer, sizeof buffer) > 0) {}
    shutdown(connection.fd, SHUT_WR);
    close(connection.fd);
    connection.fd = -1;
    connection.session.reset();
    if (verbose)
        std::fprintf(stderr, "- connection closed: %s\n", why);
}

} // namespace

SimulatorTcp::~SimulatorTcp()
{
    if (listener >= 0)
        close(listener);
}

bool SimulatorTcp::listen(const std::string &host, std::uint16_t port, const LineSettings &settings, std::string *error)
{
    silence = settings.silenceMs();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (lookup != 0) {
        *error = "cannot listen on " + host + ": " + gai_strerror(lookup);
        return false;
    }
    *error = "cannot listen on " + host + ": no address";
    for (addrinfo *candidate = found; candidate && listener < 0; candidate = candidate->ai_next) {
        const int fd = socket(candidate->ai_family, candidate->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                              candidate->ai_protocol);
        if (fd < 0) {
            *error = systemError(("cannot listen on " + host).c_str());
            continue;
        }
        // A test that restarts the simulator on its port finds it free at once.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, candidate->ai_addr, candidate->ai_addrlen) != 0 || ::listen(fd, 8) != 0) {
            *error = systemError(("cannot listen on " + host + " port " + std::to_string(port)).c_str());
            close(fd);
            continue;
        }
        listener = fd;
    }
    freeaddrinfo(found);
    return listener >= 0;
}

std::string SimulatorTcp::address() const
{
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &length) != 0)
        return std::string();
    return endpointText(bound, length);
}

int SimulatorTcp::serve(DeviceBus &bus, const ServeSettings &settings, const volatile std::sig_atomic_t *stop)
{
    Connection connection;
    LiveAppend live(settings, Clock::now());

    while (!*stop) {
        const Clock::time_point now = Clock::now();
        Clock::time_point wake = live.nextWake(now + std::chrono::milliseconds(100));
        if (connection.session)
            wake = connection.session->nextWake(wake);

        pollfd in{connection.fd >= 0 ? connection.fd : listener, POLLIN, 0};
        const int ready = pollUntil(&in, 1, wake);
        if (ready < 0 && errno != EINTR)
            return std::fprintf(stderr, "khronar-devsim: %s\n", systemError("poll").c_str()), 1;

        if (ready > 0 && connection.fd < 0) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length,
                                   SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                // Replies are whole frames; sending each at once is what a client waits for.
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                connection.fd = fd;
                connection.session = std::make_unique<SimulatorSession>(bus, settings, silence);
                if (settings.verbose)
                    std::fprintf(stderr, "+ connection from %s\n", endpointText(peer, length).c_str());
            } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                // Out of descriptors, for one: wait rather than spin on the pending client.
                std::fprintf(stderr, "khronar-devsim: %s\n", systemError("accept").c_str());
                poll(nullptr, 0, 100);
            }
        } else if (ready > 0) {
            char buffer[4096];
            const ssize_t got = read(connection.fd, buffer, sizeof buffer);
            if (got > 0)
                connection.session->received(buffer, int(got), Clock::now());
            else if (got == 0)
                closeConnection(connection, settings.verbose, "by the client");
            else if (errno != EAGAIN && errno != EINTR)
                closeConnection(connection, settings.verbose, systemError("read").c_str());
        }

        if (connection.session) {
            SimulatorSession &session = *connection.session;
            session.advance(Clock::now());
            PendingReply reply;
            bool lost = false;
            while (!lost && session.takeReply(Clock::now(), &reply)) {
                lost = !writeWithin(connection.fd, reply.bytes.constData(), reply.bytes.size(), 1000);
                session.replyWritten(reply, !lost, "not sent: the client does not read");
            }
            if (lost)
                closeConnection(connection, settings.verbose, "the client does not read");
            else if (session.wantsClose())
                closeConnection(connection, settings.verbose, "by the simulator");
        }
        live.runIfDue(bus, Clock::now());
    }
    if (connection.fd >= 0)
        closeConnection(connection, false, "");
    return 0;
}
