// The command line of khronar-fetch: its options, their defaults and checks, and the
// exit codes it documents.
#pragma once

#include "logaccess/logfilter.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// Exit codes. A bus of devices ends with the code of the first device that failed.
enum FetchExitCode : int {
    ExitDone = 0,
    ExitUsage = 2,
    ExitPortUnavailable = 3,
    ExitDeviceException = 4,
    ExitNoReply = 5,
    ExitLogFileError = 6,
    ExitInterrupted = 130,
};

// What to do when a device's event set differs from the log file's.
enum class ConfigUpdate {
    Ask, // ask on a terminal, answer No elsewhere
    Yes,
    No,
};

// What is printed on standard output when the run ends.
enum class SummaryFormat {
    None, // nothing (a run of one line; its progress line tells it on a terminal)
    Text, // a line per device: its name, new records, time and result
    Json, // an array with one object per device, for monitoring
};

struct FetchOptions {
    QString config;      // --config: a fleet file instead of --port and --db
    QString metricsFile; // --metrics-file: a fleet's metrics for Prometheus, empty for none
    QString port;        // empty: no device; the log file is only exported, as `filter` keeps it
    LogFilter filter;
    QString db;     // a file (holds "{address}" when several devices are read) or a server URL
    QString device; // with a server: the device's name there (holds "{address}" for several)
    // Without --port: every --db given (log files), or with a server every --device, or
    // the devices whose names are LIKE deviceLike; more than one log is exported merged
    // on one time axis. `db` and `device` are the first of them.
    QStringList dbs;
    QStringList devices;
    QString deviceLike;
    int lockWaitSeconds = 30; // with a server: how long a device another collector holds is waited for
    QString csv;              // empty: no export
    std::uint32_t baudRate = 19200;
    std::uint8_t parity = 2;   // 0 none, 1 odd, 2 even, as the terminal takes it
    std::uint8_t stopBits = 0; // 0 one, 2 two, as the terminal takes it
    std::vector<std::uint8_t> addresses{1};
    ConfigUpdate updateConfig = ConfigUpdate::Ask;
    bool follow = false;
    bool clear = false;
    bool quiet = false;
    SummaryFormat summary = SummaryFormat::None;
    int reconnectSeconds = 10; // how long a run that ends waits for a lost port
    bool listPorts = false;
    bool help = false;
    bool version = false;
};

struct FetchCommandLine {
    FetchOptions options;
    QString error; // empty when the command line is sound
};

// Parses the arguments after the program name. --help, --version and --list-ports
// need nothing else; otherwise --port and --db are required, or without --port, --db
// and --csv (and the filter options) for an export of the file alone, or of several
// merged.
FetchCommandLine parseFetchCommandLine(const QStringList &arguments);

// Whether the log goes to a central database rather than into files.
bool fetchesToServer(const FetchOptions &options);

// Whether an export without --port merges several logs (or those a pattern picks).
bool exportsMerged(const FetchOptions &options);

// `pattern` with every "{address}" replaced by the decimal address.
QString pathForAddress(const QString &pattern, std::uint8_t address);

// The --help text: every option with its default, and the exit codes.
QString fetchHelpText();
