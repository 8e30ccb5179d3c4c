// The device simulator as a child process on a new pseudo-terminal, for the
// end-to-end tests of the window and of the command line.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

// Writes `json` to `path`; false when it cannot.
inline bool writeDeviceLog(const QString &path, const QString &json)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(json.toUtf8()) >= 0 && file.flush();
}

// A running khronar-devsim for the life of the object.
class SimulatorProcess
{
public:
    explicit SimulatorProcess(const QString &program) : program(program) {}
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;
    ~SimulatorProcess() { stop(); }

    // Starts the simulator with `arguments` and waits for the pseudo-terminal's path,
    // the first line it prints. False when it does not come.
    bool start(const QStringList &arguments)
    {
        stop();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        if (!process.waitForStarted(10000))
            return false;
        QByteArray line;
        QDeadlineTimer deadline(10000);
        while (!line.contains('\n') && !deadline.hasExpired() && process.state() == QProcess::Running) {
            process.waitForReadyRead(100);
            line += process.readAllStandardOutput();
        }
        path = QString::fromLocal8Bit(line.left(line.indexOf('\n'))).trimmed();
        return path.startsWith(QLatin1Char('/'));
    }

    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }

    QString path;

private:
    QString program;
    QProcess process;
};
