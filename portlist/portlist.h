// The serial ports a user is offered, the same for the connect dialog and the
// command line.
#pragma once

#include "portlist/stableports.h"

#include <QList>
#include <QString>
#include <QStringList>

// A port as offered: the name the terminal opens ("COM5", "/dev/ttyUSB0") and the text
// the user sees, which is the name itself unless the system has a name people know
// the port by ("USB-SERIAL CH340 (COM5)").
struct PortChoice {
    QString name;
    QString label;
};

// The ports offered, in the order of availablePortNames, given the system's ports
// `systemPorts` (a description that does not name the port gets its name in
// brackets after it).
QList<PortChoice> offeredPorts(const QList<SystemPort> &systemPorts, const QString &stableNamesDir);
QList<PortChoice> availablePorts(const QString &stableNamesDir = QString::fromLatin1(StableNamesDir));

// Port names in the order offered, each as the terminal opens it: the entries of
// KHRONAR_PORTS (full paths where the system's listing leaves out pseudo-terminals,
// and network ports), then the system's serial ports ("ttyUSB0", "COM3") in the
// order the system gives, each USB adapter's stable name from `stableNamesDir`
// (/dev/serial/by-id/...) right before it.
QStringList availablePortNames(const QString &stableNamesDir = QString::fromLatin1(StableNamesDir));
