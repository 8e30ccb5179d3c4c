// Times a whole download through the window: the device simulator on a
// pseudo-terminal with N records, the tool connecting at 115200 baud into a new
// log file, until the last record is stored. Prints records per second.
//
//   bench_download KHRONAR_DEVSIM [N]

#include "bench/downloadtiming.h"

#include <QApplication>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_download KHRONAR_DEVSIM [N]\n");
        return 2;
    }
    const int records = argc > 2 ? std::atoi(argv[2]) : 2000;
    QTemporaryDir dir;
    const QString json = writeBenchDeviceLog(dir.path(), records);

    const QString port = startBenchDevice(QString::fromLocal8Bit(argv[1]), json);
    const DownloadTiming window = timeWindowDownload(port, dir.path(), records);
    std::printf("records stored: %d of %d\n", window.stored, records);
    std::printf("connect to last record: %.1f s, %.2f records/s\n", window.seconds, window.recordsPerSecond());
    std::printf("first to last record: %.1f s, %.2f records/s (the poll cycle's ceiling is 10)\n", window.recordSeconds,
                (window.stored - 1) / window.recordSeconds);
    stopBenchDevices();
    return window.stored == records ? 0 : 1;
}
