// The serial port layer on Linux: termios in raw mode with the kernel's arbitrary
// rates (termios2), exclusive access by flock and TIOCEXCL, the driver's low-latency
// mode where it has one, reads bounded by ppoll to the microsecond.

#include "link/portholder.h"
#include "link/portwake.h"
#include "link/serialport.h"
#include "link/serialportrate.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// Unix98 pseudo-terminal slaves, and the old BSD ones.
constexpr unsigned PtySlaveFirstMajor = 136;
constexpr unsigned PtySlaveLastMajor = 143;
constexpr unsigned BsdPtySlaveMajor = 3;

// A driver may round a rate it cannot make exactly; more than this and the line
// would not work, so the rate counts as refused.
constexpr std::uint32_t RateTolerancePercent = 3;

bool isPseudoTerminal(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    const unsigned deviceMajor = major(info.st_rdev);
    return (deviceMajor >= PtySlaveFirstMajor && deviceMajor <= PtySlaveLastMajor) || deviceMajor == BsdPtySlaveMajor;
}

// tcsetattr succeeds when any part of the change took, so each step is read back and
// compared on the bits it is about.
struct TermiosBits {
    tcflag_t iflag;
    tcflag_t oflag;
    tcflag_t cflag;
    tcflag_t lflag;
};

bool sameBits(const termios &a, const termios &b, const TermiosBits &mask)
{
    return (a.c_iflag & mask.iflag) == (b.c_iflag & mask.iflag) && (a.c_oflag & mask.oflag) == (b.c_oflag & mask.oflag)
        && (a.c_cflag & mask.cflag) == (b.c_cflag & mask.cflag) && (a.c_lflag & mask.lflag) == (b.c_lflag & mask.lflag);
}

bool applyTermios(int fd, const termios &wanted, const TermiosBits &mask)
{
    if (tcsetattr(fd, TCSANOW, &wanted) != 0)
        return false;
    termios actual;
    return tcgetattr(fd, &actual) == 0 && sameBits(actual, wanted, mask);
}

// Applies one line setting on top of `current`. A pseudo-terminal has no line, and
// its driver refuses some settings (parity) that mean nothing there; simulated
// devices run on them, so there, and only there, a refused setting is skipped.
bool applyLineSetting(int fd, termios &current, const termios &wanted, const TermiosBits &mask, bool pseudoTerminal)
{
    if (applyTermios(fd, wanted, mask)) {
        current = wanted;
        return true;
    }
    if (!pseudoTerminal)
        return false;
    return tcsetattr(fd, TCSANOW, &current) == 0;
}

bool rateMatches(std::uint32_t actual, std::uint32_t wanted)
{
    const std::uint64_t difference = actual > wanted ? actual - wanted : wanted - actual;
    return difference * 100 <= std::uint64_t(wanted) * RateTolerancePercent;
}

bool configureLine(int fd, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits, bool pseudoTerminal)
{
    termios current;
    if (tcgetattr(fd, &current) != 0)
        return false;

    termios raw = current;
    cfmakeraw(&raw);
    raw.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    raw.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    raw.c_cflag |= CS8 | CLOCAL | CREAD;
    // Reads never block: poll() does the waiting.
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    const TermiosBits rawBits{IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP, OPOST,
                              CSIZE | CLOCAL | CREAD | CRTSCTS, ICANON | ECHO | ISIG | IEXTEN};
    if (!applyTermios(fd, raw, rawBits))
        return false;
    current = raw;

    termios stop = current;
    if (stopBits == 2)
        stop.c_cflag |= CSTOPB;
    if (!applyLineSetting(fd, current, stop, TermiosBits{0, 0, CSTOPB, 0}, pseudoTerminal))
        return false;

    termios withParity = current;
    if (parity == 1)
        withParity.c_cflag |= PARENB | PARODD;
    else if (parity == 2)
        withParity.c_cflag |= PARENB;
    if (!applyLineSetting(fd, current, withParity, TermiosBits{0, 0, PARENB | PARODD, 0}, pseudoTerminal))
        return false;

    // Last: a later tcsetattr would put the rate back to what its termios says.
    if (setSerialPortRate(fd, baudRate) && rateMatches(serialPortRate(fd), baudRate))
        return true;
    return pseudoTerminal;
}

