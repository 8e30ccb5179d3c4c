// Whole downloads against the device simulator, timed: the simulated device's log, and
// a download of it through the window, for the download benchmarks.
#pragma once

#include <QByteArray>
#include <QString>

// Writes a device log of `records` records over two captions, as JSON for the
// simulator, into `dir`; returns the file's path.
QString writeBenchDeviceLog(const QString &dir, int records);

// Starts the simulator `devsim` at `baud` with the log in `jsonPath` and returns its
// pseudo-terminal, empty when it did not start. With `lineTiming`, its replies take the
// time they would take on a wire at that rate. It runs until stopBenchDevices.
QString startBenchDevice(const QString &devsim, const QString &jsonPath, int baud = 115200, bool lineTiming = false);
// Ends every simulator startBenchDevice started.
void stopBenchDevices();

struct DownloadTiming {
    int stored = 0;
    double seconds = 0;       // from connect (or start) to the last record stored
    double recordSeconds = 0; // from the first record stored to the last
    double recordsPerSecond() const { return seconds > 0 ? stored / seconds : 0; }
};

// Connects the window at `baud` to `port` into a new log file in `dir`, at the line's
// pace when `linePace`, and waits until `records` records are stored (at most an hour).
// With `traffic`, the traffic monitor is open throughout.
DownloadTiming timeWindowDownload(const QString &port, const QString &dir, int records, int baud = 115200,
                                  bool linePace = false, bool traffic = false);
