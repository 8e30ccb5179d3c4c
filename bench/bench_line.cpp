// One line at its limit: khronar-fetch downloads a log from khronar-devsim
// --line-timing on a pseudo-terminal at 9600, 19200 and 115200 baud, 8E1. For each
// rate: records per second, the line's limit, their ratio, and the CPU time
// khronar-fetch spent per record.
//
//   bench_line KHRONAR_DEVSIM KHRONAR_FETCH [RECORDS_9600 RECORDS_19200 RECORDS_115200]
//
// The same records are read by a plain master loop in this process (the reference):
// it ends each reply after exactly 3.5 characters of silence and sends the next
// request at once, so it shows what this machine allows besides the line.
//
// The limit is what a perfect master reaches against the timed simulator: every
// exchange takes its request and its reply on the wire plus two silences of 3.5
// characters (at least 1.75 ms above 19200 baud), one ending the request, one the
// reply. It is summed over the exchanges of the run, as the simulator's trace lists
// them with their bytes; a character is 11 bits (start, 8 data, even parity, stop).

#include <cctype>
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/linetiming.h"
#include "link/comhalfduplexterminal.h"
#include "protocol/modbuscrc.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

using namespace LineTiming;

struct Rate {
    unsigned baud;
    int records;
};

// The request for the record at `index` of device 1, with its CRC.
constexpr std::size_t RecordRequestLength = 9;
void recordRequest(std::uint32_t index, std::uint8_t *request)
{
    const std::uint8_t head[] = {1,
                                 0x42,
                                 0x03,
                                 std::uint8_t(index),
                                 std::uint8_t(index >> 8),
                                 std::uint8_t(index >> 16),
                                 std::uint8_t(index >> 24)};
    std::memcpy(request, head, sizeof head);
    const std::uint16_t crc = modbusCrc(request, sizeof head);
    request[7] = std::uint8_t(crc & 0xFF);
    request[8] = std::uint8_t(crc >> 8);
}

// The reference: a plain master loop that reads `records` records one after the
// other, ends each reply after exactly 3.5 characters of silence on the clock, and
// sends the next request at once. Its time, or 0 when the device stopped answering.
double referenceMaster(const std::string &port, unsigned baud, int records)
{
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    const auto silence = std::chrono::nanoseconds(std::int64_t(silenceSeconds(baud) * 1e9));
    const auto started = Clock::now();
    bool answered = true;
    for (std::uint32_t index = 0; answered && index < std::uint32_t(records); ++index) {
        std::uint8_t request[RecordRequestLength];
        recordRequest(index, request);
        if (write(fd, request, sizeof request) != ssize_t(sizeof request))
            break;
        Clock::time_point lastByte;
        bool anything = false;
        for (;;) {
            // A second for the first byte, then what is left of the silence.
            auto wait = std::chrono::nanoseconds(std::chrono::seconds(1));
            if (anything)
                wait = std::max(std::chrono::nanoseconds(0), silence - (Clock::now() - lastByte));
            const timespec limit{time_t(wait.count() / 1000000000), long(wait.count() % 1000000000)};
            pollfd in{fd, POLLIN, 0};
            if (ppoll(&in, 1, &limit, nullptr) <= 0) {
                if (!anything || Clock::now() - lastByte >= silence)
                    break;
                continue;
            }
            std::uint8_t reply[512];
            if (read(fd, reply, sizeof reply) > 0) {
                lastByte = Clock::now();
                anything = true;
            }
        }
        answered = anything;
    }
    close(fd);
    return answered ? std::chrono::duration<double>(Clock::now() - started).count() : 0;
}

