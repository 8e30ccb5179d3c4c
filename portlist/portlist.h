// The serial ports a user is offered, the same for the connect dialog and the
// command line.
#pragma once

#include "portlist/stableports.h"

#include <QString>
#include <QStringList>

// Port names in the order offered, each as the terminal opens it: the entries of
// KHRONAR_PORTS (full paths where the system's listing leaves out pseudo-terminals,
// and network ports), then the system's serial ports ("ttyUSB0", "COM3") in the
// order the system gives, each USB adapter's stable name from `stableNamesDir`
// (/dev/serial/by-id/...) right before it.
QStringList availablePortNames(const QString &stableNamesDir = QString::fromLatin1(StableNamesDir));
