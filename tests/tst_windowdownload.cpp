// The whole road of a download, driven through the window as a user drives it,
// against the device simulator on a pseudo-terminal.

#include "app/mainwindow.h"
#include "dialogs/dialogportsettings.h"
#include "dialogs/dialogtraffic.h"

#include "tests/support/modalanswer.h"
#include "tests/support/notlogfiles.h"
#include "tests/support/pausemeter.h"
#include "tests/support/simulatorprocess.h"
#include "tests/support/stationlogs.h"
#include "tests/support/tcppeers.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QSettings>
#include <QSpinBox>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QAbstractButton>

#include <ctime>
#include <memory>

namespace {

const QStringList BaseMessages = {
    QStringLiteral("Пуск насоса 1"),       QStringLiteral("Давление 12.34 бар"), QStringLiteral("Канал 2: Авария"),
    QStringLiteral("Неизвестное событие"), QStringLiteral("Пуск насоса 2"),      QStringLiteral("Давление 100.00 бар"),
};

// A device on a new pseudo-terminal or TCP port (with --tcp), its log given as JSON.
class Simulator : public SimulatorProcess
{
public:
    Simulator() : SimulatorProcess(QStringLiteral(KHRONAR_DEVSIM)) {}
    // A null `logJson` plays the simulator's own demo content.
    bool start(const QString &logJson, const QStringList &options, const QString &dir)
    {
        if (logJson.isNull())
            return SimulatorProcess::start(options);
        const QString logPath = QDir(dir).filePath(QStringLiteral("device%1.json").arg(++started));
        return writeDeviceLog(logPath, logJson)
            && SimulatorProcess::start(QStringList{QStringLiteral("--log"), logPath} + options);
    }

private:
    int started = 0;
};

int trailingNumber(const QString &text)
{
    return text.section(QLatin1Char(' '), -1).toInt();
}

} // namespace

class tst_WindowDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void freshLogFileDownloadsEverything();
    void secondDownloadResumesAndPolls();
    void changedCaptionTextsAreReadWithoutAsking();
    void changedEventSetAsksFirst_data();
    void changedEventSetAsksFirst();
    void deviceExceptionStopsTheDownload();
    void busyDeviceIsAskedAgain();
    void silentDevice();
    void corruptRepliesOnlyShowInTheMonitor();
    void downloadNeedsLogFileAndPort();
    void connectWithoutLogFile();
    void demoConnectsToTheNamedPort();
    void portDialogRemembersTheChoice();
    void linePaceReadsTheSameLogAndIsRemembered();
    void failedOpenStaysDisconnected();
    void disconnectInTheMiddle();
    void networkDownloadMatchesSerial_data();
    void networkDownloadMatchesSerial();
    void refusedConnectionStaysDisconnected();
    void lostConnectionReconnectsAndResumes();
    void unpluggedAdapterComesBack();
    void silentGatewayNeverFreezesTheWindow();
    void databaseErrorStopsTheDownload();
    void fileThatIsNoLogStopsTheDownload_data();
    void fileThatIsNoLogStopsTheDownload();
    void unreadableViewKeepsTheDownloadGoing();
    void clearEmptiesTheDeviceLog();
    void clearWhileRecordsArrive();
    void boxesHoldThePollCycle();
    void severalLogsWaitForTheDisconnect();

private:
    QAction *action(const char *name) const { return window->findChild<QAction *>(QLatin1String(name)); }
    QTableView *table() const { return window->findChild<QTableView *>(QStringLiteral("tableView")); }
    QStringList messages() const;
    int sent() const { return trailingNumber(statusText(0)); }
    int received() const { return trailingNumber(statusText(1)); }
    QString statusText(int i) const { return window->statusBar()->findChildren<QLabel *>().value(i)->text(); }
    QProgressBar *progress() const { return window->statusBar()->findChild<QProgressBar *>(); }
    QString logPath(const QString &name = QStringLiteral("журнал.db")) const
    {
        return QDir(dir->path()).filePath(name);
    }

    void createLog(const QString &path = QString());
    // Picks `port` in the port dialog and confirms, as the user does on connect.
    std::shared_ptr<bool> answerPortDialog(const QString &port);
    bool startDevice(const QString &json = QString::fromUtf8(BaseLog), const QStringList &options = {});
    void connectToDevice();
    // The port opens in the background: waits until the open has ended, either way.
    void waitForOpen();
    QLabel *linkState() const { return window->statusBar()->findChild<QLabel *>(QStringLiteral("linkState")); }
    // A new window downloading into a fresh file gets no record from the device.
    void expectEmptyDeviceLog();
    QStringList fileRows(const QString &sql, const QString &path = QString()) const;

    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<Simulator> device;
};

void tst_WindowDownload::initTestCase()
{
    settingsDir = std::make_unique<QTemporaryDir>();
    ModalAnswer::prepare(settingsDir->path());
}

