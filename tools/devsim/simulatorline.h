// The simulator's end of the serial line: a new pseudo-terminal or a given serial
// device, on which requests are framed by line silence and answered in turn.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

class DeviceSimulator;

struct LineSettings {
    std::uint32_t baud = 9600;
    char parity = 'N';  // 'N', 'O' or 'E'
    int stopBits = 1;   // 1 or 2
};

struct ServeSettings {
    int delayMs = 0;            // added to the turnaround before each reply
    int appendEverySeconds = 0; // 0: the log does not grow
    bool verbose = false;       // requests and replies in hex on standard error
    // The device clock for appended records, in seconds since 2000.
    std::function<std::uint32_t()> deviceClock;
};

class SimulatorLine
{
public:
    SimulatorLine() = default;
    SimulatorLine(const SimulatorLine &) = delete;
    SimulatorLine &operator=(const SimulatorLine &) = delete;
    ~SimulatorLine();

    // Creates a pseudo-terminal in raw mode; `*path` is the side a client opens.
    // The line settings only set the silence that ends a request.
    bool openPseudoTerminal(const LineSettings &settings, std::string *path, std::string *error);
    // Opens a serial device with 8 data bits and the given rate, parity and stop
    // bits. On a pseudo-terminal, which has no line, only raw mode is set.
    bool openPort(const std::string &path, const LineSettings &settings, std::string *error);

    // Serves requests until `*stop` is set (from a signal handler). Returns 0, or 1
    // after a line error that cannot be waited out.
    int serve(DeviceSimulator &simulator, const ServeSettings &settings,
              const volatile std::sig_atomic_t *stop);

    // Milliseconds of silence that end a request: 3.5 character times, at least 2.
    int silenceMs() const { return silence; }

private:
    void setSilence(const LineSettings &settings);
    bool writeAll(const char *data, int length);

    int fd = -1;
    int heldPeer = -1; // our own descriptor of the pseudo-terminal's client side
    int silence = 2;
};
