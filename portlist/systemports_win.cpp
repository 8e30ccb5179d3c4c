// The system's serial ports through SetupAPI, with the names Device Manager shows, and
// the registry's serial map for the ports no device of the Ports class stands behind.

#include "portlist/systemports.h"

#include <QSet>

// clang-format off
#include <windows.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <vector>

namespace {

// The string value `name` of an open registry key; empty when it is missing or no string.
QString registryString(HKEY key, const wchar_t *name)
{
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ || size == 0)
        return {};
    std::vector<wchar_t> value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(value.data()), &size) != ERROR_SUCCESS)
        return {};
    return QString::fromWCharArray(value.data());
}

// The device's friendly name ("USB-SERIAL CH340 (COM5)"), else its description.
QString deviceName(HDEVINFO devices, SP_DEVINFO_DATA *device)
{
    for (DWORD property : {DWORD(SPDRP_FRIENDLYNAME), DWORD(SPDRP_DEVICEDESC)}) {
        DWORD type = 0;
        DWORD size = 0;
        SetupDiGetDeviceRegistryPropertyW(devices, device, property, &type, nullptr, 0, &size);
        if (size == 0)
            continue;
        std::vector<wchar_t> value(size / sizeof(wchar_t) + 1, L'\0');
        if (SetupDiGetDeviceRegistryPropertyW(devices, device, property, &type, reinterpret_cast<BYTE *>(value.data()),
                                              size, nullptr)
            && type == REG_SZ) {
            const QString name = QString::fromWCharArray(value.data());
            if (!name.isEmpty())
                return name;
        }
    }
    return {};
}

bool isComPort(const QString &name)
{
    return name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive);
}

SystemPort comPort(const QString &name, const QString &description)
{
    return {name, QStringLiteral("\\\\.\\") + name, description};
}

} // namespace

QList<SystemPort> systemSerialPorts()
{
    QList<SystemPort> ports;
    QSet<QString> listed;
    // The Ports class holds the printer ports too: only COMn are serial.
    const HDEVINFO devices = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
            const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (key == INVALID_HANDLE_VALUE)
                continue;
            const QString name = registryString(key, L"PortName");
            RegCloseKey(key);
            if (!isComPort(name) || listed.contains(name.toUpper()))
                continue;
            listed.insert(name.toUpper());
            ports.append(comPort(name, deviceName(devices, &device)));
        }
        SetupDiDestroyDeviceInfoList(devices);
    }
    // Every port a driver made, in the serial map, whether or not a device of the Ports
    // class stands behind it.
    HKEY map = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t valueName[256];
            DWORD nameLength = sizeof valueName / sizeof valueName[0];
            if (RegEnumValueW(map, i, valueName, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            const QString name = registryString(map, valueName);
            if (!isComPort(name) || listed.contains(name.toUpper()))
                continue;
            listed.insert(name.toUpper());
            ports.append(comPort(name, QString()));
        }
        RegCloseKey(map);
    }
    return ports;
}
