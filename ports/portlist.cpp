// The list of serial ports offered to the user.

#include "ports/portlist.h"

#include "ports/envports.h"

#include <QSerialPortInfo>

QStringList availablePortNames()
{
    QStringList names;
    // The ports the user named are the ones asked for: they come first, so that the
    // first of them is current on first use. The item text is what the terminal
    // opens, so these stay full paths.
    for (const std::string &path : environmentPortPaths())
        names << QString::fromLocal8Bit(path.data(), static_cast<int>(path.size()));
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        names << info.portName();
    return names;
}