std::string devicePath(const char *portName)
{
    // The port list names devices as "ttyUSB0"; a full path is taken as it is.
    if (portName[0] == '/')
        return portName;
    return std::string("/dev/") + portName;
}

PortFailure openFailure(int code)
{
    switch (code) {
    case EACCES:
    case EPERM:
        return PortFailure::NoPermission;
    case EBUSY:
    case EWOULDBLOCK:
        return PortFailure::Busy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        return PortFailure::NoSuchPort;
    case ENOTTY:
        return PortFailure::NotSerialPort;
    default:
        return PortFailure::Other;
    }
}

// Errors after which the descriptor never works again: the device was unplugged or
// the other side of a pseudo-terminal closed.
bool portGone(int code)
{
    return code == EIO || code == ENXIO || code == ENODEV || code == EBADF || code == ENOENT || code == EPIPE;
}

int ioFailure(int code, PortError *error)
{
    const bool gone = portGone(code);
    setPortError(error, gone ? PortFailure::PortLost : PortFailure::Other, code);
    return gone ? PortIoLost : PortIoFailed;
}

// Asks a USB adapter's driver to hand over each byte at once instead of after its
// latency timer (16 ms on FTDI chips), which would stretch every frame gap. Drivers
// that have no such setting (pseudo-terminals) refuse the request; the port works as
// before.
void requestLowLatency(int fd)
{
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0)
        return;
    info.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &info);
}

void purgePort(PortHandle port)
{
    tcflush(static_cast<int>(port), TCIOFLUSH);
}

// Closes a port that could not be set up; for a busy one, finds who holds it once our
// own descriptor is gone from /proc.
PortHandle refuse(int fd, const std::string &path, PortFailure cause, int code, PortError *error)
{
    if (fd >= 0)
        ::close(fd);
    setPortError(error, cause, code);
    if (cause == PortFailure::Busy && error != nullptr)
        error->detail = portHolder(path);
    return InvalidPortHandle;
}

