// The main window: its construction, the log file commands, and the slots that steer
// the download engine and show what it reports.

#include "app/mainwindow.h"
#include "download/transfercallbacks.h"
#include "ui_mainwindow.h"

#include "presentation/csvexport.h"
#include "dialogs/dialogportsettings.h"
#include "dialogs/dialogtraffic.h"
#include "app/applicationicon.h"
#include "app/errorbox.h"
#include "app/identity.h"
#include "store/logfile.h"
#include "store/logimport.h"
#include "store/logschema.h"
#include "presentation/logviewmodel.h"
#include "ports/portsettings.h"
#include "serial/porterror.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

MainWindow *theMainWindow = nullptr;

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      settings(nullptr),
      model(nullptr),
      trafficDialog(nullptr),
      baudIndex(5),
      parityIndex(2),
      stopBitsIndex(0),
      deviceIdHash(0),
      deviceCaptionHash(0),
      deviceCaptionCount(0),
      addressLabel(nullptr),
      deviceAddressSpinBox(nullptr),
      terminalStorage{},
      terminal(terminalStorage, sizeof terminalStorage, ComHalfDuplexTerminal::WindowGapTicks),
      transfer(),
      logFunctionEntry(),
      master(),
      modbusTimer(nullptr),
      requestTimer(nullptr),
      sentCount(0),
      sentLabel(nullptr),
      receivedCount(0),
      receivedLabel(nullptr),
      progressBar(nullptr),
      progressMaximum(0),
      downloadObserver(*this),
      engine(terminal, master, transfer, downloadObserver)
{
    forwardTransferCallbacks<MainWindow, theMainWindow>(transfer);
    // Its own defaults are the first state: nothing pending, ten attempts a request,
    // 1000 ms for each reply.

    logFunctionEntry = transfer.functionHandler();
    master.deviceAddress = 1;
    master.handlerTable = &logFunctionEntry;
    master.currentEntry = nullptr;
    master.entryCount = 1;

    modbusTimer = new QTimer;
    requestTimer = new QTimer;

    theMainWindow = this;

    ui->setupUi(this);
    setWindowIcon(withApplicationIconSizes(windowIcon()));

    const std::wstring executable = QCoreApplication::applicationFilePath().toStdWString();
    productName = identityString(executable, L"ProductName", IdentityTranslation);
    internalName = identityString(executable, L"InternalName", IdentityTranslation);
    setWindowTitle(QString::fromStdWString(productName + L" " + internalName));

    settings = new QSettings(QStringLiteral("Tolmer"), QString::fromStdWString(productName));
    dirOpen = settings->value(QStringLiteral("DirOpen")).toString();
    dirSave = settings->value(QStringLiteral("DirSave")).toString();

    database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    importer.setDatabase(database);

    setupAddressWidgets();
    setupStatusBar();

    connect(modbusTimer, &QTimer::timeout, this, &MainWindow::modbusTimerUpdate);
    modbusTimer->setInterval(100);
    modbusTimer->start();
    connect(requestTimer, &QTimer::timeout, this, &MainWindow::requestTimerUpdate);
    requestTimer->setInterval(1000);
    requestTimer->start();

    trafficDialog = new DialogTraffic(this);
    connect(trafficDialog, &QDialog::finished, this, &MainWindow::on_dialogTrafficFinished);

    // The table stays without a model, and empty, until a log file is created or opened.
    model = new LogViewModel(this);
}

MainWindow::~MainWindow()
{
    delete ui;
    // The worker must be gone before anything it could touch: the storage is ours.
    terminal.close();
    delete requestTimer;
    delete modbusTimer;
    // Deleting the store flushes what the commands wrote during this run.
    delete settings;
}

