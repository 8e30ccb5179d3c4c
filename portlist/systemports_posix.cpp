// The system's serial ports as Qt Serial Port lists them.

#include "portlist/systemports.h"

#include <QSerialPortInfo>

QList<SystemPort> systemSerialPorts()
{
    QList<SystemPort> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.append({info.portName(), info.systemLocation()});
    return ports;
}