void tst_WindowDownload::init()
{
    dir = std::make_unique<QTemporaryDir>();
    device = std::make_unique<Simulator>();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_WindowDownload::cleanup()
{
    window.reset();
    device.reset();
    const bool answered = ModalAnswer::allAnswered();
    // Dropped first, so that a test that failed cannot leave an answer to the next.
    ModalAnswer::reset();
    qunsetenv("KHRONAR_PORTS");
    QVERIFY2(answered, "an expected dialog never appeared");
}

QStringList tst_WindowDownload::messages() const
{
    QStringList shown;
    if (QAbstractItemModel *model = table()->model()) {
        while (model->canFetchMore(QModelIndex()))
            model->fetchMore(QModelIndex());
        for (int row = 0; row < model->rowCount(); ++row)
            shown << model->data(model->index(row, 2)).toString();
    }
    return shown;
}

void tst_WindowDownload::createLog(const QString &path)
{
    const QString file = path.isEmpty() ? logPath() : path;
    const auto dialog = ModalAnswer::fileDialog(file);
    action("actionCreate")->trigger();
    QVERIFY(dialog->seen);
    QVERIFY(QFile::exists(file));
}

std::shared_ptr<bool> tst_WindowDownload::answerPortDialog(const QString &port)
{
    return ModalAnswer::widget([](QWidget *top) { return qobject_cast<DialogPortSettings *>(top) != nullptr; },
                               [port](QWidget *top) {
                                   auto *dialog = static_cast<DialogPortSettings *>(top);
                                   dialog->port()->setCurrentText(port);
                                   dialog->accept();
                               });
}

bool tst_WindowDownload::startDevice(const QString &json, const QStringList &options)
{
    if (!device->start(json, options, dir->path()))
        return false;
    qputenv("KHRONAR_PORTS", device->path.toLocal8Bit());
    return true;
}

void tst_WindowDownload::waitForOpen()
{
    QTRY_VERIFY_WITH_TIMEOUT(linkState()->isHidden(), 10000);
}

void tst_WindowDownload::connectToDevice()
{
    const auto answered = answerPortDialog(device->path);
    action("connectButton")->trigger();
    waitForOpen();
    QVERIFY(*answered);
    QVERIFY(action("connectButton")->isChecked());
    QCOMPARE(action("connectButton")->text(), QStringLiteral("Разъединить"));
}

void tst_WindowDownload::expectEmptyDeviceLog()
{
    window.reset();
    QFile::remove(logPath());
    window = std::make_unique<MainWindow>();
    window->show();
    createLog();
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(sent() >= 3, 10000); // info, captions..., range
    QTest::qWait(1500);
    QCOMPARE(messages(), QStringList());
    QCOMPARE(fileRows(QStringLiteral("SELECT count(*) FROM Log")), QStringList{"0"});
}

QStringList tst_WindowDownload::fileRows(const QString &sql, const QString &path) const
{
    QStringList result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        db.setDatabaseName(path.isEmpty() ? logPath() : path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(sql)) {
                while (query.next()) {
                    QStringList columns;
                    for (int c = 0; query.value(c).isValid(); ++c)
                        columns << (query.value(c).isNull() ? QStringLiteral("NULL") : query.value(c).toString());
                    result << columns.join(QLatin1Char('|'));
                }
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return result;
}

void tst_WindowDownload::freshLogFileDownloadsEverything()
{
    createLog();
    QVERIFY(startDevice());
    action("traffic")->trigger();
    auto *monitor = window->findChild<DialogTraffic *>();
    QVERIFY(monitor->isVisible());

    bool barShown = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] { barShown = barShown || progress()->isVisible(); });
    watch.start(20);

    connectToDevice();
    QVERIFY(action("actionDownload")->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);

    // Captions came without a question, and the fingerprints after the last one.
    QCOMPARE(fileRows(QStringLiteral("SELECT count(*) FROM Events")), QStringList{"3"});
    QCOMPARE(fileRows(QStringLiteral("SELECT idHash IS NOT NULL AND captionHash IS NOT NULL FROM Info")),
             QStringList{"1"});
    // Indexes as the device numbered them: the three-position record and the gap.
    QCOMPARE(fileRows(QStringLiteral("SELECT i, count FROM Log ORDER BY id")),
             QStringList({"100|1", "101|1", "102|3", "105|1", "108|1", "109|1"}));
    QCOMPARE(table()->model()->data(table()->model()->index(1, 1)).toString(), QStringLiteral("2024-03-15 13:45:31"));

    QTRY_VERIFY_WITH_TIMEOUT(progress()->isHidden(), 5000);
    QVERIFY(barShown);
    // info, three captions, range, six records (and range re-polls since)
    QVERIFY2(sent() >= 11, qPrintable(statusText(0)));
    QVERIFY2(received() >= 11, qPrintable(statusText(1)));
    QVERIFY(action("actionDownload")->isChecked());

    const QString traffic = window->findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText();
    QVERIFY2(traffic.contains(QStringLiteral("01 42 00 10 A0")), qPrintable(traffic.left(300)));
}

void tst_WindowDownload::secondDownloadResumesAndPolls()
{
    createLog();
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--append-every"), QStringLiteral("1")}));
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(messages().size() >= 6, 20000);
    QCOMPARE(messages().mid(0, 6), BaseMessages);

    // Switched off and on: no captions again, and nothing stored twice.
    action("actionDownload")->trigger();
    QVERIFY(!action("actionDownload")->isChecked());
    QVERIFY(LogFixture::fileExec(logPath(), QStringLiteral("UPDATE Events SET caption = 'marker' WHERE id = 1")));
    const int before = messages().size();
    action("actionDownload")->trigger();
    QVERIFY(action("actionDownload")->isChecked());

    // The device keeps appending; each new record shows up within a couple of seconds.
    QTRY_VERIFY_WITH_TIMEOUT(messages().size() >= before + 2, 10000);
    const QStringList indexes = fileRows(QStringLiteral("SELECT i FROM Log ORDER BY id"));
    QCOMPARE(QSet<QString>(indexes.begin(), indexes.end()).size(), indexes.size());
    QCOMPARE(fileRows(QStringLiteral("SELECT caption FROM Events WHERE id = 1")), QStringList{"marker"});
}

