// The devices that share one line or connection, each answering its own address, as
// several devices hang on one RS-485 bus.
#pragma once

#include "tools/devsim/devicesimulator.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <list>
#include <map>

class DeviceBus
{
public:
    DeviceBus() = default;
    DeviceBus(const DeviceBus &) = delete; // it points into its own list
    DeviceBus &operator=(const DeviceBus &) = delete;

    // Adds a copy of `device` at its address. False, and nothing added, when that
    // address is taken already or is 0, the broadcast address.
    bool addDevice(const DeviceSimulator &device);
    // The same for the caller's own device, which must outlive the bus; the caller
    // sees its log change.
    bool attachDevice(DeviceSimulator &device);

    // One request as received, CRC included: the device it names answers (see
    // DeviceSimulator::handleRequest). A frame for an address nobody plays gets
    // silence, as on a real bus, with `note` "ignored".
    QByteArray handleRequest(const QByteArray &request, QString *note = nullptr);

    // Appends every device's next live record, dated `deviceTime`. Returns the
    // addresses whose log grew.
    QVector<std::uint8_t> appendRecords(std::uint32_t deviceTime);

    // In address order.
    QVector<std::uint8_t> addresses() const;
    // nullptr when nobody plays `address`.
    const DeviceSimulator *device(std::uint8_t address) const;
    int size() const { return int(devices.size()); }

private:
    std::map<std::uint8_t, DeviceSimulator *> devices;
    std::list<DeviceSimulator> owned; // the copies; a list, so that they never move
};
