// Alerts on device events: each newly stored record that a rule of the fleet file's
// [alerts] takes is logged with the rule's priority and/or handed to the rule's command.
#pragma once

#include "fetch/fleetconfig.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class CollectorConsole;

// A record as an alert tells it.
struct AlertRecord {
    QString line;
    QString device;
    std::uint8_t address = 1;
    QString time; // "yyyy-MM-dd HH:mm:ss" on the device's clock
    int type = 0; // 0 info, 1 warning, 2 error, 3 change
    QString message;
};

/*
 * The lines' threads hand in records; a few workers of the dispatcher's own run the
 * commands, so a slow command never holds up a line:
 *
 *   line threads ──recordStored()──► rules ──► journal (on the line's thread)
 *                                          └──► queue ──► at most N workers, each
 *                                               runs one command at a time: no shell,
 *                                               the record in its environment and as
 *                                               JSON on its standard input, killed at
 *                                               its rule's time limit
 *
 * A flood of records fills the queue up to a bound, beyond which commands are not
 * run and the loss is said. A command that cannot start, fails or is killed is said
 * too; collection goes on either way.
 */
class AlertDispatcher
{
public:
    AlertDispatcher(std::vector<AlertRule> rules, int commandsAtOnce, CollectorConsole &console);
    // Waits for the commands already running; see finish().
    ~AlertDispatcher();
    AlertDispatcher(const AlertDispatcher &) = delete;
    AlertDispatcher &operator=(const AlertDispatcher &) = delete;

    // A record newly stored; `history` when it came with its device's first download.
    // Thread-safe; never waits for a command.
    void recordStored(const AlertRecord &record, bool history);
    // Whether any rule takes the records of a first download.
    bool takesHistory() const;
    // Ends the dispatcher: every command queued is run before it returns; with
    // `stopping` (the collector was told to stop) only for a few seconds, after which the
    // rest is left out and said. Then the workers end.
    void finish(bool stopping);

    // The most commands waiting to run; what comes beyond is not run.
    static constexpr std::size_t MaxQueued = 1000;

private:
    struct Job {
        const AlertRule *rule;
        AlertRecord record;
    };

    void work();
    void runCommand(const Job &job);
    void say(const Job &job, const QString &what, int priority);

    const std::vector<AlertRule> rules;
    CollectorConsole &console;
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<Job> queue;
    int running = 0;
    bool ending = false;
    std::uint64_t dropped = 0;
    std::vector<std::thread> workers;
};

// The record as one JSON object: line, device, address, time, type (its name), message.
QByteArray alertRecordJson(const AlertRecord &record, const QString &rule);
