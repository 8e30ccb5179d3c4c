// The command on Windows: no process groups to end; the command alone is killed.

#include "fetch/commandprocess.h"

void CommandProcess::setupChildProcess() {}

void CommandProcess::killAll()
{
    kill();
}
