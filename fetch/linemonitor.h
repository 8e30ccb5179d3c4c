// What a running line tells the thread that supervises the fleet: its port's state,
// the replies it got, each device's records and reads, and when it last showed that it
// works. The line writes, the supervisor takes snapshots; one lock between them.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

enum class LineState { Up, Reconnecting, Failing };

// How a request fared: the master's verdict on its reply, or no reply at all.
enum class ReplyKind { Accepted, TimedOut, CrcError, Exception, Unexpected };
constexpr int ReplyKindCount = 5;

struct DeviceStatus {
    QString name;
    std::uint8_t address = 1;
    // Records stored in this run.
    std::uint64_t recordsStored = 0;
    // The newest stored record's time on the device's clock, as Unix seconds (the log's
    // own value); -1 while the log holds none or it is not known yet.
    qint64 newestRecordTime = -1;
    // When the device was last read up to its newest record, Unix seconds; -1 never.
    qint64 lastSuccess = -1;
    // Whether its latest read failed (no reply, an exception, its store).
    bool failing = false;
};

struct LineStatus {
    QString name;
    LineState state = LineState::Reconnecting;
    // How often the lost port came back.
    std::uint64_t reconnects = 0;
    std::uint64_t replies[ReplyKindCount] = {};
    std::vector<DeviceStatus> devices;
    // The last time the line showed it works: a frame from a device, an attempt at a
    // port that is gone. A line whose port is open and that sends without a frame
    // coming back is hung.
    std::chrono::steady_clock::time_point lastSignOfLife;
    // The line's run has ended (a collection that is not followed).
    bool finished = false;
};

class LineMonitor
{
public:
    using Clock = std::chrono::steady_clock;

    // The line `name` with its devices, in the order the line reads them.
    LineMonitor(const QString &name, const std::vector<std::pair<std::uint8_t, QString>> &devices);

    // The port. An open that fails for good (a run that ends) makes the line failing;
    // one that is tried again, or a port that is lost, makes it reconnecting.
    void portOpened();
    void portOpenFailed(bool tryingAgain);
    void portLost();
    void portRestored();
    // A reply (or none) to a request.
    void reply(ReplyKind kind);
    // The device at `index` was read up to its newest record, or its read failed.
    void deviceReadUp(std::size_t index, qint64 now);
    void deviceFailed(std::size_t index);
    void recordsStored(std::size_t index, std::uint32_t count);
    void newestRecord(std::size_t index, qint64 time);
    // The line works without a frame to show for it (a port being tried again).
    void alive();
    void finish();

    LineStatus snapshot() const;

private:
    void updateState();

    mutable std::mutex lock;
    LineStatus status;
    bool portOpen = false;
    bool gaveUp = false;
};
