// A fleet at the line's limit: one khronar-fetch --config run collects N gateways at
// once, each a khronar-devsim --line-timing on TCP (RTU frames) at 19200 baud, 8E1, with
// one device. For N = 16 and 64 (or the counts given): the aggregate records per
// second against N lines at their limit, the CPU time per record and the peak memory
// of khronar-fetch.
//
//   bench_fleet KHRONAR_DEVSIM KHRONAR_FETCH [RECORDS [LINES...]]
//
// A line's limit is what a perfect master reaches against its timed simulator (see
// bench_line); the fleet's is the sum of its lines' rates at their limits.

#include "bench/linetiming.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace LineTiming;

namespace {

constexpr unsigned Baud = 19200;

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_fleet KHRONAR_DEVSIM KHRONAR_FETCH [RECORDS [LINES...]]\n");
        return 2;
    }
    const std::string devsim = argv[1];
    const std::string fetch = argv[2];
    const int records = argc > 3 ? std::atoi(argv[3]) : 300;
    std::vector<int> fleets;
    for (int i = 4; i < argc; ++i)
        fleets.push_back(std::atoi(argv[i]));
    if (fleets.empty())
        fleets = {16, 64};
    const std::string folder = makeWorkFolder("bench_fleet");
    if (folder.empty())
        return std::perror("mkdtemp"), 1;
    const std::string json = folder + "/device.json";
    if (!writeDeviceLog(json, records))
        return std::fprintf(stderr, "cannot write %s\n", json.c_str()), 1;

    std::printf("khronar-fetch --config against N khronar-devsim --line-timing --tcp at %u baud, 8E1, "
                "%d records a line\n",
                Baud, records);
    std::printf("a line's limit = sum over its exchanges of (request + reply bytes) * %d / baud + 2 * t3.5\n\n",
                CharacterBits);
    std::printf("%6s %9s %10s %12s %7s %12s %9s %12s\n", "lines", "seconds", "records/s", "N x limit/s", "ratio",
                "CPU/record", "CPU share", "peak memory");
    bool ok = true;
    for (const int lines : fleets) {
        const std::string base = folder + "/fleet" + std::to_string(lines);
        std::vector<std::unique_ptr<Simulator>> gateways;
        std::ofstream ini(base + ".ini");
        ini << "[store]\ndb=" << base << "-{device}.db\n";
        for (int n = 0; n < lines; ++n) {
            gateways.push_back(std::make_unique<Simulator>());
            if (!gateways.back()->start(devsim,
                                        {"--tcp", "0", "--line-timing", "--baud", std::to_string(Baud), "--parity",
                                         "even", "--log", json, "--verbose"},
                                        base + "-" + std::to_string(n) + ".trace"))
                return std::fprintf(stderr, "khronar-devsim did not start\n"), 1;
            ini << "[gateway-" << n << "]\nport=" << gateways.back()->port << "\nbaud=" << Baud
                << "\nparity=even\ndevices=1=device-" << n << "\n";
        }
        ini.close();
        const FetchRun run = runFetch(fetch, {"--config", base + ".ini", "--quiet"}, base + ".fetch.log");
        for (auto &gateway : gateways)
            gateway->stop();
        if (!run.ok) {
            std::fprintf(stderr, "khronar-fetch ended with %d for %d lines; see %s.fetch.log\n", run.exitCode, lines,
                         base.c_str());
            ok = false;
            continue;
        }
        // Every line at its own limit, all at once.
        double limitRate = 0;
        long exchanges = 0;
        for (int n = 0; n < lines; ++n) {
            const Exchanges line = readTrace(base + "-" + std::to_string(n) + ".trace");
            exchanges += line.count;
            limitRate += records / limitSeconds(line, Baud);
        }
        const double total = double(records) * lines;
        const double rate = total / run.wallSeconds;
        std::printf("%6d %9.2f %10.1f %12.1f %7.3f %9.0f us %8.1f%% %9.1f MB\n", lines, run.wallSeconds, rate,
                    limitRate, rate / limitRate, run.cpuSeconds / total * 1e6, 100 * run.cpuSeconds / run.wallSeconds,
                    run.peakKilobytes / 1024.0);
        std::printf("%17s %ld exchanges in all\n", "", exchanges);
        std::fflush(stdout);
    }
    std::printf("\nfiles in %s\n", folder.c_str());
    return ok ? 0 : 1;
}