// The serial layer alone as khronar-fetch drives it: a terminal framing by silence,
// a loop that waits for each frame and commits the next request at once. What it
// loses against the plain loop is the terminal's; what khronar-fetch loses beyond it
// is the download's own work (the transfer, the log file).
double terminalMaster(const std::string &port, unsigned baud, int records)
{
    std::uint8_t storage[256];
    ComHalfDuplexTerminal terminal(storage, sizeof storage, ComHalfDuplexTerminal::LineSilence{});
    if (!terminal.open(port, baud, 2, 0))
        return 0;
    const auto started = Clock::now();
    for (std::uint32_t index = 0; index < std::uint32_t(records); ++index) {
        std::uint8_t request[RecordRequestLength];
        recordRequest(index, request);
        if (!terminal.sendRequest(request, sizeof request) || !terminal.waitForFrame(std::chrono::seconds(1)))
            return 0;
        terminal.releaseFrame();
    }
    return std::chrono::duration<double>(Clock::now() - started).count();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 6) {
        std::fprintf(stderr,
                     "usage: bench_line KHRONAR_DEVSIM KHRONAR_FETCH [RECORDS_9600 RECORDS_19200 RECORDS_115200]\n");
        return 2;
    }
    const std::string devsim = argv[1];
    const std::string fetch = argv[2];
    std::vector<Rate> rates = {{9600, 1500}, {19200, 3000}, {115200, 6000}};
    if (argc == 6) {
        for (int i = 0; i < 3; ++i)
            rates[std::size_t(i)].records = std::atoi(argv[3 + i]);
    }
    // The log files go where TMPDIR says, /tmp otherwise.
    const std::string folder = makeWorkFolder("bench_line");
    if (folder.empty())
        return std::perror("mkdtemp"), 1;
    const char *dir = folder.c_str();

    std::printf("khronar-fetch against khronar-devsim --line-timing on a pseudo-terminal, 8E1 (%d bits a character)\n",
                CharacterBits);
    std::printf("limit = sum over exchanges of (request + reply bytes) * %d / baud + 2 * t3.5,\n"
                "        t3.5 = 3.5 characters, at least 1.75 ms above 19200 baud\n\n",
                CharacterBits);
    std::printf("%7s %-14s %7s %9s %10s %10s %7s %12s %9s\n", "baud", "master", "records", "seconds", "records/s",
                "limit/s", "ratio", "CPU/record", "CPU share");
    bool ok = true;
    for (const Rate &rate : rates) {
        const std::string base = std::string(dir) + "/" + std::to_string(rate.baud);
        const std::string json = base + ".json";
        if (!writeDeviceLog(json, rate.records))
            return std::fprintf(stderr, "cannot write %s\n", json.c_str()), 1;
        const std::string baud = std::to_string(rate.baud);
        const std::vector<std::string> device = {"--line-timing", "--baud", baud, "--parity",
                                                 "even",          "--log",  json, "--verbose"};

        // khronar-fetch, the whole program: start, captions, records, commits.
        Simulator simulator;
        if (!simulator.start(devsim, device, base + ".trace"))
            return std::fprintf(stderr, "khronar-devsim did not start\n"), 1;
        const FetchRun run = runFetch(
            fetch, {"--port", simulator.port, "--baud", baud, "--parity", "even", "--db", base + ".db", "--quiet"},
            base + ".fetch.log");
        simulator.stop();
        if (!run.ok) {
            std::fprintf(stderr, "khronar-fetch failed at %u baud; see %s.fetch.log\n", rate.baud, base.c_str());
            ok = false;
            continue;
        }

        // The two loops in this process, each against a simulator of its own; their CPU
        // time is the whole process's (the terminal reads on a thread of its own).
        const auto runHere = [&](const std::string &trace, double (*master)(const std::string &, unsigned, int),
                                 double *cpu) {
            Simulator simulator;
            if (!simulator.start(devsim, device, trace))
                return -2.0;
            rusage before{}, after{};
            getrusage(RUSAGE_SELF, &before);
            const double wall = master(simulator.port, rate.baud, rate.records);
            getrusage(RUSAGE_SELF, &after);
            simulator.stop();
            *cpu = seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime)
                - seconds(before.ru_stime);
            return wall;
        };
        double referenceCpu = 0, terminalCpu = 0;
        const double referenceSeconds = runHere(base + ".reference.trace", referenceMaster, &referenceCpu);
        const double terminalSeconds = runHere(base + ".terminal.trace", terminalMaster, &terminalCpu);
        if (referenceSeconds == -2.0 || terminalSeconds == -2.0)
            return std::fprintf(stderr, "khronar-devsim did not start\n"), 1;

        const auto report = [&rate](const char *master, const std::string &trace, double wall, double cpu) {
            const Exchanges exchanges = readTrace(trace);
            const double limit = limitSeconds(exchanges, rate.baud);
            std::printf("%7u %-14s %7d %9.2f %10.1f %10.1f %7.3f %9.0f us %8.1f%%\n", rate.baud, master, rate.records,
                        wall, rate.records / wall, rate.records / limit, limit / wall, cpu / rate.records * 1e6,
                        100 * cpu / wall);
            std::printf("%22s %d exchanges, %ld request and %ld reply bytes: %.2f s on the line\n", "", exchanges.count,
                        exchanges.requestBytes, exchanges.replyBytes, limit);
        };
        report("khronar-fetch", base + ".trace", run.wallSeconds, run.cpuSeconds);
        if (referenceSeconds > 0)
            report("plain loop", base + ".reference.trace", referenceSeconds, referenceCpu);
        else
            std::printf("%7u %-14s the device stopped answering\n", rate.baud, "plain loop");
        if (terminalSeconds > 0)
            report("terminal loop", base + ".terminal.trace", terminalSeconds, terminalCpu);
        else
            std::printf("%7u %-14s the device stopped answering\n", rate.baud, "terminal loop");
        std::fflush(stdout);
    }
    std::printf("\nfiles in %s\n", dir);
    return ok ? 0 : 1;
}
