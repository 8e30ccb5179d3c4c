// The service manager on Linux: systemd through libsystemd.

#include "fetch/servicemanager.h"

#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// JOURNAL_STREAM is "DEVICE:INODE" of the stream systemd connected; a stream
// redirected since (a shell under the service) no longer matches it.
bool isJournalStream(int fd)
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2)
        return false;
    struct stat status {};
    return fstat(fd, &status) == 0 && static_cast<unsigned long long>(status.st_dev) == device
        && static_cast<unsigned long long>(status.st_ino) == inode;
}

} // namespace

bool notifyServiceManager(const QByteArray &state)
{
    return sd_notify(0, state.constData()) > 0;
}

std::chrono::microseconds serviceWatchdogInterval()
{
    uint64_t interval = 0;
    if (sd_watchdog_enabled(0, &interval) <= 0)
        return std::chrono::microseconds(0);
    return std::chrono::microseconds(interval);
}

bool standardErrorIsJournal()
{
    return isJournalStream(STDERR_FILENO);
}

bool standardOutputIsJournal()
{
    return isJournalStream(STDOUT_FILENO);
}

bool sendToJournal(const QString &message, const JournalFields &fields)
{
    const QByteArray text = "MESSAGE=" + message.toUtf8();
    const QByteArray priority = "PRIORITY=" + QByteArray::number(fields.priority);
    const QByteArray line = "KHRONAR_LINE=" + fields.line.toUtf8();
    const QByteArray device = "KHRONAR_DEVICE=" + fields.device.toUtf8();
    const QByteArray identifier = QByteArrayLiteral("SYSLOG_IDENTIFIER=khronar-fetch");
    // Fields with a length each: a name may hold any byte but a line end, which the
    // fleet file cannot give.
    struct iovec entry[5];
    int count = 0;
    const auto add = [&](const QByteArray &field) {
        entry[count].iov_base = const_cast<char *>(field.constData());
        entry[count].iov_len = static_cast<std::size_t>(field.size());
        ++count;
    };
    add(text);
    add(priority);
    add(identifier);
    if (!fields.line.isEmpty())
        add(line);
    if (!fields.device.isEmpty())
        add(device);
    return sd_journal_sendv(entry, count) == 0;
}
