// Line parameters offered by the port settings dialog and accepted by the command
// line, as the serial terminal takes them: each table is indexed by the current index
// of the matching combo box.
#pragma once

#include <cstdint>

// Item order of `baudrate`.
inline constexpr std::uint32_t BaudRates[11] = {
    1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 57600, 115200, 230400,
};

// Item order of `parity`: none, odd, even.
inline constexpr std::uint8_t ParityCodes[3] = {0, 1, 2};

// Item order of `stopBits`: one, one and a half, two.
inline constexpr std::uint8_t StopBitsCodes[3] = {0, 1, 2};
