// Line rates through the kernel's arbitrary-rate interface, which also sets rates
// without a termios constant (14400, 28800). Linux only.
#pragma once

#include <cstdint>

// Sets input and output rate of the terminal `fd`. False when the kernel refuses.
bool setSerialPortRate(int fd, std::uint32_t baudRate);

// The output rate the driver actually runs `fd` at, or 0 when it cannot be read.
std::uint32_t serialPortRate(int fd);
