// The pieces the line benchmarks share.

#include "bench/linetiming.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace LineTiming {

namespace {

using Clock = std::chrono::steady_clock;

int hexBytes(const std::string &line)
{
    std::istringstream fields(line.substr(2));
    std::string field;
    int bytes = 0;
    while (fields >> field && field.size() == 2 && std::isxdigit(static_cast<unsigned char>(field[0])))
        ++bytes;
    return bytes;
}

// In a forked child: becomes `program` with `arguments`, or ends with 127.
[[noreturn]] void runProgram(const std::string &program, const std::vector<std::string> &arguments)
{
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

} // namespace

bool writeDeviceLog(const std::string &path, int records)
{
    std::ofstream json(path);
    json << R"({"captions": [)"
         << R"({"event": 1, "text": "Канал #u: #`Норма``Авария`e, температура #+3.1I °C, код #4X, время #d"},)"
         << R"({"event": 2, "text": "Давление #2.2U бар"}], "records": [)";
    for (int i = 0; i < records; ++i) {
        json << (i == 0 ? "" : ",")
             << (i % 2 ? R"({"event": 1, "type": 2, "time": 763825530, "data": "02 01 FA 00 AB 00 7A 0D 87 2D"})"
                       : R"({"event": 2, "type": 1, "time": 763825531, "data": "D2 04"})");
    }
    json << "]}\n";
    return bool(json.flush());
}

bool Simulator::start(const std::string &devsim, const std::vector<std::string> &arguments,
                      const std::string &tracePath)
{
    int output[2];
    if (pipe(output) != 0)
        return false;
    pid = fork();
    if (pid == 0) {
        const int trace = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (trace < 0 || dup2(trace, STDERR_FILENO) < 0 || dup2(output[1], STDOUT_FILENO) < 0)
            _exit(126);
        runProgram(devsim, arguments);
    }
    close(output[1]);
    char c;
    while (read(output[0], &c, 1) == 1 && c != '\n')
        port += c;
    close(output[0]);
    return pid > 0 && !port.empty();
}

void Simulator::stop()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

double seconds(const timeval &time)
{
    return double(time.tv_sec) + double(time.tv_usec) / 1e6;
}

FetchRun runFetch(const std::string &fetch, const std::vector<std::string> &arguments, const std::string &logPath)
{
    FetchRun run;
    const auto started = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log < 0 || dup2(log, STDOUT_FILENO) < 0 || dup2(log, STDERR_FILENO) < 0)
            _exit(126);
        runProgram(fetch, arguments);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return run;
    run.wallSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.peakKilobytes = usage.ru_maxrss;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.ok = run.exitCode == 0;
    return run;
}

Exchanges readTrace(const std::string &path)
{
    Exchanges exchanges;
    std::ifstream trace(path);
    std::string line;
    int request = 0;
    while (std::getline(trace, line)) {
        if (line.compare(0, 3, "<- ") == 0) {
            request = hexBytes(line);
        } else if (line.compare(0, 3, "-> ") == 0 && request > 0) {
            ++exchanges.count;
            exchanges.requestBytes += request;
            exchanges.replyBytes += hexBytes(line);
            request = 0;
        }
    }
    return exchanges;
}

double silenceSeconds(unsigned baud)
{
    const double silence = 3.5 * CharacterBits / baud;
    return baud > 19200 && silence < 0.00175 ? 0.00175 : silence;
}

double limitSeconds(const Exchanges &exchanges, unsigned baud)
{
    return double(exchanges.requestBytes + exchanges.replyBytes) * CharacterBits / baud
        + 2 * exchanges.count * silenceSeconds(baud);
}

std::string makeWorkFolder(const std::string &name)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + name + "-XXXXXX";
    const char *made = mkdtemp(&pattern[0]);
    return made != nullptr ? std::string(made) : std::string();
}

} // namespace LineTiming
