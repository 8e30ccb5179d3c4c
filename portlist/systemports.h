// The serial ports the system knows, one listing per platform.
#pragma once

#include "portlist/stableports.h"

#include <QList>

// The system's serial ports in the order the system gives them. On Linux Qt Serial
// Port lists them; on Windows SetupAPI does, with each port's friendly name as its
// description, and the ports only the registry's serial map names follow (virtual
// ports, and Wine's links to the host's devices).
QList<SystemPort> systemSerialPorts();
