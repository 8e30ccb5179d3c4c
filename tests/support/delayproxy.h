// A TCP proxy on 127.0.0.1 that holds every byte back a fixed time in each direction:
// a server on the other side of a slow link (a VPN, a mobile line), for the tests.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class DelayProxy
{
public:
    using Clock = std::chrono::steady_clock;

    // Forwards the connections made to port() to 127.0.0.1:`target`, each way `delay` late.
    DelayProxy(std::uint16_t target, std::chrono::milliseconds delay) : target(target), delay(delay)
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0
            || listen(listener, 64) != 0 || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0
            || pipe(wake) != 0)
            return;
        listening = ntohs(address.sin_port);
        worker = std::thread([this] { run(); });
    }
    ~DelayProxy()
    {
        stopping = true;
        if (worker.joinable()) {
            const char stop = 0;
            (void)!write(wake[1], &stop, 1);
            worker.join();
        }
        for (int fd : {listener, wake[0], wake[1]})
            if (fd >= 0)
                close(fd);
    }
    DelayProxy(const DelayProxy &) = delete;
    DelayProxy &operator=(const DelayProxy &) = delete;

    // 0 when it could not listen.
    std::uint16_t port() const { return listening; }

private:
    struct Chunk {
        Clock::time_point due;
        std::string bytes;
        std::size_t sent = 0;
    };
    // One direction of a connection: read from `from`, written to `to` when due.
    struct Flow {
        int from = -1;
        int to = -1;
        bool ended = false; // `from` has closed its side
        std::deque<Chunk> waiting;
    };
    struct Pair {
        Flow up;   // client to server
        Flow down; // server to client
        bool done = false;
    };

    static sockaddr_in loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }

    void accept()
    {
        for (;;) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (client < 0)
                return;
            const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in address = loopback(target);
            if (server < 0 || connect(server, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
                close(client);
                if (server >= 0)
                    close(server);
                continue;
            }
            fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK);
            for (int fd : {client, server}) {
                const int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
            auto pair = std::make_unique<Pair>();
            pair->up.from = pair->down.to = client;
            pair->up.to = pair->down.from = server;
            pairs.push_back(std::move(pair));
        }
    }

    // Reads what `flow.from` has, stamped with when it may go on.
    void take(Flow &flow)
    {
        char buffer[65536];
        for (;;) {
            const ssize_t got = read(flow.from, buffer, sizeof buffer);
            if (got > 0) {
                flow.waiting.push_back(Chunk{Clock::now() + delay, std::string(buffer, size_t(got))});
                continue;
            }
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                flow.ended = true;
            return;
        }
    }

    // Writes what is due; false when the other side is gone.
    bool give(Flow &flow)
    {
        const Clock::time_point now = Clock::now();
        while (!flow.waiting.empty() && flow.waiting.front().due <= now) {
            Chunk &chunk = flow.waiting.front();
            const ssize_t sent = ::send(flow.to, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent,
                                        MSG_NOSIGNAL);
            if (sent < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            chunk.sent += size_t(sent);
            if (chunk.sent < chunk.bytes.size())
                return true;
            flow.waiting.pop_front();
        }
        // Everything it sent has gone on: the other side hears the end too.
        if (flow.ended && flow.waiting.empty())
            shutdown(flow.to, SHUT_WR);
        return true;
    }

    void run()
    {
        while (!stopping) {
            std::vector<pollfd> watched{{wake[0], POLLIN, 0}, {listener, POLLIN, 0}};
            auto timeout = std::chrono::milliseconds(200);
            const Clock::time_point now = Clock::now();
            for (const auto &pair : pairs) {
                for (const Flow *flow : {&pair->up, &pair->down}) {
                    short events = flow->ended ? 0 : POLLIN;
                    watched.push_back({flow->from, events, 0});
                    if (!flow->waiting.empty()) {
                        const Chunk &next = flow->waiting.front();
                        if (next.due <= now)
                            watched.push_back({flow->to, POLLOUT, 0});
                        else
                            timeout = std::min(timeout,
                                               std::chrono::duration_cast<std::chrono::milliseconds>(
                                                   next.due - now + std::chrono::milliseconds(1)));
                    }
                }
            }
            poll(watched.data(), watched.size(), int(timeout.count()));
            if (stopping)
                break;
            accept();
            for (auto &pair : pairs) {
                for (Flow *flow : {&pair->up, &pair->down}) {
                    if (!flow->ended)
                        take(*flow);
                    if (!give(*flow))
                        pair->done = true;
                }
                if (pair->up.ended && pair->down.ended && pair->up.waiting.empty() && pair->down.waiting.empty())
                    pair->done = true;
            }
            for (auto pair = pairs.begin(); pair != pairs.end();) {
                if ((*pair)->done) {
                    close((*pair)->up.from);
                    close((*pair)->up.to);
                    pair = pairs.erase(pair);
                } else {
                    ++pair;
                }
            }
        }
        for (const auto &pair : pairs) {
            close(pair->up.from);
            close(pair->up.to);
        }
    }

    std::uint16_t target;
    std::chrono::milliseconds delay;
    int listener = -1;
    int wake[2] = {-1, -1};
    std::uint16_t listening = 0;
    std::atomic<bool> stopping{false};
    std::vector<std::unique_ptr<Pair>> pairs;
    std::thread worker;
};
