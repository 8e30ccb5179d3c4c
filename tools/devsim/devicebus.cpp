// The devices on one bus, found by the address a request names.

#include "tools/devsim/devicebus.h"

bool DeviceBus::addDevice(const DeviceSimulator &device)
{
    if (device.address() == 0 || devices.count(device.address()) != 0)
        return false;
    owned.push_back(device);
    return attachDevice(owned.back());
}

bool DeviceBus::attachDevice(DeviceSimulator &device)
{
    return device.address() != 0 && devices.emplace(device.address(), &device).second;
}

QByteArray DeviceBus::handleRequest(const QByteArray &request, QString *note)
{
    // A torn or noisy frame may name any address; the device it seems to name
    // checks the CRC and keeps quiet, as all the others do.
    const auto found = request.isEmpty() ? devices.end() : devices.find(std::uint8_t(request.at(0)));
    if (found == devices.end()) {
        if (note)
            *note = QStringLiteral("ignored");
        return QByteArray();
    }
    return found->second->handleRequest(request, note);
}

QVector<std::uint8_t> DeviceBus::appendRecords(std::uint32_t deviceTime)
{
    QVector<std::uint8_t> grown;
    for (auto &entry : devices) {
        if (entry.second->appendRecord(deviceTime))
            grown.append(entry.first);
    }
    return grown;
}

QVector<std::uint8_t> DeviceBus::addresses() const
{
    QVector<std::uint8_t> list;
    for (const auto &entry : devices)
        list.append(entry.first);
    return list;
}

const DeviceSimulator *DeviceBus::device(std::uint8_t address) const
{
    const auto found = devices.find(address);
    return found == devices.end() ? nullptr : found->second;
}