void tst_WindowDownload::changedCaptionTextsAreReadWithoutAsking()
{
    createLog();
    QVERIFY(startDevice());
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);
    const QStringList oldHashes = fileRows(QStringLiteral("SELECT idHash, captionHash FROM Info"));
    action("connectButton")->trigger(); // disconnect
    device->stop();

    QString renamed = QString::fromUtf8(BaseLog);
    renamed.replace(QStringLiteral("Пуск насоса #u"), QStringLiteral("Запуск насоса #u"));
    QVERIFY(startDevice(renamed));
    // Armed only to catch a question that must not come.
    const auto question = ModalAnswer::messageBox(QMessageBox::No);
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(fileRows(QStringLiteral("SELECT caption FROM Events WHERE id = 1")),
                              QStringList{QStringLiteral("Запуск насоса #u")}, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(fileRows(QStringLiteral("SELECT idHash, captionHash FROM Info")) != oldHashes, 5000);
    const QStringList newHashes = fileRows(QStringLiteral("SELECT idHash, captionHash FROM Info"));
    QCOMPARE(newHashes.first().section('|', 0, 0), oldHashes.first().section('|', 0, 0));
    QVERIFY(!question->seen);
    ModalAnswer::reset();
    // No record came, so the table shows the new text once it is read again.
    window->refreshLogView();
    QCOMPARE(messages().first(), QStringLiteral("Запуск насоса 1"));
}

void tst_WindowDownload::changedEventSetAsksFirst_data()
{
    QTest::addColumn<bool>("agree");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
}

void tst_WindowDownload::changedEventSetAsksFirst()
{
    QFETCH(bool, agree);
    createLog();
    QVERIFY(startDevice());
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);
    const QStringList oldHashes = fileRows(QStringLiteral("SELECT idHash, captionHash FROM Info"));
    action("connectButton")->trigger();
    device->stop();

    // A new firmware: event 9 now has a caption, and two more records.
    QString changed = QString::fromUtf8(BaseLog);
    changed.replace(QStringLiteral("\"captions\": ["),
                    QStringLiteral("\"captions\": [ { \"event\": 9, \"text\": \"Смена режима\" },"));
    changed.replace(QStringLiteral("\"records\": ["),
                    QStringLiteral("\"records\": [ { \"event\": 1, \"type\": 0, \"time\": \"2024-01-01 00:00:00\", "
                                   "\"data\": \"05\" },"));
    QVERIFY(startDevice(changed));
    const auto question = ModalAnswer::messageBox(agree ? QMessageBox::Yes : QMessageBox::No);
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(question->seen, 10000);
    QCOMPARE(question->title, QStringLiteral("Обновление конфигурации журнала"));
    QCOMPARE(question->text,
             QStringLiteral("Конфигурация журнала устройства отличается от открытого журнала.\n"
                            "Обновить конфигурацию?"));
    QCOMPARE(question->icon, QMessageBox::Question);
    QCOMPARE(question->buttons, QList<QMessageBox::StandardButton>({QMessageBox::Yes, QMessageBox::No}));

    // The device's log is one record longer, and it comes either way.
    QTRY_COMPARE_WITH_TIMEOUT(messages().size(), 7, 20000);
    const QStringList newHashes = fileRows(QStringLiteral("SELECT idHash, captionHash FROM Info"));
    if (agree) {
        QVERIFY(newHashes != oldHashes);
        QCOMPARE(messages().at(3), QStringLiteral("Смена режима"));
    } else {
        QCOMPARE(newHashes, oldHashes);
        QCOMPARE(messages().at(3), QStringLiteral("Неизвестное событие"));
    }
}

void tst_WindowDownload::deviceExceptionStopsTheDownload()
{
    createLog();
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--exception"), QStringLiteral("2")}));
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(box->seen, 10000);
    QCOMPARE(box->title, QStringLiteral("Ошибка"));
    QVERIFY(!box->text.isEmpty());
    QVERIFY(!action("actionDownload")->isChecked());
    QVERIFY(action("connectButton")->isChecked());
    QCOMPARE(received(), 0);
    const int sentThen = sent();
    QTest::qWait(500); // nothing more is sent once the download is off
    QCOMPARE(sent(), sentThen);
}

void tst_WindowDownload::busyDeviceIsAskedAgain()
{
    createLog();
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--busy"), QStringLiteral("3")}));
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);
    // Every busy answer counted as received; nothing was reported.
    QVERIFY(received() >= 11 + 3);
}

void tst_WindowDownload::silentDevice()
{
    createLog();
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--silent")}));
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    connectToDevice();
    // Ten attempts one second apart.
    QTRY_VERIFY_WITH_TIMEOUT(box->seen, 20000);
    QCOMPARE(box->text, QStringLiteral("Устройство не отвечает"));
    QCOMPARE(sent(), 10);
    QVERIFY(!action("actionDownload")->isChecked());
}

