// The peak of the process's resident memory while a test runs, as the system counts it.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>

// Linux's /proc: VmHWM is the peak of resident memory, and writing "5" to clear_refs
// starts it again from what is resident now.
class MemoryMeter
{
public:
    // Starts measuring: the peak from now on. False where the system cannot say.
    bool start()
    {
        QFile clear(QStringLiteral("/proc/self/clear_refs"));
        started = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
        base = megabytes("VmRSS:");
        return started && base > 0;
    }
    // How far the peak rose above what was resident at start(), in MB.
    double peakGrowthMegabytes() const { return megabytes("VmHWM:") - base; }
    // A line of the process's status in MB: "VmRSS:" resident now, "VmHWM:" the peak;
    // 0 where there is none.
    static double megabytes(const char *key)
    {
        QFile status(QStringLiteral("/proc/self/status"));
        if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
            return 0;
        const QList<QByteArray> lines = status.readAll().split('\n');
        for (const QByteArray &line : lines) {
            if (line.startsWith(key))
                return line.mid(int(qstrlen(key))).simplified().split(' ').value(0).toDouble() / 1024.0;
        }
        return 0;
    }

    // Whether the build counts memory as a user's would: AddressSanitizer keeps what is
    // freed in quarantine, so there the peak says nothing of the program.
    static bool meaningful()
    {
#if defined(__SANITIZE_ADDRESS__)
        return false;
#else
        return true;
#endif
    }

private:
    bool started = false;
    double base = 0;
};
