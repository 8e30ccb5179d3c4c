// No service manager to talk to (Windows): the collector runs as it would by hand.

#include "fetch/servicemanager.h"

bool notifyServiceManager(const QByteArray &)
{
    return false;
}

std::chrono::microseconds serviceWatchdogInterval()
{
    return std::chrono::microseconds(0);
}

bool standardErrorIsJournal()
{
    return false;
}

bool standardOutputIsJournal()
{
    return false;
}

bool sendToJournal(const QString &, const JournalFields &)
{
    return false;
}
