// The event loop's longest pause while a test runs: what a user would feel as the
// window freezing.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

// The longest pause, as a timer that wants to run every 10 ms sees it.
class PauseMeter
{
public:
    PauseMeter()
    {
        QObject::connect(&heartbeat, &QTimer::timeout, [this] { longest = std::max(longest, sinceLast.restart()); });
        sinceLast.start();
        heartbeat.start(10);
    }
    qint64 longestMs() const { return longest; }

private:
    QTimer heartbeat;
    QElapsedTimer sinceLast;
    qint64 longest = 0;
};
