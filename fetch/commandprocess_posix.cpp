// The command's process group on POSIX systems.

#include "fetch/commandprocess.h"

#include <csignal>

#include <sys/types.h>
#include <unistd.h>

void CommandProcess::setupChildProcess()
{
    // In the child, before the command runs: a group of its own, with its id.
    setpgid(0, 0);
}

void CommandProcess::killAll()
{
    const qint64 id = processId();
    if (id > 0)
        ::kill(-static_cast<pid_t>(id), SIGKILL);
    kill();
}
