// khronar-fetch as a program: its command line, a run of one line or of a fleet of
// lines, and the summary at the end.
#pragma once

#include "fetch/linecollector.h"

#include <QStringList>

// The summary of `outcomes` as --summary prints it.
QString textSummary(const std::vector<DeviceOutcome> &outcomes);
QString jsonSummary(const std::vector<DeviceOutcome> &outcomes);

// The whole program on the arguments after its name: parses them, answers --help,
// --version and --list-ports, exports a log without a port, routes the stop signals
// and runs a line, or a fleet of them.
int fetchMain(const QStringList &arguments);
