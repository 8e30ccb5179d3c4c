// The stable names of USB serial adapters: the links udev keeps in
// /dev/serial/by-id, named after the adapter's vendor, model and serial number, which
// survive a replug that gives the adapter another ttyUSBn.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Where udev keeps the links.
inline const char StableNamesDir[] = "/dev/serial/by-id";

// A port as the system lists it: the name the user picks ("ttyUSB0", "COM5") and the
// device behind it ("/dev/ttyUSB0"), and what the system calls it where it has a
// name people recognise ("USB-SERIAL CH340 (COM5)" on Windows; empty elsewhere).
struct SystemPort {
    QString name;
    QString location;
    QString description = {};
};

// The names of `ports` in their order, each preceded by the full paths of the links
// in `stableNamesDir` that lead to it (in the order of their names), so that the
// stable name of an adapter comes first and the connect dialog offers it first. Links
// to a device the list does not hold follow at the end; links that lead nowhere (the
// adapter is gone) are left out.
QStringList withStableNames(const QList<SystemPort> &ports, const QString &stableNamesDir);
