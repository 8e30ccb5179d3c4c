// The device's clock: an unsigned 32-bit count of seconds since 2000-01-01 00:00:00,
// without a time zone, in every record and in the caption language's dates.
#pragma once

#include <cstdint>

// 2000-01-01 00:00:00 in Unix seconds: a device time plus this is what a log file
// stores, and read with SQLite's 'unixepoch' it gives the device's wall-clock time.
constexpr std::int64_t DeviceEpochUnixSeconds = 946684800;
