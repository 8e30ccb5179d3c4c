// How promptly the link lets go: a terminal's close and its destruction while its
// worker waits in a read of the line, and the cancel of a background open that waits
// for a silent gateway's handshake. The tests check that each happens; the figures
// are here, each against the wait it cuts short.
//
//   bench_link [ROUNDS]
//
// Close and destruction run at 1200 baud 8E2 (reads of 10 ms, the longest tick of the
// offered rates) and at 19200 baud 8E1 (reads of 1 ms), on a pseudo-terminal; the ratio
// is the time over one read. The cancel runs against a listener on 127.0.0.1 whose
// accept queue is full; its ratio is the time over the handshake's limit of 3 s.
// Each line gives the median and the slowest of ROUNDS rounds (default 200) and
// whether the slowest kept to the promise (closing within 500 ms).

#include "link/comhalfduplexterminal.h"
#include "link/portopener.h"
#include "tests/support/pseudoterminal.h"
#include "tests/support/tcppeers.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double PromiseSeconds = 0.5;

struct Figures {
    double median = 0;
    double slowest = 0;
};

Figures figuresOf(std::vector<double> seconds)
{
    Figures figures;
    if (seconds.empty())
        return figures;
    std::sort(seconds.begin(), seconds.end());
    figures.median = seconds[seconds.size() / 2];
    figures.slowest = seconds.back();
    return figures;
}

void report(const char *what, const Figures &figures, double against)
{
    std::printf("%-34s %9.3f %9.3f %9.3g %9.3g   %s\n", what, figures.median * 1000, figures.slowest * 1000,
                figures.median / against, figures.slowest / against, figures.slowest < PromiseSeconds ? "yes" : "NO");
}

// The terminal closed (or destroyed) a few reads after it was opened: the worker is
// then inside a read of the line.
std::vector<double> closeTimes(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits, int rounds,
                               bool destroy)
{
    std::vector<double> seconds;
    PseudoTerminal line;
    if (line.master < 0)
        return seconds;
    const std::uint32_t tickMs = ComHalfDuplexTerminal::tickMilliseconds(baudRate, parity, stopBits);
    for (int round = 0; round < rounds; ++round) {
        std::uint8_t storage[256];
        auto terminal = std::make_unique<ComHalfDuplexTerminal>(storage, sizeof storage,
                                                                ComHalfDuplexTerminal::WindowGapTicks);
        if (!terminal->open(line.slaveName, baudRate, parity, stopBits))
            return {};
        // Somewhere inside a read: a few ticks in, and a part of one more.
        std::this_thread::sleep_for(std::chrono::microseconds(3 * tickMs * 1000 + (round % 7) * tickMs * 1000 / 7));
        const auto started = Clock::now();
        if (destroy)
            terminal.reset();
        else
            terminal->close();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - started).count());
    }
    return seconds;
}

// From the cancel to the end of the opener's thread (take joins it).
std::vector<double> cancelTimes(int rounds)
{
    std::vector<double> seconds;
    for (int round = 0; round < rounds; ++round) {
        TcpListener gateway(0);
        if (gateway.fd < 0 || !gateway.fillAcceptQueue())
            return {};
        PortOpener opener;
        opener.start(gateway.url().toStdString(), 19200, 2, 0);
        // The handshake under way.
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + round % 5));
        const auto started = Clock::now();
        opener.cancel();
        const OpenedPort opened = opener.take();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - started).count());
        if (opened.error.cause != PortFailure::Cancelled) {
            std::fprintf(stderr, "bench_link: round %d of the cancel was not cancelled\n", round);
            return {};
        }
    }
    return seconds;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    std::printf("%d rounds; ms median and slowest, ratio to the wait cut short, slowest within %.0f ms\n\n", rounds,
                PromiseSeconds * 1000);
    std::printf("%-34s %9s %9s %9s %9s   %s\n", "", "median", "slowest", "med/wait", "max/wait", "promise");
    struct Line {
        const char *what;
        std::uint32_t baudRate;
        std::uint8_t parity;
        std::uint8_t stopBits;
        bool destroy;
    };
    const Line lines[] = {
        {"close, 1200 8E2 (10 ms reads)", 1200, 2, 2, false},
        {"destroy, 1200 8E2 (10 ms reads)", 1200, 2, 2, true},
        {"close, 19200 8E1 (1 ms reads)", 19200, 2, 0, false},
    };
    bool ok = true;
    for (const Line &line : lines) {
        const std::vector<double> times = closeTimes(line.baudRate, line.parity, line.stopBits, rounds, line.destroy);
        if (times.empty()) {
            std::fprintf(stderr, "bench_link: no pseudo-terminal to open\n");
            return 1;
        }
        const double tick = ComHalfDuplexTerminal::tickMilliseconds(line.baudRate, line.parity, line.stopBits) / 1000.0;
        const Figures figures = figuresOf(times);
        report(line.what, figures, tick);
        ok = ok && figures.slowest < PromiseSeconds;
    }
    const std::vector<double> cancels = cancelTimes(std::max(1, rounds / 4));
    if (cancels.empty()) {
        std::fprintf(stderr, "bench_link: no silent gateway to cancel against\n");
        return 1;
    }
    const Figures figures = figuresOf(cancels);
    report("cancel of a gateway's handshake", figures, GatewayConnectTimeoutMs / 1000.0);
    ok = ok && figures.slowest < PromiseSeconds;
    return ok ? 0 : 3;
}
