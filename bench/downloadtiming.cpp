// The window driven as a user drives it, the device simulator beside it, and a clock.

#include "bench/downloadtiming.h"

#include "app/mainwindow.h"
#include "dialogs/dialogportsettings.h"

#include "tests/support/modalanswer.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Read on a connection of its own, as another program would: the window's is its own.
int storedRecords(const QString &path, const QString &connection)
{
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        db.setDatabaseName(path);
        QSqlQuery query(db);
        if (db.open() && query.exec(QStringLiteral("SELECT count(*) FROM Log")) && query.next())
            count = query.value(0).toInt();
        query = QSqlQuery();
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
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

QString startBenchDevice(const QString &devsim, const QString &jsonPath, int baud, bool lineTiming)
{
    // The application owns it, so that stopBenchDevices finds it.
    auto *device = new QProcess(QCoreApplication::instance());
    QStringList arguments{QStringLiteral("--log"), jsonPath, QStringLiteral("--baud"), QString::number(baud)};
    if (lineTiming)
        arguments << QStringLiteral("--line-timing");
    device->start(devsim, arguments);
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

DownloadTiming timeWindowDownload(const QString &port, const QString &dir, int records, int baud, bool linePace,
                                  bool traffic)
{
    qputenv("KHRONAR_PORTS", port.toLocal8Bit());
    ModalAnswer::prepare(dir);
    MainWindow window;
    window.show();
    const QString logPath = QDir(dir).filePath(
        QStringLiteral("window-%1-%2-%3.db").arg(baud).arg(linePace).arg(traffic));
    ModalAnswer::fileDialog(logPath);
    window.findChild<QAction *>(QStringLiteral("actionCreate"))->trigger();

    ModalAnswer::widget([](QWidget *top) { return qobject_cast<DialogPortSettings *>(top) != nullptr; },
                        [port, baud, linePace](QWidget *top) {
                            auto *dialog = static_cast<DialogPortSettings *>(top);
                            dialog->port()->setCurrentText(port);
                            dialog->baudrate()->setCurrentText(QString::number(baud));
                            dialog->linePace()->setChecked(linePace);
                            dialog->accept();
                        });
    if (traffic)
        window.findChild<QAction *>(QStringLiteral("traffic"))->trigger();
    QElapsedTimer clock;
    clock.start();
    window.findChild<QAction *>(QStringLiteral("connectButton"))->trigger();

    // The file is watched from a thread of its own, so that the reads of the watch take
    // nothing from the window's thread, which is what is measured.
    std::atomic<int> stored{0};
    std::atomic<qint64> firstRecordAt{-1};
    std::atomic<qint64> lastRecordAt{-1};
    std::atomic<bool> done{false};
    std::thread watch([&] {
        while (!done.load()) {
            const int now = storedRecords(logPath, QStringLiteral("bench-watch"));
            const qint64 at = clock.elapsed();
            if (now > 0 && firstRecordAt.load() < 0)
                firstRecordAt.store(at);
            stored.store(now);
            if (now >= records) {
                lastRecordAt.store(at);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    // A real event loop, as the application runs: QTest::qWait sleeps in steps of 10 ms,
    // which would hold up every reply the window is woken for.
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (stored.load() >= records || clock.elapsed() >= 3600 * 1000)
            loop.quit();
    });
    check.start(20);
    loop.exec();
    done.store(true);
    watch.join();

    DownloadTiming timing;
    timing.stored = stored.load();
    const qint64 end = lastRecordAt.load() >= 0 ? lastRecordAt.load() : clock.elapsed();
    timing.seconds = end / 1000.0;
    timing.recordSeconds = (end - firstRecordAt.load()) / 1000.0;
    return timing;
}
