// The thread that supervises a fleet's lines: it starts them, tells systemd that the
// collector is ready, keeps its status line current and pings its watchdog while the
// lines work, and rewrites the metrics file now and then and at the end.
#pragma once

#include "fetch/linemonitor.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

class CollectorConsole;

struct SupervisorSettings {
    // How often systemd wants to hear from the collector; zero when it does not watch.
    // A line counts as hung once it has shown no sign of life for this long.
    std::chrono::microseconds watchdog{0};
    // Where the metrics go (Prometheus's text format); empty for nowhere.
    QString metricsFile;
    std::chrono::milliseconds metricsInterval{10000};
    // A collection that ends (not followed): the metrics tell how long its pass took.
    bool followed = false;
};

/*
 *   main thread                         a thread per line
 *   ───────────                         ─────────────────
 *   start the lines ──────────────────► LineCollector::run(), reporting to its
 *   READY=1, STATUS=...                 LineMonitor as it goes
 *   loop until every line has ended:
 *     snapshots of the monitors ◄────── (one lock per monitor)
 *     STATUS= when it changed
 *     WATCHDOG=1 every half interval, while any line shows signs of life
 *     the metrics file every metricsInterval
 *   STOPPING=1 once the stop flag is set; the metrics once more at the end
 */
class FleetSupervisor
{
public:
    FleetSupervisor(const SupervisorSettings &settings, std::vector<const LineMonitor *> monitors,
                    const std::atomic<bool> &stop, CollectorConsole &console);

    // Runs every one of `lines` on a thread of its own, and supervises them until all
    // have returned.
    void run(const std::vector<std::function<void()>> &lines);

private:
    using Clock = std::chrono::steady_clock;

    void writeMetrics(const std::vector<LineStatus> &lines, double passSeconds);
    std::uint64_t recordsInLastDay(const std::vector<LineStatus> &lines, Clock::time_point now);

    SupervisorSettings settings;
    std::vector<const LineMonitor *> monitors;
    const std::atomic<bool> &stop;
    CollectorConsole &console;
    bool metricsFailing = false;
    // The records stored so far, now and then: what a day's window subtracts.
    std::vector<std::pair<Clock::time_point, std::uint64_t>> storedSamples;
};

// "16 линий, 15 на связи, 1 234 записей за сутки": systemd's status line of the fleet.
QString fleetStatusText(const std::vector<LineStatus> &lines, std::uint64_t recordsInLastDay);
// Whether any line that is still running has shown a sign of life within `limit`.
bool anyLineAlive(const std::vector<LineStatus> &lines, std::chrono::steady_clock::time_point now,
                  std::chrono::steady_clock::duration limit);
