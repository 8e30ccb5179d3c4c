// The port listing of POSIX systems does not show pseudo-terminals: the user names
// them in KHRONAR_PORTS.

#include "portlist/envports.h"

#include <cstdlib>

std::vector<std::string> environmentPortPaths()
{
    return splitPortPaths(std::getenv("KHRONAR_PORTS"));
}
