// The list of serial ports offered to the user.

#include "portlist/portlist.h"

#include "portlist/envports.h"

#include <QSerialPortInfo>

QStringList availablePortNames(const QString &stableNamesDir)
{
    QStringList names;
    // The ports the user named are the ones asked for: they come first, so that the
    // first of them is current on first use. The item text is what the terminal
    // opens, so these stay full paths.
    for (const std::string &path : environmentPortPaths())
        names << QString::fromLocal8Bit(path.data(), static_cast<int>(path.size()));
    QList<SystemPort> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.append({info.portName(), info.systemLocation()});
    return names + withStableNames(ports, stableNamesDir);
}
