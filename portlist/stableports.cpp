// The system's ports beside the stable links that lead to them.

#include "portlist/stableports.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>

QStringList withStableNames(const QList<SystemPort> &ports, const QString &stableNamesDir)
{
    // Device -> the links to it, in the order of their names.
    QMap<QString, QStringList> links;
    QStringList linkedDevices;
    const QDir dir(stableNamesDir);
    for (const QFileInfo &link : dir.entryInfoList(QDir::System | QDir::Files, QDir::Name)) {
        const QString device = link.canonicalFilePath();
        if (!link.isSymLink() || device.isEmpty())
            continue;
        if (!links.contains(device))
            linkedDevices << device;
        links[device] << link.absoluteFilePath();
    }

    QStringList names;
    for (const SystemPort &port : ports) {
        const QString device = QFileInfo(port.location).canonicalFilePath();
        names << links.take(device) << port.name;
    }
    for (const QString &device : linkedDevices)
        names << links.value(device);
    return names;
}