void tst_WindowDownload::corruptRepliesOnlyShowInTheMonitor()
{
    createLog();
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--corrupt"), QStringLiteral("30")}));
    action("traffic")->trigger();
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 40000);
    const QString traffic = window->findChild<QTextEdit *>(QStringLiteral("textEdit"))->toHtml();
    // A reply with a bad checksum carries the error mark.
    QVERIFY(traffic.contains(QStringLiteral("delete_button_error.png")));
    QVERIFY(sent() > received());
}

void tst_WindowDownload::downloadNeedsLogFileAndPort()
{
    auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    action("actionDownload")->trigger();
    QCOMPARE(box->text, QStringLiteral("Файл журнала не открыт"));
    QVERIFY(!action("actionDownload")->isChecked());

    createLog();
    box = ModalAnswer::messageBox(QMessageBox::Ok);
    action("actionDownload")->trigger();
    QCOMPARE(box->text, QStringLiteral("Соединение не установлено"));
    QVERIFY(!action("actionDownload")->isChecked());

    box = ModalAnswer::messageBox(QMessageBox::Ok);
    action("actionClearLog")->trigger();
    QCOMPARE(box->text, QStringLiteral("Соединение не установлено"));
}

void tst_WindowDownload::connectWithoutLogFile()
{
    QVERIFY(startDevice());
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    connectToDevice();
    QCOMPARE(box->text, QStringLiteral("Файл журнала не открыт"));
    QVERIFY(!action("actionDownload")->isChecked());
    QVERIFY(action("connectButton")->isChecked());
}

void tst_WindowDownload::demoConnectsToTheNamedPort()
{
    // As the demo runs it: the demo content, a record every 5 seconds, and its
    // pseudo-terminal named in KHRONAR_PORTS; a second named port follows it.
    QVERIFY(device->start(QString(), {QStringLiteral("--append-every"), QStringLiteral("5")}, dir->path()));
    qputenv("KHRONAR_PORTS", device->path.toLocal8Bit() + ":/dev/khronar-no-such-port");
    createLog();

    // The newcomer accepts the dialog as it opens.
    QString selected;
    ModalAnswer::widget([](QWidget *top) { return qobject_cast<DialogPortSettings *>(top) != nullptr; },
                        [&selected](QWidget *top) {
                            auto *dialog = static_cast<DialogPortSettings *>(top);
                            selected = dialog->port()->currentText();
                            dialog->accept();
                        });
    action("connectButton")->trigger();
    waitForOpen();
    QCOMPARE(selected, device->path);
    QVERIFY(action("connectButton")->isChecked());
    QVERIFY(action("actionDownload")->isChecked());
    // Captions first, then the records arrive.
    QTRY_VERIFY_WITH_TIMEOUT(messages().size() >= 5, 30000);
    QVERIFY(!messages().contains(QStringLiteral("Неизвестное событие")));
}

void tst_WindowDownload::portDialogRemembersTheChoice()
{
    QVERIFY(startDevice());
    QStringList shown;
    ModalAnswer::widget([](QWidget *top) { return qobject_cast<DialogPortSettings *>(top) != nullptr; },
                        [&shown, this](QWidget *top) {
                            auto *dialog = static_cast<DialogPortSettings *>(top);
                            shown << dialog->port()->currentText() << dialog->baudrate()->currentText()
                                  << dialog->parity()->currentText() << dialog->stopBits()->currentText();
                            dialog->port()->setCurrentText(device->path);
                            dialog->baudrate()->setCurrentText(QStringLiteral("115200"));
                            dialog->stopBits()->setCurrentText(QStringLiteral("2"));
                            dialog->accept();
                        });
    const auto noLogFile = ModalAnswer::messageBox(QMessageBox::Ok);
    action("connectButton")->trigger();
    waitForOpen();
    QTRY_VERIFY_WITH_TIMEOUT(noLogFile->seen, 10000);
    QCOMPARE(shown.mid(1), QStringList({"19200", "Even", "1"}));
    QVERIFY(action("connectButton")->isChecked());

    action("connectButton")->trigger(); // disconnect
    QVERIFY(!action("connectButton")->isChecked());
    QCOMPARE(action("connectButton")->text(), QStringLiteral("Соединить"));

    shown.clear();
    ModalAnswer::widget([](QWidget *top) { return qobject_cast<DialogPortSettings *>(top) != nullptr; },
                        [&shown](QWidget *top) {
                            auto *dialog = static_cast<DialogPortSettings *>(top);
                            shown << dialog->port()->currentText() << dialog->baudrate()->currentText()
                                  << dialog->parity()->currentText() << dialog->stopBits()->currentText();
                            dialog->reject();
                        });
    action("connectButton")->trigger();
    QCOMPARE(shown, QStringList({device->path, "115200", "Even", "2"}));
    QVERIFY(!action("connectButton")->isChecked());
}

