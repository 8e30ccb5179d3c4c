// A command that an alert runs, as a process that can be ended with all it started.
#pragma once

#include <QProcess>

// Started in a process group of its own (on POSIX systems), so that a command killed at
// its time limit takes along what it started: a script's curl or sleep is not left
// running on its own.
class CommandProcess : public QProcess
{
public:
    // Kills the command and every process of its group.
    void killAll();

protected:
    void setupChildProcess() override;
};
