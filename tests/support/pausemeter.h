// The event loop's longest pause while a test runs: what a user would feel as the
// window freezing, as far as the window causes it.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <cstdlib>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

// Time that passes on the calling thread by its own doing: the wall clock less the
// time the thread was ready to run but waited for a core (Linux's schedstat). On a
// machine busy with other work a thread waits for its turn, which no code of the
// window can change; work on the thread, or a wait for a lock or another thread, still
// counts in full. Where the kernel keeps no such count it is the wall clock.
class OwnTime
{
public:
    OwnTime()
    {
        clock.start();
        lastQueued = queuedNs();
    }
    // The milliseconds since the last restart, and starts over.
    qint64 restart()
    {
        const qint64 wall = clock.restart();
        const qint64 queued = queuedNs();
        const qint64 waited = (queued - lastQueued) / 1000000;
        lastQueued = queued;
        return std::max<qint64>(0, wall - waited);
    }
    qint64 elapsedMs() const { return std::max<qint64>(0, clock.elapsed() - (queuedNs() - lastQueued) / 1000000); }

private:
    // Nanoseconds this thread has spent on a run queue, 0 where that is not known.
    // Read without touching the heap: the meter runs every 10 ms, and under the address
    // sanitizer its own allocations would feed the pauses it measures.
    static qint64 queuedNs()
    {
#ifdef Q_OS_LINUX
        const int fd = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return 0;
        char text[128];
        const ssize_t got = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        if (got <= 0)
            return 0;
        text[got] = '\0';
        // "running-ns queued-ns timeslices"
        char *end = nullptr;
        std::strtoll(text, &end, 10);
        return end != text ? std::strtoll(end, nullptr, 10) : 0;
#else
        return 0;
#endif
    }

    QElapsedTimer clock;
    qint64 lastQueued = 0;
};

// The longest pause a test allows the window, in every build: less than the quickest of
// the slow things these tests put before it (a round trip through the slow proxy, 300 ms;
// the first second of a reconnect's back-off; a silent handshake's or server's seconds).
// A pause under it says that the window waited for none of them, however busy the
// machine is: on two cores shared with compilers, or under the address sanitizer's own
// stops (it recycles its quarantine of freed memory on whichever thread frees next), the
// window's thread also waits for locks held by threads that wait for a core, and for a
// disk that others keep busy. What a user feels, 100 ms, is the figure: the tests print
// the longest pause they saw (within 100 ms on a machine not busy with other work).
constexpr qint64 windowPauseLimitMs = 250;

// The longest pause, as a timer that wants to run every 10 ms sees it, counted as
// OwnTime: the test asserts what the window does, not how busy the machine is.
class PauseMeter
{
public:
    PauseMeter()
    {
        QObject::connect(&heartbeat, &QTimer::timeout, [this] { longest = std::max(longest, sinceLast.restart()); });
        heartbeat.start(10);
    }
    qint64 longestMs() const { return longest; }

private:
    QTimer heartbeat;
    OwnTime sinceLast;
    qint64 longest = 0;
};
