// CRC-16/MODBUS, shared by the master and anything else that speaks RTU frames.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF, no final XOR) of `length`
// bytes. A frame goes out with the result appended low byte first; a received frame
// is intact when the CRC over all its bytes, its own CRC included, is 0.
std::uint16_t modbusCrc(const std::uint8_t *data, std::size_t length);
