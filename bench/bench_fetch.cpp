// The same simulated log downloaded by the window and by khronar-fetch in one run, at
// 115200 baud on pseudo-terminals, each into a new log file: records per second of
// each, from connect (or start) to the last record stored, and their ratio.
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

DownloadTiming timeFetch(const QString &program, const QString &port, const QString &dir, int records)
{
    QProcess fetch;
    QElapsedTimer clock;
    clock.start();
    fetch.start(program,
                {QStringLiteral("--port"), port, QStringLiteral("--baud"), QStringLiteral("115200"),
                 QStringLiteral("--db"), QDir(dir).filePath(QStringLiteral("fetch.db"))});
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
    stopBenchDevices();
    return window.stored == records && fetch.stored == records ? 0 : 1;
}
