// Arbitrary line rates through termios2 and BOTHER. <asm/termbits.h> redefines
// struct termios, so this file must not see <termios.h>.

#include "link/serialportrate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool setSerialPortRate(int fd, std::uint32_t baudRate)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    // Input rate bits left 0: input runs at the output rate.
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER;
    tio.c_ospeed = baudRate;
    tio.c_ispeed = baudRate;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

std::uint32_t serialPortRate(int fd)
{
    struct termios2 tio;
    if (ioctl(fd, TCGETS2, &tio) != 0)
        return 0;
    return tio.c_ospeed;
}
