// Termination on Windows: the toolkit answers the log-off message by closing the
// windows itself, and a console's Ctrl+C does not reach a windowed program.

#include "app/terminationsignals.h"

bool quitOnTerminationSignals()
{
    return true;
}
