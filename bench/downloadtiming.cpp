// The window driven as a user drives it, the device simulator beside it, and a clock.

#include "bench/downloadtiming.h"

#include "app/mainwindow.h"
#include "dialogs/dialogportsettings.h"

#include "tests/support/modalanswer.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

namespace {

// Read on a connection of its own, as another program would: the window's is its own.
int storedRecords(const QString &path)
{
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bench-reader"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(path);
        QSqlQuery query(db);
        if (db.open() && query.exec(QStringLiteral("SELECT count(*) FROM Log")) && query.next())
            count = query.value(0).toInt();
        query = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("bench-reader"));
    return count;
}

} // namespace

QString writeBenchDeviceLog(const QString &dir, int records)
{
    QByteArray json = R"({"captions": [
        {"event": 1, "text": "Канал #u: #`Норма``Авария`e, температура #+3.1I °C, код #4X, время #d"},
        {"event": 2, "text": "Давление #2.2U бар"}], "records": [)";
    for (int i = 0; i < records; ++i) {
        json += i == 0 ? "" : ",";
        json += i % 2 ? R"({"event": 1, "type": 2, "time": 763825530, "data": "02 01 FA 00 AB 00 7A 0D 87 2D"})"
                      : R"({"event": 2, "type": 1, "time": 763825531, "data": "D2 04"})";
    }
    json += "]}";
    QFile file(QDir(dir).filePath(QStringLiteral("device.json")));
    if (file.open(QIODevice::WriteOnly))
        file.write(json);
    return file.fileName();
}

QString startBenchDevice(const QString &devsim, const QString &jsonPath)
{
    // The application owns it, so that stopBenchDevices finds it.
    auto *device = new QProcess(QCoreApplication::instance());
    device->start(devsim, {QStringLiteral("--log"), jsonPath, QStringLiteral("--baud"), QStringLiteral("115200")});
    QByteArray line;
    while (!line.contains('\n') && device->waitForReadyRead(10000))
        line += device->readAllStandardOutput();
    return QString::fromLocal8Bit(line.left(line.indexOf('\n'))).trimmed();
}

void stopBenchDevices()
{
    for (QProcess *device : QCoreApplication::instance()->findChildren<QProcess *>()) {
        device->terminate();
        if (!device->waitForFinished(5000))
            device->kill();
        device->waitForFinished(5000);
    }
}

DownloadTiming timeWindowDownload(const QString &port, const QString &dir, int records)
{
    qputenv("KHRONAR_PORTS", port.toLocal8Bit());
    ModalAnswer::prepare(dir);
    MainWindow window;
    window.show();
    const QString logPath = QDir(dir).filePath(QStringLiteral("window.db"));
    ModalAnswer::fileDialog(logPath);
    window.findChild<QAction *>(QStringLiteral("actionCreate"))->trigger();

    ModalAnswer::widget([](QWidget *top) { return qobject_cast<DialogPortSettings *>(top) != nullptr; },
                        [port](QWidget *top) {
                            auto *dialog = static_cast<DialogPortSettings *>(top);
                            dialog->port()->setCurrentText(port);
                            dialog->baudrate()->setCurrentText(QStringLiteral("115200"));
                            dialog->accept();
                        });
    QElapsedTimer clock;
    clock.start();
    window.findChild<QAction *>(QStringLiteral("connectButton"))->trigger();

    DownloadTiming timing;
    qint64 firstRecordAt = -1;
    while (timing.stored < records && clock.elapsed() < 3600 * 1000) {
        QTest::qWait(50);
        timing.stored = storedRecords(logPath);
        if (timing.stored > 0 && firstRecordAt < 0)
            firstRecordAt = clock.elapsed();
    }
    timing.seconds = clock.elapsed() / 1000.0;
    timing.recordSeconds = (clock.elapsed() - firstRecordAt) / 1000.0;
    return timing;
}