PortHandle openPort(const char *portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits,
                    std::uint32_t /*tickMs*/, const PortWake * /*cancel*/, PortError *error)
{
    if (portName == nullptr || portName[0] == '\0')
        return refuse(-1, std::string(), PortFailure::NoSuchPort, 0, error);
    // One and a half stop bits do not go with 8 data bits; Windows refuses them too.
    if (baudRate == 0 || parity > 2 || (stopBits != 0 && stopBits != 2))
        return refuse(-1, std::string(), PortFailure::LineSettingsRefused, 0, error);

    // Non-blocking, so that the open does not wait for carrier on a modem line. Not
    // cancellable, and it need not be: a local device answers at once.
    const std::string path = devicePath(portName);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse(-1, path, openFailure(errno), errno, error);
    if (!isatty(fd))
        return refuse(fd, path, PortFailure::NotSerialPort, ENOTTY, error);

    // Exclusive, as a Win32 share mode 0. flock keeps out every program that honours
    // it (another Khronar, root's too) and goes with the process however it ends.
    // TIOCEXCL keeps out every other open by an ordinary user, but it marks the
    // terminal, not the process: a clean close clears it, a killed process does not.
    // A real line is reset on its last close, so the mark goes with the tool anyway;
    // a pseudo-terminal keeps it for as long as its other side (the simulator) stays
    // open, and would then refuse every later open. There the lock alone guards.
    const bool pseudoTerminal = isPseudoTerminal(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return refuse(fd, path, openFailure(errno), errno, error);
    const bool exclusive = !pseudoTerminal;
    if (exclusive && ioctl(fd, TIOCEXCL) != 0)
        return refuse(fd, path, PortFailure::Other, errno, error);
    const int flags = fcntl(fd, F_GETFL);
    bool ok = flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
    int code = ok ? 0 : errno;
    PortFailure cause = PortFailure::Other;
    // A setting that does not take without a failing call leaves no code of its own.
    errno = 0;
    if (ok && !configureLine(fd, baudRate, parity, stopBits, pseudoTerminal)) {
        ok = false;
        code = errno;
        cause = PortFailure::LineSettingsRefused;
    }
    if (!ok) {
        if (exclusive)
            ioctl(fd, TIOCNXCL);
        return refuse(fd, path, cause, code, error);
    }
    requestLowLatency(fd);
    purgePort(fd);
    return fd;
}

int readPort(PortHandle port, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs, const PortWake *wake,
             PortError *error)
{
    // A descriptor of -1 is passed over by poll: without a wake only the port counts.
    pollfd waitFor[2] = {{static_cast<int>(port), POLLIN, 0}, {wake != nullptr ? int(wake->handle()) : -1, POLLIN, 0}};
    const timespec limit{time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000};
    const int ready = ppoll(waitFor, 2, &limit, nullptr);
    if (ready < 0)
        return errno == EINTR ? 0 : ioFailure(errno, error);
    if (waitFor[0].revents == 0)
        return 0;
    if ((waitFor[0].revents & POLLNVAL) != 0)
        return ioFailure(EBADF, error);
    const ssize_t count = ::read(static_cast<int>(port), data, capacity);
    if (count > 0)
        return static_cast<int>(count);
    if (count == 0) {
        // Readable but nothing to read: the terminal was hung up, as a USB adapter's
        // is when it is unplugged.
        setPortError(error, PortFailure::PortLost, 0);
        return PortIoLost;
    }
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    return ioFailure(errno, error);
}

int writePort(PortHandle port, const std::uint8_t *data, std::size_t length, PortError *error)
{
    const int fd = static_cast<int>(port);
    const std::size_t total = length;
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return ioFailure(errno, error);
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    // The idle countdown that follows must start when the line is really free.
    if (tcdrain(fd) != 0)
        return ioFailure(errno, error);
    return static_cast<int>(total);
}

void clearPortErrors(PortHandle /*port*/)
{
    // Raw mode without INPCK or PARMRK latches no line errors: bytes arrive as they are.
}

void closePort(PortHandle port)
{
    const int fd = static_cast<int>(port);
    // Cleared by hand too: another (root) user of the line may keep it open past our
    // close, and the mark would then stay. Pseudo-terminals never got it.
    if (!isPseudoTerminal(fd))
        ioctl(fd, TIOCNXCL);
    ::close(fd);
}

// Whether this thread's raise was refused once; then it is not asked again.
thread_local bool priorityRefused = false;
thread_local bool priorityRaised = false;

} // namespace

bool raiseWorkerPriority()
{
    if (priorityRefused)
        return false;
    static const int highest = sched_get_priority_max(SCHED_FIFO);
    sched_param parameters{};
    parameters.sched_priority = highest;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0)
        priorityRaised = true;
    else
        priorityRefused = true;
    return priorityRaised;
}

void restoreWorkerPriority()
{
    if (!priorityRaised)
        return;
    sched_param parameters{};
    parameters.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &parameters);
    priorityRaised = false;
}

void preciseWorkerTimers()
{
    // The default slack of 50 us would make every wait for the end of a frame late by
    // as much.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

// Constant at namespace scope, so local to this file like the functions it holds.
constexpr SerialPortMethods LinuxSerialPort = {
    openPort, readPort, writePort, clearPortErrors, purgePort, closePort,
};

const SerialPortMethods &platformSerialPort()
{
    return LinuxSerialPort;
}
