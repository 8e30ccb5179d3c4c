// khronar-fetch run as a child process by the end-to-end tests: what it ended with
// and what it said.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

struct FetchResult {
    int exitCode = -1; // -1: it crashed or did not end in time
    QByteArray out;
    QString err;
};

// Waits for the started `process` (at most two minutes, then kills it) and collects
// its exit code and output.
inline FetchResult finishFetch(QProcess &process)
{
    FetchResult result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}
