// CRC-16/MODBUS, bit by bit.

#include "protocol/modbuscrc.h"

std::uint16_t modbusCrc(const std::uint8_t *data, std::size_t length)
{
    // Bit by bit rather than from a table: frames are short and the line is slow.
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}
