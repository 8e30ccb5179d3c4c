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
//   [alerts]                             ; rules on newly stored records, NAME.KEY=VALUE
//   commands=4                           ; at most so many commands at once
//   breaker.types=error
//   breaker.message=^авария              ; a regular expression, in any case
//   breaker.journal=crit                 ; logged with this priority, and/or
//   breaker.command=/usr/local/bin/page-duty --team grid
//   breaker.timeout=30                   ; seconds before the command is killed
//   breaker.history=no                   ; a device's first download does not alert
#pragma once

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

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

// A rule of [alerts]: which newly stored records it takes, and what it does with them.
struct AlertRule {
    QString name;
    int fileLine = 0;           // where its first key is
    unsigned types = 0;         // bit per type index (1 << 2: error); 0 for any type
    QRegularExpression message; // on the rendered message; invalid pattern: any message
    int journalPriority = -1;   // syslog's 0..7; -1 for none
    QStringList command;        // the program and its arguments; empty for none
    int timeoutSeconds = 30;
    bool history = false; // whether records of a device's first download alert too
};

struct FleetConfig {
    QString db; // a file pattern with {device}, or a server URL
    std::vector<FleetLine> lines;
    std::vector<AlertRule> alerts;
    int alertCommandsAtOnce = 4;
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
