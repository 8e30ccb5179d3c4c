// The simulator's end of the serial line: a new pseudo-terminal or a given serial
// device, on which requests are framed by line silence and answered in turn by the
// devices of the bus.
#pragma once

#include "tools/devsim/simulatorsession.h"

#include <csignal>
#include <string>

class DeviceBus;
class DeviceSimulator;

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

    // Serves the bus's devices until `*stop` is set (from a signal handler). Returns
    // 0, or 1 after a line error that cannot be waited out.
    int serve(DeviceBus &bus, const ServeSettings &settings, const volatile std::sig_atomic_t *stop);
    // The same for one device of the caller's.
    int serve(DeviceSimulator &simulator, const ServeSettings &settings, const volatile std::sig_atomic_t *stop);

    // Milliseconds of silence that end a request: 3.5 character times, at least 2.
    int silenceMs() const { return silence; }

private:
    int fd = -1;
    int heldPeer = -1; // our own descriptor of the pseudo-terminal's client side
    int silence = 2;
};
