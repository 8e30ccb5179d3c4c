// Times a whole download through the window: the device simulator on a
// pseudo-terminal with N records, the tool connecting at 115200 baud into a new
// log file, until the last record is stored. Prints records per second.
//
//   bench_download KHRONAR_DEVSIM [N]

#include "dialogs/dialogportsettings.h"
#include "app/mainwindow.h"

#include "tests/support/modalanswer.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

QByteArray deviceLog(int records)
{
    QByteArray json = R"({"captions": [
        {"event": 1, "text": "Канал #u: #`Норма``Авария`e, температура #+3.1I °C, код #4X, время #d"},
        {"event": 2, "text": "Давление #2.2U бар"}], "records": [)";
    for (int i = 0; i < records; ++i) {
        json += i == 0 ? "" : ",";
        json += i % 2 ? R"({"event": 1, "type": 2, "time": 763825530, "data": "02 01 FA 00 AB 00 7A 0D 87 2D"})"
                      : R"({"event": 2, "type": 1, "time": 763825531, "data": "D2 04"})";
    }
    return json + "]}";
}

int storedRecords()
{
    QSqlQuery query(QSqlDatabase::database());
    return query.exec(QStringLiteral("SELECT count(*) FROM Log")) && query.next() ? query.value(0).toInt() : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_download KHRONAR_DEVSIM [N]\n");
        return 2;
    }
    const int records = argc > 2 ? std::atoi(argv[2]) : 2000;
    QTemporaryDir dir;
    ModalAnswer::prepare(dir.path());

    QFile json(dir.filePath(QStringLiteral("device.json")));
    json.open(QIODevice::WriteOnly);
    json.write(deviceLog(records));
    json.close();

    QProcess device;
    device.start(QString::fromLocal8Bit(argv[1]),
                 {QStringLiteral("--log"), json.fileName(), QStringLiteral("--baud"), QStringLiteral("115200")});
    QByteArray line;
    while (!line.contains('\n') && device.waitForReadyRead(10000))
        line += device.readAllStandardOutput();
    const QString port = QString::fromLocal8Bit(line.left(line.indexOf('\n'))).trimmed();
    qputenv("KHRONAR_PORTS", port.toLocal8Bit());

    MainWindow window;
    window.show();
    ModalAnswer::fileDialog(dir.filePath(QStringLiteral("bench.db")));
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

    int stored = 0;
    qint64 firstRecordAt = -1;
    while (stored < records && clock.elapsed() < 3600 * 1000) {
        QTest::qWait(50);
        stored = storedRecords();
        if (stored > 0 && firstRecordAt < 0)
            firstRecordAt = clock.elapsed();
    }
    const double seconds = clock.elapsed() / 1000.0;
    const double recordSeconds = (clock.elapsed() - firstRecordAt) / 1000.0;
    std::printf("records stored: %d of %d\n", stored, records);
    std::printf("connect to last record: %.1f s, %.2f records/s\n", seconds, stored / seconds);
    std::printf("first to last record: %.1f s, %.2f records/s (the poll cycle's ceiling is 10)\n", recordSeconds,
                (stored - 1) / recordSeconds);
    device.terminate();
    device.waitForFinished(5000);
    return stored == records ? 0 : 1;
}