// The line's pace, asked for in the port dialog: the same log, records the device logs
// meanwhile taken in by the once-a-second poll, what the table shows is what the file
// holds once the user disconnects, and the choice is kept for the next start.
void tst_WindowDownload::linePaceReadsTheSameLogAndIsRemembered()
{
    createLog();
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--append-every"), QStringLiteral("1")}));
    const auto isPortDialog = [](QWidget *top) { return qobject_cast<DialogPortSettings *>(top) != nullptr; };
    bool offAtFirst = false;
    ModalAnswer::widget(isPortDialog, [&offAtFirst, this](QWidget *top) {
        auto *dialog = static_cast<DialogPortSettings *>(top);
        offAtFirst = !dialog->linePace()->isChecked();
        dialog->port()->setCurrentText(device->path);
        dialog->linePace()->setChecked(true);
        dialog->accept();
    });
    action("connectButton")->trigger();
    waitForOpen();
    QVERIFY(offAtFirst);
    QVERIFY(action("actionDownload")->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(messages().size() >= 8, 20000);
    QCOMPARE(messages().mid(0, 6), BaseMessages);

    action("connectButton")->trigger(); // disconnect
    QVERIFY(!action("connectButton")->isChecked());
    const QStringList stored = fileRows(QStringLiteral("SELECT count(*) FROM Log"));
    QTRY_COMPARE_WITH_TIMEOUT(QStringList{QString::number(messages().size())}, stored, 5000);

    window.reset();
    window = std::make_unique<MainWindow>();
    window->show();
    bool remembered = false;
    ModalAnswer::widget(isPortDialog, [&remembered](QWidget *top) {
        auto *dialog = static_cast<DialogPortSettings *>(top);
        remembered = dialog->linePace()->isChecked();
        dialog->reject();
    });
    action("connectButton")->trigger();
    QVERIFY(remembered);
    QVERIFY(QSettings(QStringLiteral("Tolmer"), QStringLiteral("Хронар")).value(QStringLiteral("LinePace")).toBool());

    // The tests after this one read at the window's own pace again.
    window.reset();
    QSettings(QStringLiteral("Tolmer"), QStringLiteral("Хронар")).remove(QStringLiteral("LinePace"));
}

void tst_WindowDownload::failedOpenStaysDisconnected()
{
    createLog();
    // A port the list offers but that is gone by the time it is opened.
    qputenv("KHRONAR_PORTS", QByteArray("/dev/khronar-no-such-port"));
    answerPortDialog(QStringLiteral("/dev/khronar-no-such-port"));
    action("connectButton")->trigger();
    waitForOpen();
    QVERIFY(!action("connectButton")->isChecked());
    QCOMPARE(action("connectButton")->text(), QStringLiteral("Соединить"));
    QVERIFY(!action("actionDownload")->isChecked());
    // No box, but the reason in the status bar.
    QCOMPARE(window->statusBar()->currentMessage(),
             QStringLiteral("Не удается открыть порт \"/dev/khronar-no-such-port\": порт не найден"));
}

void tst_WindowDownload::disconnectInTheMiddle()
{
    createLog();
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--delay"), QStringLiteral("300")}));
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(progress()->isVisible(), 10000);
    action("connectButton")->trigger();
    QVERIFY(!action("connectButton")->isChecked());
    QVERIFY(!action("actionDownload")->isChecked());
    QVERIFY(progress()->isHidden());
    const int sentThen = sent();
    QTest::qWait(500);
    QCOMPARE(sent(), sentThen);
}

// The same log read over a pseudo-terminal and then through a gateway: the log
// files hold the same rows.
void tst_WindowDownload::networkDownloadMatchesSerial_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("scheme");

    QTest::newRow("rtu over tcp") << QStringList{"--tcp", "0"} << "tcp://";
    QTest::newRow("modbus tcp") << QStringList{"--tcp", "0", "--mbap"} << "mbtcp://";
    // Each reply comes after a copy of the previous one, which must be dropped.
    QTest::newRow("modbus tcp, stale replies") << QStringList{"--tcp", "0", "--mbap", "--stale-reply"} << "mbtcp://";
}

void tst_WindowDownload::networkDownloadMatchesSerial()
{
    QFETCH(QStringList, options);
    QFETCH(QString, scheme);
    const QString rows = QStringLiteral("SELECT * FROM Log ORDER BY id");

    createLog(logPath(QStringLiteral("serial.db")));
    QVERIFY(startDevice());
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);
    action("connectButton")->trigger(); // disconnect
    device->stop();
    const QStringList serialRows = fileRows(rows, logPath(QStringLiteral("serial.db")));
    QCOMPARE(serialRows.size(), 6);

    createLog(logPath(QStringLiteral("network.db")));
    QVERIFY(device->start(QString::fromUtf8(BaseLog), options, dir->path()));
    QVERIFY2(device->path.startsWith(scheme), qPrintable(device->path));
    // The gateway's URL among paths, as a user lists it.
    qputenv("KHRONAR_PORTS", "/dev/khronar-no-such-port:" + device->path.toLocal8Bit() + ":/tmp/ttyV9");
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);
    QCOMPARE(fileRows(rows, logPath(QStringLiteral("network.db"))), serialRows);
    QVERIFY(action("actionDownload")->isChecked());
}

