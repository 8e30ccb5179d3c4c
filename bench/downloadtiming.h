// Whole downloads against the device simulator, timed: the simulated device's log, and
// a download of it through the window, for the download benchmarks.
#pragma once

#include <QByteArray>
#include <QString>

// Writes a device log of `records` records over two captions, as JSON for the
// simulator, into `dir`; returns the file's path.
QString writeBenchDeviceLog(const QString &dir, int records);

// Starts the simulator `devsim` at 115200 baud with the log in `jsonPath` and returns
// its pseudo-terminal, empty when it did not start. It runs until stopBenchDevices.
QString startBenchDevice(const QString &devsim, const QString &jsonPath);
// Ends every simulator startBenchDevice started.
void stopBenchDevices();

struct DownloadTiming {
    int stored = 0;
    double seconds = 0;       // from connect (or start) to the last record stored
    double recordSeconds = 0; // from the first record stored to the last
    double recordsPerSecond() const { return seconds > 0 ? stored / seconds : 0; }
};

// Connects the window at 115200 baud to `port` into a new log file in `dir`, and
// waits until `records` records are stored (at most an hour).
DownloadTiming timeWindowDownload(const QString &port, const QString &dir, int records);
