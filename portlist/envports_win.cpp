// Windows lists every serial port, virtual ones included: only network ports are
// taken from KHRONAR_PORTS.

#include "portlist/envports.h"

#include "link/porttcp.h"

#include <cstdlib>
#include <utility>

std::vector<std::string> environmentPortPaths()
{
    std::vector<std::string> ports;
    for (std::string &entry : splitPortPaths(std::getenv("KHRONAR_PORTS"))) {
        if (portTransportOf(entry) != PortTransport::Serial)
            ports.push_back(std::move(entry));
    }
    return ports;
}