void tst_WindowDownload::refusedConnectionStaysDisconnected()
{
    createLog();
    // A port that was just served and is closed now: the connection is refused.
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--tcp"), QStringLiteral("0")}));
    device->stop();
    answerPortDialog(device->path);
    action("connectButton")->trigger();
    waitForOpen();
    QVERIFY(!action("connectButton")->isChecked());
    QCOMPARE(action("connectButton")->text(), QStringLiteral("Соединить"));
    QVERIFY(!action("actionDownload")->isChecked());
    QCOMPARE(window->statusBar()->currentMessage(),
             QStringLiteral("Не удается открыть порт \"%1\": шлюз отклонил соединение").arg(device->path));
}

// A gateway that drops the connection is not a silent device: the window reconnects by
// itself, says so beside the counters, and the download goes on where the file ends;
// no box, nothing for the user to press.
void tst_WindowDownload::lostConnectionReconnectsAndResumes()
{
    createLog();
    // Eight replies: the identity, three captions, the range and three records; then
    // the connection is closed, and the next one is accepted again.
    QVERIFY(startDevice(
        QString::fromUtf8(BaseLog),
        {QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--disconnect-after"), QStringLiteral("8")}));
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    const PauseMeter pauses;
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(linkState()->isVisible(), 20000);
    QVERIFY2(linkState()->text().startsWith(QStringLiteral("Связь потеряна, повторное подключение…")),
             qPrintable(linkState()->text()));
    QVERIFY(action("connectButton")->isChecked());
    QCOMPARE(action("connectButton")->text(), QStringLiteral("Разъединить"));
    QVERIFY(action("actionDownload")->isChecked());

    // Every connection takes eight replies: the download goes on a piece at a time.
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 60000);
    QCOMPARE(fileRows(QStringLiteral("SELECT i, count FROM Log ORDER BY id")),
             QStringList({"100|1", "101|1", "102|3", "105|1", "108|1", "109|1"}));
    qInfo("the window's longest pause: %lld ms", pauses.longestMs());
    QVERIFY2(pauses.longestMs() < windowPauseLimitMs,
             qPrintable(QStringLiteral("the window paused %1 ms").arg(pauses.longestMs())));
    // The box was armed only to catch one that must not come.
    QVERIFY(!box->seen);
    ModalAnswer::reset();
    action("connectButton")->trigger(); // disconnect before the next drop
    QVERIFY(!action("connectButton")->isChecked());
    QVERIFY(linkState()->isHidden());
}

// A USB adapter bumped out of its socket, chosen by its stable name (a link, as
// /dev/serial/by-id/... is): its port fails, the name is gone, then back on another
// device node. The window says so beside the counters, opens the same name again by
// itself, and the download goes on where the file ends: no box, nothing to press.
void tst_WindowDownload::unpluggedAdapterComesBack()
{
    createLog();
    // Slow replies, so that the adapter goes in the middle of the download.
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--delay"), QStringLiteral("150")}));
    const QString link = QDir(dir->path()).filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART-if00-port0"));
    QVERIFY(QFile::link(device->path, link));
    qputenv("KHRONAR_PORTS", link.toLocal8Bit());
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    answerPortDialog(link);
    action("connectButton")->trigger();
    waitForOpen();
    QVERIFY(action("actionDownload")->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(messages().size() >= 2, 20000);

    device->stop();
    QVERIFY(QFile::remove(link));
    QTRY_VERIFY_WITH_TIMEOUT(linkState()->isVisible(), 10000);
    QVERIFY2(linkState()->text().startsWith(QStringLiteral("Связь потеряна, повторное подключение… (")),
             qPrintable(linkState()->text()));
    // Each try while the name is gone says how many there were, and why they fail.
    QTRY_VERIFY_WITH_TIMEOUT(linkState()->text().contains(QStringLiteral("попыток: 1; порт не найден")), 10000);
    QVERIFY(action("connectButton")->isChecked());
    QVERIFY(action("actionDownload")->isChecked());

    QVERIFY(startDevice());
    QVERIFY(QFile::link(device->path, link));
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 30000);
    QVERIFY(linkState()->isHidden());
    QCOMPARE(fileRows(QStringLiteral("SELECT i, count FROM Log ORDER BY id")),
             QStringList({"100|1", "101|1", "102|3", "105|1", "108|1", "109|1"}));
    QVERIFY(!box->seen);
    ModalAnswer::reset();
}

// A gateway that never answers the handshake: the window shows that it is connecting
// and stays responsive, and pressing the button again gives up at once.
void tst_WindowDownload::silentGatewayNeverFreezesTheWindow()
{
    createLog();
    TcpListener gateway(0);
    QVERIFY(gateway.fd >= 0);
    QVERIFY(gateway.fillAcceptQueue());
    qputenv("KHRONAR_PORTS", gateway.url().toLocal8Bit());

    const PauseMeter pauses;

    answerPortDialog(gateway.url());
    action("connectButton")->trigger();
    QCOMPARE(linkState()->text(), QStringLiteral("Подключение к \"%1\"…").arg(gateway.url()));
    QVERIFY(linkState()->isVisible());
    QVERIFY(action("connectButton")->isChecked());
    QCOMPARE(action("connectButton")->text(), QStringLiteral("Разъединить"));
    // A while of the handshake going unanswered.
    QTest::qWait(1500);
    QVERIFY(linkState()->isVisible());

    OwnTime cancelling;
    action("connectButton")->trigger();
    const qint64 cancelMs = cancelling.elapsedMs();
    QVERIFY(!action("connectButton")->isChecked());
    QCOMPARE(action("connectButton")->text(), QStringLiteral("Соединить"));
    QVERIFY(linkState()->isHidden());
    // The dialog's own modal loop counts too; it answers at once.
    qInfo("the window's longest pause: %lld ms", pauses.longestMs());
    QVERIFY2(pauses.longestMs() < windowPauseLimitMs,
             qPrintable(QStringLiteral("the window paused %1 ms").arg(pauses.longestMs())));
    qInfo("cancelling took %lld ms", cancelMs);
    QVERIFY2(cancelMs < windowPauseLimitMs, qPrintable(QStringLiteral("cancelling took %1 ms").arg(cancelMs)));
    QVERIFY(!action("actionDownload")->isChecked());
}

void tst_WindowDownload::databaseErrorStopsTheDownload()
{
    createLog();
    QVERIFY(startDevice());
    // The log table dropped behind the tool's back.
    QVERIFY(LogFixture::fileExec(logPath(), QStringLiteral("DROP TABLE Log")));
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(box->seen, 20000);
    QVERIFY2(box->text.contains(QStringLiteral("Log")), qPrintable(box->text));
    QVERIFY(!action("actionDownload")->isChecked());
}

void tst_WindowDownload::fileThatIsNoLogStopsTheDownload_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("error"); // part of what the download reports

    using namespace NotLogFiles;
    QTest::newRow("empty file") << int(Empty) << "no such table: Info";
    QTest::newRow("text file") << int(Text) << "file is not a database";
    QTest::newRow("SQLite header, then garbage") << int(GarbageAfterHeader) << "file is not a database";
    QTest::newRow("another program's database") << int(OtherDatabase) << "no such table: Info";
    QTest::newRow("log file without Events") << int(LogWithoutEvents) << "no such table: Events";
    QTest::newRow("locked by another program") << int(LockedLog) << "database is locked";
}

void tst_WindowDownload::fileThatIsNoLogStopsTheDownload()
{
    QFETCH(int, kind);
    QFETCH(QString, error);
    const NotLogFiles::NotLogFile made(NotLogFiles::Kind(kind), logPath());
    QVERIFY(made.ready());
    ModalAnswer::fileDialog(logPath());
    action("actionOpen")->trigger();
    QCOMPARE(table()->model()->rowCount(), 0);

    QVERIFY(startDevice());
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(box->seen, 20000);
    QCOMPARE(box->title, QStringLiteral("Ошибка"));
    QVERIFY2(box->text.contains(error), qPrintable(box->text));
    QVERIFY(!action("actionDownload")->isChecked());
    QVERIFY(action("connectButton")->isChecked());
}

void tst_WindowDownload::unreadableViewKeepsTheDownloadGoing()
{
    createLog();
    QVERIFY(startDevice(QString::fromUtf8(BaseLog), {QStringLiteral("--append-every"), QStringLiteral("1")}));
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);

    // The captions dropped behind the tool's back: the view's query fails from now
    // on, while new records are still stored.
    QVERIFY(LogFixture::fileExec(logPath(), QStringLiteral("DROP TABLE Events")));
    const auto unwanted = ModalAnswer::messageBox(QMessageBox::Ok);
    const int stored = fileRows(QStringLiteral("SELECT count(*) FROM Log")).value(0).toInt();
    QTRY_VERIFY_WITH_TIMEOUT(fileRows(QStringLiteral("SELECT count(*) FROM Log")).value(0).toInt() >= stored + 2,
                             10000);
    QCOMPARE(messages(), QStringList());
    QVERIFY2(!unwanted->seen, qPrintable(unwanted->text));
    ModalAnswer::reset();
    QVERIFY(action("actionDownload")->isChecked());
}

