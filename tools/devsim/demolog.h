// The built-in demo content: a device with a score of events whose captions use every
// kind of field of the caption language, and a log of a few hundred records.
#pragma once

#include "tools/devsim/devicelog.h"

#include <cstdint>

// The demo device with `recordCount` records (a few take two positions, and a few
// empty positions lie between them), the newest at `endTime` (device seconds), the
// oldest weeks earlier. The log starts at index 0; move it with DeviceLog::moveTo.
// The same arguments always give the same log. Devices at other addresses share the
// captions and the places of the empty positions, but draw their own events, data
// and times, so that two devices on one bus never fill identical log files.
DeviceLog makeDemoLog(int recordCount, std::uint32_t endTime, std::uint8_t address = 1);

// The n-th demo record of the device at `address`; its time is left 0. Used for the
// records appended live.
DeviceLog::Record demoRecord(std::uint32_t n, std::uint8_t address = 1);
