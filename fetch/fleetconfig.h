// A fleet file: where the logs go, and every line with its port, line settings and
// devices, for one khronar-fetch run that collects them all.
//
//   [store]
//   db=/var/lib/khronar/{device}.db       ; a file pattern with {device}, or a server URL
//   [substation-7]                       ; every other section is a line
//   port=tcp://10.0.7.2:4001
//   baud=19200
//   parity=even
//   stop=1
//   devices=1=feeder-1, 2=feeder-2, 7-9=relay-{address}
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

struct FleetDevice {
    std::uint8_t address = 1;
    QString name; // {address} already replaced
};

struct FleetLine {
    QString name; // the section's name
    int fileLine = 0;
    QString port;
    std::uint32_t baudRate = 19200;
    std::uint8_t parity = 2;   // as the terminal takes it: even
    std::uint8_t stopBits = 0; // one
    std::vector<FleetDevice> devices;
};

struct FleetConfig {
    QString db; // a file pattern with {device}, or a server URL
    std::vector<FleetLine> lines;
};

// The most lines one run collects.
constexpr std::size_t MaxFleetLines = 256;

struct FleetConfigResult {
    FleetConfig config;
    QString error; // "FILE:LINE: what is wrong"; empty when the file is sound
};

// Reads the text of a fleet file called `fileName` (for the messages). Comments start
// with ';' or '#' at the start of a line or after a blank; keys and sections are
// matched exactly; values are trimmed.
FleetConfigResult parseFleetConfig(const QByteArray &text, const QString &fileName);
// Reads the file at `path`; one that cannot be read is an error too.
FleetConfigResult readFleetConfig(const QString &path);

// `pattern` with every "{device}" replaced by `deviceName`.
QString pathForDevice(const QString &pattern, const QString &deviceName);