void tst_WindowDownload::clearEmptiesTheDeviceLog()
{
    createLog();
    QVERIFY(startDevice());
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);

    // Every request has had its answer, so the next one counted is the clear's.
    QTRY_COMPARE_WITH_TIMEOUT(received(), sent(), 5000);
    action("actionClearLog")->trigger();
    QVERIFY(!action("actionDownload")->isChecked());
    const int sentBefore = sent();
    // Wait for the device's answer, not only for the request to leave: closing
    // the port while the request is still in the line's buffer can lose it.
    QTRY_VERIFY_WITH_TIMEOUT(sent() == sentBefore + 1 && received() == sent(), 5000);

    // A fresh file now gets nothing from the device.
    expectEmptyDeviceLog();
}

// Forty records of one event, indexes 500 to 539, for a download long enough to
// interrupt.
QString longLog()
{
    QString records;
    for (int n = 0; n < 40; ++n)
        records += QStringLiteral("%1{ \"event\": 1, \"time\": %2, \"data\": \"%3\" }")
                       .arg(n ? QStringLiteral(",\n") : QString())
                       .arg(763825530 + n)
                       .arg(n % 256, 2, 16, QLatin1Char('0'));
    return QStringLiteral("{ \"firstIndex\": 500, \"captions\": [ { \"event\": 1, \"text\": \"Пуск #u\" } ],\n"
                          "  \"records\": [\n")
        + records + QStringLiteral("\n] }");
}

