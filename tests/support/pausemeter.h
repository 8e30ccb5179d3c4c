// The event loop's longest pause while a test runs: what a user would feel as the
// window freezing, as far as the window causes it.
#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>

#include <algorithm>

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
    static qint64 queuedNs()
    {
        QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
        if (!stat.open(QIODevice::ReadOnly))
            return 0;
        const QList<QByteArray> fields = stat.readAll().split(' ');
        return fields.size() >= 2 ? fields.at(1).trimmed().toLongLong() : 0;
    }

    QElapsedTimer clock;
    qint64 lastQueued = 0;
};

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
