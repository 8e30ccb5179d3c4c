// What khronar-fetch tells the service manager that started it (systemd): that it is
// ready, a status line, that it is alive; and structured entries for its journal. One
// implementation per platform; outside systemd every call does nothing.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

// Sends `state` ("READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1") to the socket
// NOTIFY_SOCKET names. False when there is none, or it cannot be sent.
bool notifyServiceManager(const QByteArray &state);

// How often the service manager wants to hear WATCHDOG=1 (WatchdogSec=, passed down in
// WATCHDOG_USEC); zero when it does not watch this process.
std::chrono::microseconds serviceWatchdogInterval();

// A journal entry's fields besides its message.
struct JournalFields {
    int priority = 3; // syslog's: 0 emergency .. 3 error .. 6 information, 7 debug
    QString line;     // KHRONAR_LINE, left out when empty
    QString device;   // KHRONAR_DEVICE, left out when empty
};

// True when standard error (or output, for `output`) is connected to the journal:
// systemd then passes the stream's device and inode in JOURNAL_STREAM.
bool standardErrorIsJournal();
bool standardOutputIsJournal();
// Sends one entry to the journal; false when it cannot.
bool sendToJournal(const QString &message, const JournalFields &fields);