void MainWindow::setupAddressWidgets()
{
    addressLabel = new QLabel(this);
    addressLabel->setText(QStringLiteral("Адрес: "));
    ui->toolBar->insertWidget(ui->actionDownload, addressLabel);

    deviceAddressSpinBox = new QSpinBox(this);
    deviceAddressSpinBox->setRange(1, 255);
    deviceAddressSpinBox->setValue(1);
    connect(deviceAddressSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::on_deviceAddressSpinBox_valueChanged);

    ui->toolBar->insertWidget(ui->actionDownload, deviceAddressSpinBox);
    ui->toolBar->insertSeparator(ui->actionDownload);
}

void MainWindow::setupStatusBar()
{
    sentLabel = new QLabel;
    updateSentLabel();
    ui->statusBar->addWidget(sentLabel, 0);

    receivedLabel = new QLabel;
    updateReceivedLabel();
    ui->statusBar->addWidget(receivedLabel, 0);

    progressBar = new QProgressBar;
    progressBar->hide();
    ui->statusBar->addWidget(progressBar, 0);
}

void MainWindow::updateSentLabel()
{
    sentLabel->setText(QStringLiteral("Отправлено пакетов: ") + QString::number(sentCount));
}

void MainWindow::updateReceivedLabel()
{
    receivedLabel->setText(QStringLiteral("Принято пакетов: ") + QString::number(receivedCount));
}

void MainWindow::on_deviceAddressSpinBox_valueChanged(int value)
{
    // Nothing to do here: the address reaches the master only when a download
    // starts, and a clear goes to the address the master already holds.
    Q_UNUSED(value)
}

void MainWindow::on_traffic_triggered(bool checked)
{
    trafficDialog->setVisible(checked);
}

void MainWindow::on_dialogTrafficFinished(int result)
{
    // Closed by the user: the action keeps showing whether the monitor is open.
    Q_UNUSED(result)
    ui->traffic->setChecked(false);
}

void MainWindow::rememberDirectory(QString &directory, const QString &key, const QString &chosenFile)
{
    directory = QFileInfo(chosenFile).absolutePath();
    settings->setValue(key, directory);
}

void MainWindow::on_actionCreate_triggered()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Создать файл журнала"), dirOpen,
                                                      QStringLiteral("Файлы журнала (*.db)"));
    if (path.isEmpty())
        return;
    rememberDirectory(dirOpen, QStringLiteral("DirOpen"), path);

    const LogFileOutcome outcome = createLogFile(database, path);
    if (!outcome.ok) {
        showErrorBox(this, outcome.message);
        return;
    }
    refreshLogView();
}

void MainWindow::on_actionOpen_triggered()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Открыть файл журнала"), dirOpen,
                                                      QStringLiteral("Файлы журнала (*.db)"));
    if (path.isEmpty())
        return;
    rememberDirectory(dirOpen, QStringLiteral("DirOpen"), path);

    const LogFileOutcome outcome = openLogFile(database, path);
    if (!outcome.ok) {
        showErrorBox(this, outcome.message);
        return;
    }
    refreshLogView();
}

void MainWindow::refreshLogView()
{
    model->setQuery(LogViewSql, QSqlDatabase());
    ui->tableView->setModel(model);
    // A file that is not a log file, or one locked by another program, fails the
    // query: the model then has no columns at all and the view shows nothing. The
    // steps below touch only the columns there are.
    const int columns = model->columnCount();
    if (columns > 3)
        ui->tableView->hideColumn(3);
    ui->tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui->tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    ui->tableView->resizeColumnsToContents();
    if (columns > 2)
        ui->tableView->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    ui->tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->tableView->horizontalHeader()->setStretchLastSection(true);
}

void MainWindow::on_exportLog_triggered()
{
    if (!database.isOpen()) {
        showErrorBox(this, QStringLiteral("Файл журнала не открыт"));
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Экспортировать журнал"), dirSave,
                                                      QStringLiteral("Файл таблицы (*.csv)"));
    if (path.isEmpty())
        return;
    rememberDirectory(dirSave, QStringLiteral("DirSave"), path);

    // A file that cannot be written is reported: the user asked for it and would
    // otherwise find nothing there, or half a table.
    QString queryError;
    const bool written = exportLogCsvFile(database, path, &queryError);
    // A log that cannot be read (not a log file, locked by another program) is the
    // database's error; an empty table would pass for an empty log.
    if (!queryError.isEmpty()) {
        showErrorBox(this, queryError);
        return;
    }
    if (!written)
        showErrorBox(this, QStringLiteral("Не удается записать файл \"") + path + QLatin1Char('"'));
}

