// The list of serial ports offered to the user.

#include "portlist/portlist.h"

#include "portlist/envports.h"

#include "portlist/systemports.h"

#include <QHash>

QList<PortChoice> offeredPorts(const QList<SystemPort> &systemPorts, const QString &stableNamesDir)
{
    QList<PortChoice> choices;
    // The ports the user named are the ones asked for: they come first, so that the
    // first of them is current on first use. The name is what the terminal opens, so
    // these stay full paths.
    for (const std::string &path : environmentPortPaths()) {
        const QString name = QString::fromLocal8Bit(path.data(), static_cast<int>(path.size()));
        choices.append({name, name});
    }
    QHash<QString, QString> descriptions;
    for (const SystemPort &port : systemPorts) {
        if (!port.description.isEmpty())
            descriptions.insert(port.name, port.description);
    }
    for (const QString &name : withStableNames(systemPorts, stableNamesDir)) {
        // A description that names the port already ("... (COM5)") is shown as it is.
        const QString description = descriptions.value(name);
        QString label = name;
        if (!description.isEmpty())
            label = description.contains(name) ? description : QStringLiteral("%1 (%2)").arg(description, name);
        choices.append({name, label});
    }
    return choices;
}

QList<PortChoice> availablePorts(const QString &stableNamesDir)
{
    return offeredPorts(systemSerialPorts(), stableNamesDir);
}

QStringList availablePortNames(const QString &stableNamesDir)
{
    QStringList names;
    for (const PortChoice &choice : availablePorts(stableNamesDir))
        names << choice.name;
    return names;
}
