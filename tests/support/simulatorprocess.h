// The device simulator as a child process on a new pseudo-terminal or TCP port, for the
// end-to-end tests of the window and of the command line.
#pragma once

#include "protocol/devicetime.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

// A small device log both end-to-end tests use: three events and six records,
// among them one of three positions and a gap of two; event 9 has no caption.
inline const char *const BaseLog = R"({
  "firstIndex": 100,
  "captions": [
    { "event": 1, "text": "Пуск насоса #u" },
    { "event": 2, "text": "Давление #2.2U бар" },
    { "event": 3, "text": "Канал #u: #`Норма``Авария`e" }
  ],
  "records": [
    { "event": 1, "type": 0, "time": "2024-03-15 13:45:30", "data": "01" },
    { "event": 2, "type": 1, "time": "2024-03-15 13:45:31", "data": "D2 04" },
    { "event": 3, "type": 2, "time": "2024-03-15 13:45:32", "data": "02 01", "count": 3 },
    { "event": 9, "type": 3, "time": "2024-03-15 13:45:33", "data": "" },
    { "event": 1, "type": 0, "time": "2024-03-15 13:45:34", "data": "02", "gap": 2 },
    { "event": 2, "type": 0, "time": "2024-03-15 13:45:35", "data": "10 27" }
  ]
})";

// The same device, later: three more records, the event set unchanged.
inline QString grownLog()
{
    QString json = QString::fromUtf8(BaseLog);
    json.replace(
        QStringLiteral("\"data\": \"10 27\" }"),
        QStringLiteral("\"data\": \"10 27\" },\n"
                       "    { \"event\": 1, \"type\": 0, \"time\": \"2024-03-16 08:00:00\", \"data\": \"03\" },\n"
                       "    { \"event\": 2, \"type\": 1, \"time\": \"2024-03-16 08:00:01\", \"data\": \"2C 01\" },\n"
                       "    { \"event\": 3, \"type\": 2, \"time\": \"2024-03-16 08:00:02\", \"data\": \"01 00\" }"));
    return json;
}

// A log of `count` records at indexes 0.., each with its own time, type and data (from
// 2024-03-15 13:45:30 on), over one caption; `rows` gets the rows a download stores:
// index, count, type, time, event, data.
inline QString longDeviceLog(int count, QStringList *rows)
{
    constexpr quint32 March15th2024 = 763825530; // 13:45:30, in seconds since 2000
    QString json = QStringLiteral(R"({"captions": [{"event": 1, "text": "Номер #u"}], "records": [)");
    for (int k = 0; k < count; ++k) {
        const quint32 time = March15th2024 + quint32(k);
        const QString data = QStringLiteral("%1 %2")
                                 .arg(k & 0xFF, 2, 16, QLatin1Char('0'))
                                 .arg(k >> 8, 2, 16, QLatin1Char('0'))
                                 .toUpper();
        json += QStringLiteral(R"(%1{"event": 1, "type": %2, "time": %3, "data": "%4"})")
                    .arg(k == 0 ? "" : ",")
                    .arg(k % 4)
                    .arg(time)
                    .arg(data);
        *rows << QStringLiteral("%1|1|%2|%3|1|%4")
                     .arg(k)
                     .arg(k % 4)
                     .arg(QDateTime::fromSecsSinceEpoch(qint64(time) + DeviceEpochUnixSeconds, Qt::UTC)
                              .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                     .arg(QString(data).remove(QLatin1Char(' ')));
    }
    return json + QStringLiteral("]}");
}

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

    // Starts the simulator with `arguments` and waits for the pseudo-terminal's path
    // (or with --tcp the URL), the first line it prints. False when it does not come.
    bool start(const QStringList &arguments)
    {
        stop();
        if (errorFile.isEmpty()) {
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        } else {
            process.setProcessChannelMode(QProcess::SeparateChannels);
            process.setStandardErrorFile(errorFile);
        }
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
        return path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1String("tcp://"))
            || path.startsWith(QLatin1String("mbtcp://"));
    }

    // What the simulator writes on standard error (its trace with --verbose) goes to
    // `path` from the next start on, instead of the test's own.
    void setErrorFile(const QString &path) { errorFile = path; }

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
    QString errorFile;
    QProcess process;
};
