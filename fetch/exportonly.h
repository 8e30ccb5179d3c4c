// khronar-fetch without a port: the window's CSV export of a log file or of a device's
// log on a server, with the records its filter bar would show. No port is opened and
// the log is not written.
#pragma once

#include "fetch/linesettings.h"
#include "logaccess/logfilter.h"

#include <QString>

class QCommandLineParser;
struct FetchOptions;

// The filter options and their values, as --help names them.
struct ExportFilterOption {
    const char *name;
    const char *valueName; // nullptr: a switch
};
extern const ExportFilterOption ExportFilterOptions[5];

// A record type by its name or code, as --type takes it: 0 info, 1 warning, 2 error,
// 3 change; -1 for neither.
int recordTypeByName(const QString &word);

// Whether any of --type, --from, --to, --grep and --regex is given.
bool exportFilterGiven(const QCommandLineParser &parser);
// The filter they give, or a message for a value not allowed.
SettingResult<LogFilter> parseExportFilter(const QCommandLineParser &parser);

// Writes the records of options.db (a file, or the device options.device on a server)
// that pass options.filter to options.csv, as the window's export does; several files
// or devices (exportsMerged) merged on one time axis. Returns an exit code (ExitDone,
// ExitLogFileError).
int exportLogFile(const FetchOptions &options);
