// Termination on Windows: the toolkit answers the session's end message by closing the
// windows itself, and a console's Ctrl+C does not reach a windowed program.

#include "app/terminationsignals.h"

bool quitOnTerminationSignals()
{
    return true;
}
