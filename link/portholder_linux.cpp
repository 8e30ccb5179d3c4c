// The holder of a busy port, from /proc: the lock in /proc/locks, which names the
// process that took it; else any other process with the device open, since every
// descriptor in /proc/PID/fd is a link that stat() follows to the open file, so a
// device reached by any name (ttyUSB0, a /dev/serial/by-id link) is matched by its
// device number.

#include "link/portholder.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

bool isNumber(const std::string &text)
{
    if (text.empty())
        return false;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

bool holdsDevice(const std::string &process, dev_t device)
{
    const std::string fdDir = process + "/fd";
    DIR *descriptors = opendir(fdDir.c_str());
    if (descriptors == nullptr)
        return false;
    bool found = false;
    while (const dirent *entry = readdir(descriptors)) {
        if (!isNumber(entry->d_name))
            continue;
        struct stat info;
        if (stat((fdDir + "/" + entry->d_name).c_str(), &info) == 0 && S_ISCHR(info.st_mode)
            && info.st_rdev == device) {
            found = true;
            break;
        }
    }
    closedir(descriptors);
    return found;
}

std::string describe(const std::string &pid)
{
    std::string name;
    std::ifstream comm("/proc/" + pid + "/comm");
    std::getline(comm, name);
    return (name.empty() ? std::string("?") : name) + " (PID " + pid + ")";
}

// The process holding a lock on the file `port` is, from lines such as
// "1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF" (its PID, then the file system's
// device and the inode); lines with "->" are waiters.
std::string lockHolder(const struct stat &port)
{
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%lu", major(port.st_dev), minor(port.st_dev),
                  static_cast<unsigned long>(port.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string field, previous;
        while (fields >> field) {
            if (field == "->")
                break;
            if (field == file)
                return isNumber(previous) && previous != "0" ? previous : std::string();
            previous = field;
        }
    }
    return std::string();
}

} // namespace

std::string portHolder(const std::string &devicePath)
{
    struct stat port;
    if (stat(devicePath.c_str(), &port) != 0 || !S_ISCHR(port.st_mode))
        return std::string();
    const std::string locker = lockHolder(port);
    if (!locker.empty())
        return describe(locker);

    // A port taken by the kernel's exclusive mark has no lock: any process with it
    // open may hold it. This one's own descriptors are not the cause.
    DIR *processes = opendir("/proc");
    if (processes == nullptr)
        return std::string();
    const std::string self = std::to_string(getpid());
    std::string holder;
    while (const dirent *entry = readdir(processes)) {
        if (!isNumber(entry->d_name) || entry->d_name == self)
            continue;
        if (holdsDevice(std::string("/proc/") + entry->d_name, port.st_rdev)) {
            holder = describe(entry->d_name);
            break;
        }
    }
    closedir(processes);
    return holder;
}