// ---------------------------------------------------------------------------
// Connect, download and clear: the poll cycle.
//
//   100 ms tick: FrameReady? ─► master.processReply ─► transfer ─► import callbacks
//                     └─► traffic monitor          ─► releaseFrame
//                then: master.buildRequest ─► traffic monitor ─► claim, copy, commit
//                                                                  └─► worker sends it
//   1000 ms tick: transfer Idle ─► ReadRange (look for new records)
// ---------------------------------------------------------------------------

void MainWindow::on_connectButton_triggered()
{
    if (!terminal.isOpen()) {
        DialogPortSettings dialog(this);
        dialog.port()->setCurrentText(portName);
        dialog.baudrate()->setCurrentIndex(baudIndex);
        dialog.parity()->setCurrentIndex(parityIndex);
        dialog.stopBits()->setCurrentIndex(stopBitsIndex);
        if (dialog.exec() == QDialog::Accepted && dialog.port()->currentIndex() != -1) {
            portName = dialog.port()->currentText();
            baudIndex = dialog.baudrate()->currentIndex();
            parityIndex = dialog.parity()->currentIndex();
            stopBitsIndex = dialog.stopBits()->currentIndex();
            if (terminal.open(portName.toUtf8().toStdString(), BaudRates[baudIndex], ParityCodes[parityIndex],
                              StopBitsCodes[stopBitsIndex])) {
                ui->statusBar->clearMessage();
                // Shown as connected before the download starts: its start may
                // stop at a box ("Файл журнала не открыт") with the port open.
                updateConnectButton();
                ui->actionDownload->setChecked(true);
                on_actionDownload_triggered(true);
            } else {
                // No box, but the reason, for ten seconds: the message hides the counters.
                ui->statusBar->showMessage(
                    QString::fromStdString(portOpenFailureText(portName.toStdString(), terminal.openError())), 10000);
            }
        }
    } else {
        engine.stop();
        terminal.close();
        ui->actionDownload->setChecked(false);
        updateProgress();
    }
    updateConnectButton();
}

void MainWindow::updateConnectButton()
{
    const bool open = terminal.isOpen();
    ui->connectButton->setChecked(open);
    // The icon follows the checked state: the form gives the action an On and an Off image.
    ui->connectButton->setText(open ? QStringLiteral("Разъединить") : QStringLiteral("Соединить"));
}

void MainWindow::on_actionDownload_triggered(bool checked)
{
    engine.stop();
    updateProgress();
    if (!checked)
        return;
    if (!database.isOpen()) {
        failDownload(QStringLiteral("Файл журнала не открыт"));
    } else if (!terminal.isOpen()) {
        failDownload(QStringLiteral("Соединение не установлено"));
    } else {
        engine.start(static_cast<std::uint8_t>(deviceAddressSpinBox->value()));
    }
}

void MainWindow::on_actionClearLog_triggered()
{
    stopDownload();
    if (!terminal.isOpen()) {
        showErrorBox(this, QStringLiteral("Соединение не установлено"));
        return;
    }
    engine.clear();
}

void MainWindow::stopDownload()
{
    engine.stop();
    ui->actionDownload->setChecked(false);
    updateProgress();
}

void MainWindow::failDownload(const QString &message)
{
    stopDownload();
    showErrorBox(this, message);
}

void MainWindow::updateProgress()
{
    const std::uint32_t remaining = engine.remaining();
    if (remaining != 0) {
        if (progressMaximum < remaining)
            progressMaximum = remaining;
        // The bar counts in int; a range past INT_MAX is scaled down to fit.
        const int shift = progressMaximum > 0x7FFFFFFFu ? 1 : 0;
        progressBar->setRange(0, int(progressMaximum >> shift));
        progressBar->setValue(int((progressMaximum - remaining) >> shift));
        progressBar->show();
    } else {
        progressBar->hide();
        progressMaximum = 0;
    }
}

