// A line's status, as the line reports it and the supervisor reads it.

#include "fetch/linemonitor.h"

#include <algorithm>

LineMonitor::LineMonitor(const QString &name, const std::vector<std::pair<std::uint8_t, QString>> &devices)
{
    status.name = name;
    for (const auto &device : devices) {
        DeviceStatus entry;
        entry.address = device.first;
        entry.name = device.second;
        status.devices.push_back(entry);
    }
    status.lastSignOfLife = Clock::now();
}

void LineMonitor::updateState()
{
    if (!portOpen) {
        status.state = gaveUp ? LineState::Failing : LineState::Reconnecting;
        return;
    }
    // Up while any device's latest read went well (or none was tried yet).
    const bool allFailing = std::all_of(status.devices.begin(), status.devices.end(),
                                        [](const DeviceStatus &device) { return device.failing; });
    status.state = allFailing && !status.devices.empty() ? LineState::Failing : LineState::Up;
}

void LineMonitor::portOpened()
{
    std::lock_guard<std::mutex> guard(lock);
    portOpen = true;
    gaveUp = false;
    status.lastSignOfLife = Clock::now();
    updateState();
}

void LineMonitor::portOpenFailed(bool tryingAgain)
{
    std::lock_guard<std::mutex> guard(lock);
    portOpen = false;
    gaveUp = !tryingAgain;
    status.lastSignOfLife = Clock::now();
    updateState();
}

void LineMonitor::portLost()
{
    std::lock_guard<std::mutex> guard(lock);
    portOpen = false;
    status.lastSignOfLife = Clock::now();
    updateState();
}

void LineMonitor::portRestored()
{
    std::lock_guard<std::mutex> guard(lock);
    portOpen = true;
    ++status.reconnects;
    status.lastSignOfLife = Clock::now();
    updateState();
}

void LineMonitor::reply(ReplyKind kind)
{
    std::lock_guard<std::mutex> guard(lock);
    ++status.replies[static_cast<int>(kind)];
    if (kind != ReplyKind::TimedOut)
        status.lastSignOfLife = Clock::now();
}

void LineMonitor::deviceReadUp(std::size_t index, qint64 now)
{
    std::lock_guard<std::mutex> guard(lock);
    status.devices.at(index).lastSuccess = now;
    status.devices.at(index).failing = false;
    updateState();
}

void LineMonitor::deviceFailed(std::size_t index)
{
    std::lock_guard<std::mutex> guard(lock);
    status.devices.at(index).failing = true;
    updateState();
}

void LineMonitor::recordsStored(std::size_t index, std::uint32_t count)
{
    std::lock_guard<std::mutex> guard(lock);
    status.devices.at(index).recordsStored += count;
}

void LineMonitor::newestRecord(std::size_t index, qint64 time)
{
    std::lock_guard<std::mutex> guard(lock);
    status.devices.at(index).newestRecordTime = time;
}

void LineMonitor::alive()
{
    std::lock_guard<std::mutex> guard(lock);
    status.lastSignOfLife = Clock::now();
}

void LineMonitor::finish()
{
    std::lock_guard<std::mutex> guard(lock);
    status.finished = true;
}

LineStatus LineMonitor::snapshot() const
{
    std::lock_guard<std::mutex> guard(lock);
    return status;
}
