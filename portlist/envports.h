// Ports named by the user in the environment, for ports that the system's port
// listing does not show (pseudo-terminals, virtual ports, network gateways).
#pragma once

#include <string>
#include <vector>

// The entries of a ':'-separated list, in order, empty entries skipped. An entry
// that starts with "tcp://" or "mbtcp://" keeps the colons of its HOST:PORT (and of
// a bracketed IPv6 literal) and ends at the first colon after the port. A null
// list gives none.
std::vector<std::string> splitPortPaths(const char *list);

// The entries of the environment variable KHRONAR_PORTS: all of them where the
// port listing leaves out pseudo-terminals (POSIX systems), the network ports
// alone elsewhere; none when unset.
std::vector<std::string> environmentPortPaths();
