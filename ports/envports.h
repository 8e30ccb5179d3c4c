// Serial devices named by the user in the environment, for ports that the system's
// port listing does not show (pseudo-terminals, virtual ports).
#pragma once

#include <string>
#include <vector>

// Device paths of a ':'-separated list, in order, empty entries skipped.
// A null list gives none.
std::vector<std::string> splitPortPaths(const char *list);

// The paths of the environment variable KHRONAR_PORTS where the port listing
// leaves out pseudo-terminals (POSIX systems); none elsewhere or when unset.
std::vector<std::string> environmentPortPaths();
