// Windows lists every serial port, virtual ones included: nothing to add.

#include "ports/envports.h"

std::vector<std::string> environmentPortPaths()
{
    return {};
}
