// The simulator as a TCP server: the bus's devices answer RTU frames (raw mode) or
// Modbus TCP requests (MBAP mode) on one connection after another.
#pragma once

#include "tools/devsim/simulatorsession.h"

#include <csignal>
#include <cstdint>
#include <string>

class DeviceBus;

class SimulatorTcp
{
public:
    SimulatorTcp() = default;
    SimulatorTcp(const SimulatorTcp &) = delete;
    SimulatorTcp &operator=(const SimulatorTcp &) = delete;
    ~SimulatorTcp();

    // Listens on `host` (a numeric IPv4 or IPv6 address, without brackets, or a name)
    // at `port`; port 0 takes a free one. The line settings only set the silence that
    // ends a request in RTU framing.
    bool listen(const std::string &host, std::uint16_t port, const LineSettings &settings, std::string *error);
    // Where clients connect: "127.0.0.1:5020", "[::1]:5020".
    std::string address() const;

    // Serves one connection at a time until `*stop` is set (from a signal handler);
    // a client that connects meanwhile waits in the backlog for its turn. Returns 0,
    // or 1 after an error of the listening socket.
    int serve(DeviceBus &bus, const ServeSettings &settings, const volatile std::sig_atomic_t *stop);

private:
    int listener = -1;
    int silence = 2;
};
