// Where khronar-fetch keeps a device's log: a log file, or the device's rows in a
// central database, as --db and --device (or a fleet's [store]) say.
#pragma once

#include "fetch/fetchoptions.h"
#include "logaccess/openlog.h"

#include <cstdint>

// Where --db and --device put the device at `address` of a command line.
LogLocation logLocationFor(const FetchOptions &options, std::uint8_t address);

// The settings khronar-fetch opens a log with: its sessions named "khronar-fetch", a
// device's lock waited for at most `lockWaitSeconds`, and the wait ended by `cancelled`.
OpenLogSettings fetchLogSettings(int lockWaitSeconds, const std::function<bool()> &cancelled);