void MainWindow::showFrame(const std::uint8_t *bytes, unsigned length, std::uint8_t code, bool sent)
{
    trafficDialog->appendPacket(packetToHtml(bytes, length, code, sent));
}

void MainWindow::modbusTimerUpdate()
{
    engine.tick();
}

void MainWindow::requestTimerUpdate()
{
    engine.repoll();
}

bool WindowDownloadObserver::downloadWanted() const
{
    return window.ui->actionDownload->isChecked();
}

void WindowDownloadObserver::frameReceived(const std::uint8_t *bytes, std::size_t length, std::uint8_t code)
{
    window.showFrame(bytes, unsigned(length), code, false);
}

void WindowDownloadObserver::frameBuilt(const std::uint8_t *bytes, std::size_t length)
{
    window.showFrame(bytes, unsigned(length), 0, true);
}

void WindowDownloadObserver::requestSent()
{
    ++window.sentCount;
    window.updateSentLabel();
}

void WindowDownloadObserver::replyCounted()
{
    ++window.receivedCount;
    window.updateReceivedLabel();
}

void WindowDownloadObserver::progressChanged(std::uint32_t)
{
    window.updateProgress();
}

void WindowDownloadObserver::downloadStopped(DownloadStop reason, std::uint8_t exceptionCode)
{
    if (reason == DownloadStop::NoReply)
        window.failDownload(QStringLiteral("Устройство не отвечает"));
    else
        window.failDownload(QString::fromUtf8(modbusExceptionMessage(exceptionCode)));
}

// ---------------------------------------------------------------------------
// The import: what the transfer reads goes into the open log file.
// ---------------------------------------------------------------------------

bool MainWindow::importLogInfo(std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash)
{
    deviceCaptionCount = count;
    deviceIdHash = idHash;
    deviceCaptionHash = captionHash;

    switch (importer.takeInfo(count, idHash, captionHash)) {
    case LogImporter::InfoVerdict::Failed:
        failDownload(importer.error());
        return false;
    case LogImporter::InfoVerdict::SkipCaptions:
        return false;
    case LogImporter::InfoVerdict::ReadCaptions:
        return true;
    case LogImporter::InfoVerdict::AskUser: {
        QMessageBox question(QMessageBox::Question, QStringLiteral("Обновление конфигурации журнала"),
                             QStringLiteral("Конфигурация журнала устройства отличается от открытого журнала.\n"
                                            "Обновить конфигурацию?"),
                             QMessageBox::Yes | QMessageBox::No, this);
        if (question.exec() == QMessageBox::No)
            return false;
        break;
    }
    case LogImporter::InfoVerdict::NewConfiguration:
        break;
    }
    reportStoreFailure(importer.acceptConfiguration());
    return true;
}

void MainWindow::importCaption(std::uint16_t position, std::uint32_t eventId, const char *caption)
{
    reportStoreFailure(importer.storeCaption(position, eventId, caption));
}

std::uint32_t MainWindow::resumeIndex(std::uint32_t first, std::uint32_t span)
{
    const ResumePoint resume = importer.resumeIndex(first, span);
    reportStoreFailure(resume.outcome);
    return resume.index;
}

void MainWindow::importRecord(std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t deviceTime,
                              std::uint32_t eventId, const std::uint8_t *data, std::int32_t length)
{
    if (reportStoreFailure(importer.storeRecord(index, count, type, deviceTime, eventId, data, length)))
        refreshLogView();
}

void MainWindow::updateInfoHashes()
{
    reportStoreFailure(importer.writeFingerprints());
}

bool MainWindow::reportStoreFailure(const StoreOutcome &outcome)
{
    if (!outcome.ok)
        failDownload(outcome.error);
    return outcome.ok;
}
