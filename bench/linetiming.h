// What the line benchmarks share: device logs to serve, khronar-devsim with
// --line-timing started and stopped, khronar-fetch run to its end with its CPU time
// and peak memory, and the line's limit read from the simulator's trace.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace LineTiming {

// Bits of one character on the line: start, 8 data, even parity, stop.
constexpr int CharacterBits = 11;

// A log of `records` records over two captions, whose data vary in length as a
// device's do (2 and 10 bytes).
bool writeDeviceLog(const std::string &path, int records);

struct Simulator {
    pid_t pid = -1;
    std::string port;

    // Starts `devsim` with `arguments`, its trace going to `tracePath`; `port` is the
    // pseudo-terminal or URL it prints first.
    bool start(const std::string &devsim, const std::vector<std::string> &arguments, const std::string &tracePath);
    void stop();
    ~Simulator() { stop(); }
};

struct FetchRun {
    bool ok = false;
    int exitCode = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    long peakKilobytes = 0;
};

// Runs khronar-fetch to the end, its output into `logPath`; its CPU time and peak
// resident memory are the child's own, from wait4.
FetchRun runFetch(const std::string &fetch, const std::vector<std::string> &arguments, const std::string &logPath);

// The exchanges of a simulator's trace: each request ("<- 01 42 ...") and the reply
// that follows it ("-> 01 42 ..."), as their byte counts.
struct Exchanges {
    int count = 0;
    long requestBytes = 0;
    long replyBytes = 0;
};
Exchanges readTrace(const std::string &path);

// 3.5 characters at `baud`, at least 1.75 ms above 19200 baud.
double silenceSeconds(unsigned baud);
// What a perfect master takes for `exchanges` at `baud`: every request and reply on the
// wire, and two silences an exchange.
double limitSeconds(const Exchanges &exchanges, unsigned baud);

// A new folder below TMPDIR (or /tmp) named after `name`; empty when it cannot be made.
std::string makeWorkFolder(const std::string &name);

double seconds(const struct timeval &time);

} // namespace LineTiming
