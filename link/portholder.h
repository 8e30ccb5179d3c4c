// Who holds a port that another program has open.
#pragma once

#include <string>

// "minicom (PID 1234)" for the first process found with the device at `devicePath`
// open, as /proc shows it (its name and PID); empty when none is found or /proc
// does not tell (another user's processes, where we may not look). Linux only.
std::string portHolder(const std::string &devicePath);