void tst_WindowDownload::clearWhileRecordsArrive()
{
    createLog();
    // Replies come a little later than usual, so that one is often on its way when
    // the user clears.
    QVERIFY(startDevice(longLog(), {QStringLiteral("--delay"), QStringLiteral("40")}));
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(fileRows(QStringLiteral("SELECT count(*) FROM Log")).value(0).toInt() >= 8, 20000);

    action("actionClearLog")->trigger();
    QVERIFY(!action("actionDownload")->isChecked());
    // The clear goes out once the line is free and is answered; no box comes up.
    const int sentBefore = sent();
    QTRY_VERIFY_WITH_TIMEOUT(sent() == sentBefore + 1, 5000);
    QTest::qWait(1000);
    QCOMPARE(sent(), sentBefore + 1);
    const QStringList stored = fileRows(QStringLiteral("SELECT i FROM Log ORDER BY id"));
    QVERIFY(stored.size() >= 8 && stored.size() < 40);
    for (int n = 0; n < stored.size(); ++n)
        QCOMPARE(stored.at(n).toInt(), 500 + n); // an exact prefix, nothing twice

    // The device's log is empty now: a download on the same file reads nothing more,
    // and neither does one into a fresh file.
    action("actionDownload")->trigger();
    QVERIFY(action("actionDownload")->isChecked());
    QTest::qWait(2500);
    QCOMPARE(fileRows(QStringLiteral("SELECT i FROM Log ORDER BY id")), stored);
    expectEmptyDeviceLog();
}

void tst_WindowDownload::boxesHoldThePollCycle()
{
    createLog();
    QVERIFY(startDevice());
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);
    action("connectButton")->trigger();
    device->stop();

    QString changed = QString::fromUtf8(BaseLog);
    changed.replace(QStringLiteral("\"captions\": ["),
                    QStringLiteral("\"captions\": [ { \"event\": 9, \"text\": \"Смена режима\" },"));
    QVERIFY(startDevice(changed));

    // The question stays open for a second: ten timer intervals in which nothing
    // else may happen.
    int sentWhileAsked = -1;
    int rowsWhileAsked = -1;
    ModalAnswer::widget([](QWidget *top) { return qobject_cast<QMessageBox *>(top) != nullptr; },
                        [&](QWidget *top) {
                            const int sentThen = sent();
                            const int rowsThen = messages().size();
                            QTest::qWait(1000);
                            sentWhileAsked = sent() - sentThen;
                            rowsWhileAsked = messages().size() - rowsThen;
                            static_cast<QMessageBox *>(top)->button(QMessageBox::No)->click();
                        });
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(sentWhileAsked >= 0, 10000);
    QCOMPARE(sentWhileAsked, 0);
    QCOMPARE(rowsWhileAsked, 0);
    QCOMPARE(window->findChildren<QMessageBox *>().size(), 0);
    // And the download goes on after the answer.
    QTRY_VERIFY_WITH_TIMEOUT(sent() > 0 && progress()->isHidden() && received() >= 3, 10000);
}

// A download writes into one log file: while connected, logs are not added to the one
// it writes to, and it goes on; disconnected, they are. Connected again with several
// shown, the download that a connect starts says to open one, and writes nowhere.
void tst_WindowDownload::severalLogsWaitForTheDisconnect()
{
    createLog();
    QVERIFY(startDevice());
    connectToDevice();
    QTRY_COMPARE_WITH_TIMEOUT(messages(), BaseMessages, 20000);
    QVERIFY(action("actionDownload")->isChecked());

    const QStringList others = {logPath(QStringLiteral("ввод-1.db")), logPath(QStringLiteral("ввод-2.db"))};
    for (int d = 0; d < others.size(); ++d)
        QCOMPARE(StationLogs::makeLogFile(others[d], 50, quint32(d + 1), LogFixture::March15th2024), QString());
    const QString picked = QStringLiteral("\"%1\" \"%2\"").arg(others[0], others[1]);
    const auto refused = ModalAnswer::messageBox(QMessageBox::Ok);
    ModalAnswer::fileDialog(picked);
    action("actionAddLog")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(refused->seen, 20000);
    QCOMPARE(refused->text,
             QStringLiteral("Несколько журналов можно показать вместе, только когда соединение с "
                            "устройством разорвано"));
    QCOMPARE(table()->model()->columnCount(), 4);
    QVERIFY(action("actionDownload")->isChecked());

    action("connectButton")->trigger();
    QVERIFY(!action("connectButton")->isChecked());
    ModalAnswer::fileDialog(picked);
    action("actionAddLog")->trigger();
    QTRY_COMPARE_WITH_TIMEOUT(table()->model()->columnCount(), 5, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(table()->model()->rowCount(), BaseMessages.size() + 100, 20000);
    const int stored = fileRows(QStringLiteral("SELECT count(*) FROM Log")).value(0).toInt();

    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    connectToDevice();
    QTRY_VERIFY_WITH_TIMEOUT(box->seen, 20000);
    QCOMPARE(box->text,
             QStringLiteral("Показаны несколько журналов: загрузка пишет в один файл журнала, откройте его"));
    QVERIFY(!action("actionDownload")->isChecked());
    QCOMPARE(fileRows(QStringLiteral("SELECT count(*) FROM Log")).value(0).toInt(), stored);
}

QTEST_MAIN(tst_WindowDownload)
#include "tst_windowdownload.moc"
