// The same simulated log downloaded by the window and by khronar-fetch in one run, on
// pseudo-terminals, each into a new log file: records per second of each, from connect
// (or start) to the last record stored, and their ratios. First the window at its own
// pace (a request every 100 ms) at 115200 baud; then the window at the line's pace
// against khronar-fetch at 19200 and 115200 baud, the simulator's replies timed as on a
// wire (goal: the window at least 0.95 of khronar-fetch's pace).
//
//   bench_fetch KHRONAR_DEVSIM KHRONAR_FETCH [N]     (N records, default 300)

#include "bench/downloadtiming.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Each run into a file of its own: a second run into the same file would find its log
// read already.
int runs = 0;

DownloadTiming timeFetch(const QString &program, const QString &port, const QString &dir, int records,
                         int baud = 115200)
{
    QProcess fetch;
    QElapsedTimer clock;
    clock.start();
    fetch.start(program,
                {QStringLiteral("--port"), port, QStringLiteral("--baud"), QString::number(baud),
                 QStringLiteral("--db"), QDir(dir).filePath(QStringLiteral("fetch-%1-%2.db").arg(baud).arg(++runs))});
    DownloadTiming timing;
    if (!fetch.waitForFinished(3600 * 1000) || fetch.exitCode() != 0) {
        std::fprintf(stderr, "khronar-fetch failed: %s\n", fetch.readAllStandardError().constData());
        return timing;
    }
    timing.seconds = clock.elapsed() / 1000.0;
    timing.stored = records;
    return timing;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_fetch KHRONAR_DEVSIM KHRONAR_FETCH [N]\n");
        return 2;
    }
    const QString devsim = QString::fromLocal8Bit(argv[1]);
    const int records = argc > 3 ? std::atoi(argv[3]) : 300;
    QTemporaryDir dir;
    const QString json = writeBenchDeviceLog(dir.path(), records);

    // A device of its own for each, so that neither finds the other's traces.
    const DownloadTiming window = timeWindowDownload(startBenchDevice(devsim, json), dir.path(), records);
    const DownloadTiming fetch = timeFetch(QString::fromLocal8Bit(argv[2]), startBenchDevice(devsim, json), dir.path(),
                                           records);

    std::printf("%d records (and 2 captions) at 115200 baud on a pseudo-terminal\n", records);
    std::printf("window:        %6.1f s, %7.2f records/s\n", window.seconds, window.recordsPerSecond());
    std::printf("khronar-fetch: %6.1f s, %7.2f records/s\n", fetch.seconds, fetch.recordsPerSecond());
    if (window.recordsPerSecond() > 0)
        std::printf("ratio: %.1f\n", fetch.recordsPerSecond() / window.recordsPerSecond());

    bool allStored = window.stored == records && fetch.stored == records;
    for (const int baud : {19200, 115200}) {
        const DownloadTiming paced = timeWindowDownload(startBenchDevice(devsim, json, baud, true), dir.path(), records,
                                                        baud, true);
        const DownloadTiming line = timeFetch(QString::fromLocal8Bit(argv[2]),
                                              startBenchDevice(devsim, json, baud, true), dir.path(), records, baud);
        std::printf("\n%d records at %d baud, the simulator's replies timed as on a wire\n", records, baud);
        std::printf("window at the line's pace: %6.1f s, %7.2f records/s\n", paced.seconds, paced.recordsPerSecond());
        std::printf("khronar-fetch:             %6.1f s, %7.2f records/s\n", line.seconds, line.recordsPerSecond());
        if (line.recordsPerSecond() > 0) {
            const double ratio = paced.recordsPerSecond() / line.recordsPerSecond();
            std::printf("window / khronar-fetch: %.2f  goal >= 0.95  %s\n", ratio, ratio >= 0.95 ? "met" : "MISSED");
        }
        const DownloadTiming watched = timeWindowDownload(startBenchDevice(devsim, json, baud, true), dir.path(),
                                                          records, baud, true, true);
        std::printf("window, traffic monitor open:  %6.1f s, %7.2f records/s\n", watched.seconds,
                    watched.recordsPerSecond());
        if (line.recordsPerSecond() > 0)
            std::printf("window (monitor open) / khronar-fetch: %.2f\n",
                        watched.recordsPerSecond() / line.recordsPerSecond());
        allStored = allStored && paced.stored == records && line.stored == records && watched.stored == records;
    }
    stopBenchDevices();
    return allStored ? 0 : 1;
}
