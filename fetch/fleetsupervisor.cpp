// Supervising a fleet's lines from the main thread: systemd's readiness, status and
// watchdog, and the metrics file.

#include "fetch/fleetsupervisor.h"

#include "fetch/fleetmetrics.h"
#include "fetch/linecollector.h"
#include "fetch/servicemanager.h"

#include <QLocale>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// The longest the supervisor sleeps: how late it sees the stop flag and a status change.
constexpr auto LongestWait = std::chrono::milliseconds(500);
// The day the status line counts records over, and how finely it is sampled.
constexpr auto Day = std::chrono::hours(24);
constexpr auto SampleInterval = std::chrono::minutes(1);

// The Russian word for `count` of something: one, a few (2-4), many.
QString countedWord(std::uint64_t count, const char *one, const char *few, const char *many)
{
    const std::uint64_t lastTwo = count % 100;
    const std::uint64_t last = count % 10;
    if (lastTwo >= 11 && lastTwo <= 14)
        return QString::fromUtf8(many);
    if (last == 1)
        return QString::fromUtf8(one);
    if (last >= 2 && last <= 4)
        return QString::fromUtf8(few);
    return QString::fromUtf8(many);
}

QString number(std::uint64_t value)
{
    return QLocale(QLocale::Russian).toString(static_cast<qulonglong>(value));
}

} // namespace

QString fleetStatusText(const std::vector<LineStatus> &lines, std::uint64_t recordsInLastDay)
{
    const std::uint64_t up = static_cast<std::uint64_t>(
        std::count_if(lines.begin(), lines.end(), [](const LineStatus &line) { return line.state == LineState::Up; }));
    return QStringLiteral("%1 %2, %3 на связи, %4 %5 за сутки")
        .arg(number(lines.size()), countedWord(lines.size(), "линия", "линии", "линий"), number(up),
             number(recordsInLastDay), countedWord(recordsInLastDay, "запись", "записи", "записей"));
}

bool anyLineAlive(const std::vector<LineStatus> &lines, std::chrono::steady_clock::time_point now,
                  std::chrono::steady_clock::duration limit)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const LineStatus &line) { return !line.finished && now - line.lastSignOfLife < limit; });
}

FleetSupervisor::FleetSupervisor(const SupervisorSettings &settings, std::vector<const LineMonitor *> monitors,
                                 const std::atomic<bool> &stop, CollectorConsole &console)
    : settings(settings),
      monitors(std::move(monitors)),
      stop(stop),
      console(console)
{}

void FleetSupervisor::run(const std::vector<std::function<void()>> &lines)
{
    const Clock::time_point started = Clock::now();
    std::mutex lock;
    std::condition_variable ended;
    std::size_t done = 0;
    std::vector<std::thread> threads;
    threads.reserve(lines.size());
    for (const std::function<void()> &line : lines) {
        threads.emplace_back([&, line] {
            line();
            std::lock_guard<std::mutex> guard(lock);
            ++done;
            ended.notify_all();
        });
    }

    const auto snapshots = [this] {
        std::vector<LineStatus> status;
        status.reserve(monitors.size());
        for (const LineMonitor *monitor : monitors)
            status.push_back(monitor->snapshot());
        return status;
    };
    std::vector<LineStatus> status = snapshots();
    QString shownStatus = fleetStatusText(status, recordsInLastDay(status, Clock::now()));
    notifyServiceManager("READY=1\nSTATUS=" + shownStatus.toUtf8());

    const auto watchdog = std::chrono::duration_cast<Clock::duration>(settings.watchdog);
    Clock::time_point nextPing = Clock::now();
    Clock::time_point nextMetrics = Clock::now();
    bool stopping = false;
    std::unique_lock<std::mutex> guard(lock);
    while (done < lines.size()) {
        guard.unlock();
        const Clock::time_point now = Clock::now();
        status = snapshots();
        if (stop.load() && !stopping) {
            stopping = true;
            notifyServiceManager("STOPPING=1");
        }
        const QString text = fleetStatusText(status, recordsInLastDay(status, now));
        if (text != shownStatus) {
            shownStatus = text;
            notifyServiceManager("STATUS=" + text.toUtf8());
        }
        // Twice per interval, as systemd advises; a hung fleet misses both.
        if (watchdog.count() > 0 && now >= nextPing) {
            if (anyLineAlive(status, now, watchdog))
                notifyServiceManager("WATCHDOG=1");
            nextPing = now + watchdog / 2;
        }
        if (!settings.metricsFile.isEmpty() && now >= nextMetrics) {
            writeMetrics(status, -1);
            nextMetrics = now + settings.metricsInterval;
        }
        Clock::time_point wake = now + LongestWait;
        if (watchdog.count() > 0)
            wake = std::min(wake, nextPing);
        if (!settings.metricsFile.isEmpty())
            wake = std::min(wake, nextMetrics);
        guard.lock();
        ended.wait_until(guard, wake, [&] { return done == lines.size(); });
    }
    guard.unlock();
    // The lines may have ended before the loop saw the flag.
    if (stop.load() && !stopping)
        notifyServiceManager("STOPPING=1");
    for (std::thread &thread : threads)
        thread.join();
    if (!settings.metricsFile.isEmpty()) {
        const double pass = settings.followed ? -1 : std::chrono::duration<double>(Clock::now() - started).count();
        writeMetrics(snapshots(), pass);
    }
}

void FleetSupervisor::writeMetrics(const std::vector<LineStatus> &lines, double passSeconds)
{
    QString error;
    if (replaceMetricsFile(settings.metricsFile, fleetMetricsText(lines, passSeconds), &error)) {
        if (metricsFailing)
            console.error(QStringLiteral("метрики снова записываются в \"%1\"").arg(settings.metricsFile));
        metricsFailing = false;
        return;
    }
    // Said once, not every ten seconds; collecting goes on either way.
    if (!metricsFailing)
        console.error(QStringLiteral("Не удается записать метрики в \"%1\": %2").arg(settings.metricsFile, error));
    metricsFailing = true;
}

std::uint64_t FleetSupervisor::recordsInLastDay(const std::vector<LineStatus> &lines, Clock::time_point now)
{
    std::uint64_t total = 0;
    for (const LineStatus &line : lines) {
        for (const DeviceStatus &device : line.devices)
            total += device.recordsStored;
    }
    if (storedSamples.empty() || now - storedSamples.back().first >= SampleInterval)
        storedSamples.emplace_back(now, total);
    // The oldest sample kept is the last one at least a day old.
    while (storedSamples.size() > 1 && now - storedSamples[1].first >= Day)
        storedSamples.erase(storedSamples.begin());
    const std::uint64_t before = now - storedSamples.front().first >= Day ? storedSamples.front().second : 0;
    return total - std::min(total, before);
}
