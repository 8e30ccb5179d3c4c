// The main window: its construction, the log file commands, and the slots that steer
// the download engine and show what it reports.

#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/applicationicon.h"
#include "app/errorbox.h"
#include "app/identity.h"
#include "dialogs/dialogclockoffset.h"
#include "dialogs/dialogopenserver.h"
#include "dialogs/dialogportsettings.h"
#include "dialogs/dialogtraffic.h"
#include "link/porterror.h"
#include "logaccess/clockoffsets.h"
#include "logaccess/logchangewatch.h"
#include "logaccess/logexport.h"
#include "logaccess/logopener.h"
#include "logaccess/mergedlogs.h"
#include "logaccess/openlog.h"
#include "logview/logfilterbar.h"
#include "logview/logtimelinestrip.h"
#include "logview/logviewcontroller.h"
#include "logview/logviewmodel.h"
#include "portlist/portsettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QSet>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <chrono>

namespace {

// A first look at a merge holds about this many records, whatever the number of logs
// (each log's newest of them), and always a screenful of each.
constexpr int FirstLookRecords = 4096;
constexpr int FirstLookRecordsPerLog = 64;

int firstLookRecordsPerLog(int logs)
{
    return std::max(FirstLookRecordsPerLog, FirstLookRecords / std::max(logs, 1));
}

// Frames kept for the traffic monitor between two of its updates at the line's pace:
// more than its document holds before it is emptied.
constexpr int MaxPendingTrafficLines = 400;

// How long records gather at the line's pace before they are committed and shown.
constexpr std::chrono::milliseconds LineBatchInterval(250);

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      settings(nullptr),
      model(nullptr),
      filterBar(nullptr),
      timelineStrip(nullptr),
      logView(nullptr),
      trafficDialog(nullptr),
      baudIndex(5),
      parityIndex(2),
      stopBitsIndex(0),
      addressLabel(nullptr),
      deviceAddressSpinBox(nullptr),
      modbusTimer(nullptr),
      requestTimer(nullptr),
      sentCount(0),
      sentLabel(nullptr),
      receivedCount(0),
      receivedLabel(nullptr),
      progressBar(nullptr),
      linkState(nullptr),
      progressMaximum(0),
      logExport(nullptr),
      exportProgress(nullptr),
      exportCancel(nullptr),
      logOpener(nullptr),
      serverRefreshTimer(nullptr),
      mergedGrowthTimer(nullptr),
      changeWatch(nullptr),
      serverRetryTimer(nullptr),
      serverRetries(0),
      serverViewLost(false),
      countersTimer(nullptr),
      trafficTimer(nullptr),
      downloadHost(*this),
      linePace(false)
{
    modbusTimer = new QTimer;
    requestTimer = new QTimer;

    ui->setupUi(this);
    setWindowIcon(withApplicationIconSizes(windowIcon()));

    const std::wstring executable = QCoreApplication::applicationFilePath().toStdWString();
    productName = identityString(executable, L"ProductName", IdentityTranslation);
    internalName = identityString(executable, L"InternalName", IdentityTranslation);
    setWindowTitle(QString::fromStdWString(productName + L" " + internalName));

    settings = new QSettings(QStringLiteral("Tolmer"), QString::fromStdWString(productName));
    dirOpen = settings->value(QStringLiteral("DirOpen")).toString();
    dirSave = settings->value(QStringLiteral("DirSave")).toString();

    linePace = settings->value(QStringLiteral("LinePace"), false).toBool();
    download = makeDownload(linePace);

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
    filterBar = new LogFilterBar(ui->centralwidget);
    ui->verticalLayout->insertWidget(0, filterBar);
    timelineStrip = new LogTimelineStrip(ui->centralwidget);
    ui->verticalLayout->insertWidget(1, timelineStrip);
    logView = new LogViewController(this, ui->tableView, model, filterBar, timelineStrip);
    ui->tableView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->tableView, &QWidget::customContextMenuRequested, this, &MainWindow::showTableMenu);

    logExport = new LogExport(this);
    connect(logExport, &LogExport::progressed, exportProgress, &QProgressBar::setValue);
    connect(logExport, &LogExport::finished, this, &MainWindow::exportFinished);
    connect(exportCancel, &QToolButton::clicked, logExport, &LogExport::cancel);

    logOpener = new LogOpener(this);
    // What collectors store while a server's device is shown comes in as a download's
    // records do, at the pace the device is asked for new ones.
    trafficTimer = new QTimer(this);
    trafficTimer->setSingleShot(true);
    trafficTimer->setInterval(100);
    connect(trafficTimer, &QTimer::timeout, this, [this] {
        trafficDialog->appendPackets(pendingTraffic);
        pendingTraffic.clear();
    });

    countersTimer = new QTimer(this);
    countersTimer->setSingleShot(true);
    countersTimer->setInterval(100);
    connect(countersTimer, &QTimer::timeout, this, [this] {
        updateSentLabel();
        updateReceivedLabel();
        updateProgress();
    });

    serverRefreshTimer = new QTimer(this);
    serverRefreshTimer->setInterval(1000);
    connect(serverRefreshTimer, &QTimer::timeout, this, &MainWindow::refreshLogView);
    // Merged logs take in what a collector or khronar-fetch stores into them meanwhile.
    mergedGrowthTimer = new QTimer(this);
    mergedGrowthTimer->setInterval(1000);
    connect(mergedGrowthTimer, &QTimer::timeout, this, &MainWindow::growMergedLogs);
    // Where the server announces them, they come in as soon as they are committed.
    changeWatch = new LogChangeWatch(this);
    connect(changeWatch, &LogChangeWatch::changed, this, &MainWindow::refreshLogView);
    // A server gone under the view: it keeps what it shows and comes back by itself.
    connect(model, &LogViewModel::storeUnreachable, this, [this](const QString &error) {
        serverViewLost = true;
        retryServer(StoreError{StoreError::Kind::Unreachable, QString(), error});
    });
    serverRetryTimer = new QTimer(this);
    serverRetryTimer->setSingleShot(true);
    connect(serverRetryTimer, &QTimer::timeout, this, [this] {
        if (!serverLogShown())
            return;
        if (serverViewLost)
            reopenServerView();
        else if (ui->actionDownload->isChecked() && log->store() == nullptr)
            startServerDownload();
    });
}

std::unique_ptr<LogDownload> MainWindow::makeDownload(bool atLinePace)
{
    // The window's own pace: a frame ends after ten empty reads, a request every 100 ms.
    // The line's: a frame ends after the line's silence and the next request goes out
    // as soon as the reply is taken, as khronar-fetch reads.
    auto made = std::make_unique<LogDownload>(downloadHost, atLinePace ? DownloadPace::Line : DownloadPace::Window);
    // A background open that has ended is taken in at once, not at the next tick.
    made->setOpenWake([this] {
        QMetaObject::invokeMethod(
            this, [this] { download->pollLink(); }, Qt::QueuedConnection);
    });
    if (atLinePace) {
        made->setFrameWake([this] {
            QMetaObject::invokeMethod(
                this, [this] { lineTick(); }, Qt::QueuedConnection);
        });
        // A record a commit would cost the line its pace on a slow disk or a distant
        // server; the table takes them in a batch at a time, four times a second.
        made->setBatchInterval(LineBatchInterval);
    }
    return made;
}

MainWindow::~MainWindow()
{
    // The port first: its worker must be gone before anything it could touch. Then what
    // a batch of the line's pace holds is committed, while the log and the table are
    // still there.
    download->closePort();
    download->flush();
    // A server's store writes what the download queued on its own thread: it is let go
    // here, and the window is gone only once it is written.
    download->setStore(nullptr);
    log.reset();
    QueuedLogStore::finishAll();
    delete ui;
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
    // The address reaches the master only when a download starts, and a clear goes to
    // the address the master already holds: nothing listens to the box's changes.

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

    linkState = new QLabel;
    linkState->setObjectName(QStringLiteral("linkState"));
    linkState->hide();
    ui->statusBar->addPermanentWidget(linkState, 0);

    exportProgress = new QProgressBar;
    exportProgress->setObjectName(QStringLiteral("exportProgress"));
    exportProgress->setFormat(QStringLiteral("Экспорт журнала: %v из %m"));
    exportProgress->hide();
    ui->statusBar->addPermanentWidget(exportProgress, 0);
    exportCancel = new QToolButton;
    exportCancel->setObjectName(QStringLiteral("exportCancel"));
    exportCancel->setText(QStringLiteral("Отменить"));
    exportCancel->setToolTip(QStringLiteral("Отменить экспорт журнала"));
    exportCancel->hide();
    ui->statusBar->addPermanentWidget(exportCancel, 0);
}

void MainWindow::updateSentLabel()
{
    sentLabel->setText(QStringLiteral("Отправлено пакетов: ") + QString::number(sentCount));
}

void MainWindow::updateReceivedLabel()
{
    receivedLabel->setText(QStringLiteral("Принято пакетов: ") + QString::number(receivedCount));
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

    leaveServerLog();
    // The log shown lets go of its file first: it may be the one about to be replaced.
    closeLog();
    StoreResult<std::unique_ptr<OpenLog>> created = OpenLog::create(path);
    if (!created) {
        showErrorBox(this, created.error().text);
        return;
    }
    showLog(std::move(created).value());
}

void MainWindow::on_actionOpen_triggered()
{
    const QStringList paths = QFileDialog::getOpenFileNames(this, QStringLiteral("Открыть файл журнала"), dirOpen,
                                                            QStringLiteral("Файлы журнала (*.db)"));
    if (paths.isEmpty())
        return;
    rememberDirectory(dirOpen, QStringLiteral("DirOpen"), paths.first());
    if (paths.size() == 1)
        openLogFile(paths.first());
    else
        showLogFiles(paths);
}

void MainWindow::openLogFile(const QString &path)
{
    // The log shown stays when this one cannot be opened.
    StoreResult<std::unique_ptr<OpenLog>> opened = OpenLog::open(LogLocation::file(path), OpenLog::Purpose::View);
    if (!opened) {
        showErrorBox(this, opened.error().text);
        return;
    }
    leaveServerLog();
    closeLog();
    showLog(std::move(opened).value());
}

void MainWindow::on_actionAddLog_triggered()
{
    const QStringList added = QFileDialog::getOpenFileNames(this, QStringLiteral("Добавить журнал"), dirOpen,
                                                            QStringLiteral("Файлы журнала (*.db)"));
    if (added.isEmpty())
        return;
    rememberDirectory(dirOpen, QStringLiteral("DirOpen"), added.first());
    if (serverLogShown() || (mergedFile && mergedFile->onServer())) {
        showErrorBox(this, QStringLiteral("Журнал с сервера нельзя показать вместе с файлами журнала"));
        return;
    }
    showLogFiles(logFilesWithAdded(shownLogFiles(), added));
}

void MainWindow::on_actionCloseLogs_triggered()
{
    // A download has nowhere to write once no log is shown.
    if (ui->actionDownload->isChecked())
        stopDownload();
    leaveServerLog();
    closeLog();
}

QStringList MainWindow::shownLogFiles() const
{
    if (mergedFile)
        return mergedFile->sources(); // none for a server's devices
    if (log && !log->location().onServer)
        return {log->location().path};
    return {};
}

void MainWindow::showLogFiles(const QStringList &picked)
{
    // The devices by name, as the rows of one time order them: the file dialog gives
    // several files in whatever order it has them, and the same files shown again keep
    // their places in the device list and their colours on the timeline.
    QStringList paths = picked;
    std::stable_sort(paths.begin(), paths.end(), [](const QString &a, const QString &b) {
        return MergedLogs::deviceNameOfFile(a) < MergedLogs::deviceNameOfFile(b);
    });
    if (paths == shownLogFiles())
        return;
    if (paths.size() == 1) {
        openLogFile(paths.first());
        return;
    }
    mergeLogFiles(paths, true);
}

void MainWindow::mergeLogFiles(const QStringList &paths, bool firstLook)
{
    if (refuseMergeWhileConnected())
        return;
    ui->statusBar->showMessage(QStringLiteral("Журналы объединяются…"));
    merging = true;
    const FileClockOffsets kept(*settings);
    QVector<int> offsets;
    for (const QString &path : paths)
        offsets << kept.offsetOf(path);
    mergeShowsNewest = firstLook;
    const auto whole = [this, paths, offsets] {
        logOpener->buildMerged(paths, offsets, this, [this](const MergedLogBuilding &built) { mergedLogBuilt(built); });
    };
    if (!firstLook) {
        whole();
        return;
    }
    // The first look alone, then the whole: side by side, the two would share the
    // processor and the disk, and the first look would come later.
    logOpener->buildNewestMerged(paths, offsets, firstLookRecordsPerLog(paths.size()), this,
                                 [this, whole](const MergedLogBuilding &built) {
                                     newestMergedBuilt(built);
                                     whole();
                                 });
}

void MainWindow::showTableMenu(const QPoint &at)
{
    if (!mergedFile || model->deviceColumns() == 0)
        return;
    const QModelIndex index = ui->tableView->indexAt(at);
    if (!index.isValid())
        return;
    // The device column shows each device as the merged file names it.
    const int device = mergedFile->deviceLabels().indexOf(model->index(index.row(), 0).data().toString());
    if (device < 0)
        return;
    QMenu menu(this);
    QAction *offset = menu.addAction(QStringLiteral("Поправка часов…"));
    if (menu.exec(ui->tableView->viewport()->mapToGlobal(at)) == offset)
        askClockOffset(device);
}

void MainWindow::askClockOffset(int device)
{
    const std::shared_ptr<MergedLogFile> asked = mergedFile;
    const QString name = asked->deviceNames().value(device);
    DialogClockOffset dialog(name, asked->clockOffsets().value(device), this);
    // The logs shown may have changed while the dialog was open.
    if (dialog.exec() != QDialog::Accepted || mergedFile != asked)
        return;
    if (dialog.seconds() == asked->clockOffsets().value(device))
        return;
    if (asked->onServer()) {
        // A server's device keeps its offset on the server, for every window that shows it.
        logOpener->setServerClockOffset(asked->server(), name, dialog.seconds(), this,
                                        [this, asked](const StoreStatus &kept) {
                                            if (!kept) {
                                                showErrorBox(this, kept.error().text);
                                                return;
                                            }
                                            if (mergedFile == asked)
                                                mergeServerDevices(asked->server(), asked->deviceNames());
                                        });
        return;
    }
    FileClockOffsets(*settings).setOffset(asked->sources().value(device), dialog.seconds());
    settings->sync();
    mergeLogFiles(asked->sources());
}

void MainWindow::mergedLogBuilt(const MergedLogBuilding &built)
{
    merging = false;
    ui->statusBar->clearMessage();
    if (!built) {
        if (built.error().kind == StoreError::Kind::Cancelled)
            return;
        // The newest records alone would pass for the logs.
        if (firstLookShown())
            closeLog();
        showErrorBox(this, built.error().text);
        return;
    }
    // Connected while the files were merged.
    if (refuseMergeWhileConnected())
        return;
    // The newest records were shown first: the whole holds them at its end, and the view
    // stays where it was among them.
    if (firstLookShown())
        logView->keepPlaceFromNewestWhenRead();
    else if (mergeShowsNewest)
        logView->showNewestWhenRead();
    mergeShowsNewest = false;
    if (!showMergedLog(*built))
        return;
    mergedGrowthTimer->start();
    if (mergedFile->onServer())
        ui->statusBar->showMessage(QStringLiteral("Журналы с сервера: %1, устройств: %2")
                                       .arg(mergedFile->server().displayName())
                                       .arg(mergedFile->deviceNames().size()),
                                   10000);
}

void MainWindow::newestMergedBuilt(const MergedLogBuilding &built)
{
    // The whole came first, or was cancelled; a first look that failed or that there is
    // none of leaves the window as it is until the whole comes (and says its failure).
    if (!merging || !built || !*built || download->connected())
        return;
    logView->showNewestWhenRead();
    if (!showMergedLog(*built))
        return;
    ui->statusBar->showMessage(QStringLiteral("Журналы объединяются… Показаны записи с %1")
                                   .arg((*built)->newestFrom().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
}

bool MainWindow::showMergedLog(const std::shared_ptr<MergedLogFile> &merged)
{
    // Only read: nothing is downloaded into it. Merged, it may hold millions of records:
    // the view reads it on a thread of its own, and the file goes once that has let go.
    OpenLogSettings reading;
    reading.viewOnThread = true;
    reading.viewKeeps = merged;
    StoreResult<std::unique_ptr<OpenLog>> opened = OpenLog::open(LogLocation::file(merged->path()),
                                                                 OpenLog::Purpose::Read, reading);
    if (!opened) {
        showErrorBox(this, opened.error().text);
        return false;
    }
    // The same devices merged anew (records that went among those shown, an offset
    // given, the whole after its first look): those the device filter hid stay hidden.
    QStringList hiddenNames;
    if (mergedFile) {
        for (const int device : model->filter().hiddenDevices)
            hiddenNames << mergedFile->deviceNames().value(device);
    }
    const QStringList names = merged->deviceNames();
    QVector<int> hidden;
    if (mergedFile
        && QSet<QString>(names.cbegin(), names.cend())
            == QSet<QString>(mergedFile->deviceNames().cbegin(), mergedFile->deviceNames().cend())) {
        for (const QString &name : hiddenNames)
            hidden << names.indexOf(name);
    }
    leaveServerLog();
    closeShownLog();
    mergedFile = merged;
    // The devices in the order the merged file numbers them; the filter with them goes
    // to the model before it reads the log.
    logView->setDevices(mergedFile->deviceLabels(), hidden);
    showLog(std::move(opened).value());
    return true;
}

void MainWindow::growMergedLogs()
{
    if (!mergedFile || merging || mergedGrowing)
        return;
    mergedGrowing = true;
    const std::shared_ptr<MergedLogFile> merged = mergedFile;
    logOpener->appendToMerged(
        merged, this, [this, merged](const StoreResult<MergedGrowth> &grown) { mergedLogsGrown(merged, grown); });
}

void MainWindow::mergedLogsGrown(const std::shared_ptr<MergedLogFile> &merged, const StoreResult<MergedGrowth> &grown)
{
    if (merged != mergedFile)
        return;
    mergedGrowing = false;
    // A log that cannot be read now (a file being replaced, a server gone) is looked at
    // again at the next tick; the view keeps what it shows meanwhile.
    if (!grown || *grown == MergedGrowth::Nothing)
        return;
    if (*grown == MergedGrowth::Appended) {
        refreshLogView();
        return;
    }
    // Merged anew, quietly: the port is not asked about, and the view that showed the
    // newest rows shows them again.
    if (download->connected())
        return;
    if (logView->atNewest())
        logView->showNewestWhenRead();
    if (merged->onServer())
        mergeServerDevices(merged->server(), merged->deviceNames());
    else
        mergeLogFiles(merged->sources());
}

bool MainWindow::refuseMergeWhileConnected()
{
    // A download writes into one log file: the log it writes to is not swapped under it
    // for several.
    if (!download->connected())
        return false;
    showErrorBox(this,
                 QStringLiteral("Несколько журналов можно показать вместе, только когда соединение "
                                "с устройством разорвано"));
    return true;
}

LogStore *MainWindow::downloadStore() const
{
    return log && !mergedFile ? log->store() : nullptr;
}

void MainWindow::showLog(std::shared_ptr<OpenLog> opened)
{
    log = std::move(opened);
    model->setSource(log->source());
    // A download under way goes on into the log shown now.
    download->setStore(downloadStore());
    refreshLogView();
}

void MainWindow::closeLog()
{
    closeShownLog();
    // A merge still running would show its logs in place of the one shown next.
    logOpener->cancelMerging();
    if (merging) {
        merging = false;
        ui->statusBar->clearMessage();
    }
}

void MainWindow::closeShownLog()
{
    // The view lets go of the log first.
    logView->closeLog();
    model->setSource(std::make_shared<NoLogSource>());
    download->setStore(nullptr);
    log.reset();
    logView->setDevices({});
    // Once nothing reads it, the merged file goes.
    mergedFile.reset();
    mergedGrowthTimer->stop();
    mergedGrowing = false;
}

void MainWindow::on_actionOpenServer_triggered()
{
    // Window-modal rather than exec(): the window goes on drawing and taking in a
    // download while the server is asked for its devices.
    QStringList shown;
    if (serverLogShown())
        shown << log->location().device;
    else if (mergedFile && mergedFile->onServer())
        shown = mergedFile->deviceNames();
    auto *dialog = new DialogOpenServer(*logOpener, serverUrlText, shown, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, this, [this, dialog] {
        const QStringList devices = dialog->deviceNames();
        if (devices.size() > 1)
            mergeServerDevices(dialog->url(), devices, true);
        else
            openServerDevice(dialog->url(), devices.value(0));
    });
    dialog->open();
}

void MainWindow::mergeServerDevices(const ServerUrl &url, const QStringList &devices, bool firstLook)
{
    if (refuseMergeWhileConnected())
        return;
    serverUrlText = url.withoutPassword();
    ui->statusBar->showMessage(QStringLiteral("Журналы объединяются…"));
    merging = true;
    mergeShowsNewest = firstLook;
    const auto whole = [this, url, devices] {
        logOpener->buildMergedFromServer(url, devices, this,
                                         [this](const MergedLogBuilding &built) { mergedLogBuilt(built); });
    };
    if (!firstLook) {
        whole();
        return;
    }
    // The first look alone, then the whole, as for files.
    logOpener->buildNewestMergedFromServer(url, devices, firstLookRecordsPerLog(devices.size()), this,
                                           [this, whole](const MergedLogBuilding &built) {
                                               newestMergedBuilt(built);
                                               whole();
                                           });
}

void MainWindow::openServerDevice(const ServerUrl &url, const QString &device)
{
    serverUrlText = url.withoutPassword();
    ui->statusBar->showMessage(QStringLiteral("Подключение к %1…").arg(url.displayName()));
    logOpener->open(LogLocation::serverDevice(url, device), OpenLog::Purpose::View, OpenLogSettings(), this,
                    [this](const LogOpening &opening) { serverDeviceOpened(opening); });
}

void MainWindow::serverDeviceOpened(const LogOpening &opening)
{
    ui->statusBar->clearMessage();
    if (!opening) {
        showErrorBox(this, opening.error().text);
        return;
    }
    // A download went into the log shown before; its log file is closed now.
    if (ui->actionDownload->isChecked())
        stopDownload();
    leaveServerLog();
    closeLog();
    showLog(*opening);
    serverRefreshTimer->start();
    changeWatch->listen(model->sourceReads(), log->location().device);
    ui->statusBar->showMessage(QStringLiteral("Журнал с сервера: %1").arg(log->location().displayName()), 10000);
}

void MainWindow::leaveServerLog()
{
    // A device still being opened would otherwise replace the log opened since.
    logOpener->cancelOpening();
    if (!serverLogShown())
        return;
    // The download writes to the device shown (or is about to).
    if (ui->actionDownload->isChecked())
        stopDownload();
    serverRefreshTimer->stop();
    changeWatch->stop();
    serverRetryTimer->stop();
    serverViewLost = false;
    if (serverRetries != 0) {
        serverRetries = 0;
        showLinkState(QString());
    }
    closeLog();
}

bool MainWindow::serverLogShown() const
{
    return log && log->location().onServer;
}

void MainWindow::startServerDownload()
{
    // One try: the window does not wait for a collector that holds the device; the box
    // says who it is.
    OpenLogSettings settings;
    settings.lockWait = std::chrono::milliseconds(0);
    ui->statusBar->showMessage(QStringLiteral("Подключение к %1…").arg(log->location().displayName()));
    logOpener->openDeviceStore(log->location(), settings, this,
                               [this](const ServerStoreOpening &opening) { serverStoreOpened(opening); });
}

void MainWindow::serverStoreOpened(const ServerStoreOpening &opening)
{
    ui->statusBar->clearMessage();
    // A download stopped, a port closed or another log opened meanwhile cancels the
    // opening, so the answer is still wanted here.
    if (!opening) {
        if (!retryServer(opening.error()))
            failDownload(opening.error().text);
        return;
    }
    // A try asked for meanwhile (the same outage heard once more, by the view or by a
    // write) would open the device a second time and find its lock held by this store.
    serverRetryTimer->stop();
    if (serverRetries != 0) {
        serverRetries = 0;
        showLinkState(QString());
        ui->statusBar->showMessage(QStringLiteral("Связь с сервером восстановлена, загрузка продолжается"), 10000);
    }
    const std::shared_ptr<QueuedLogStore> store = *opening;
    // A statement that fails after the call that queued it has returned is heard here;
    // the download then waits for the server as when a call fails.
    const LogStore *written = store.get();
    store->setFailureHook([this, written](const StoreError &error) {
        QMetaObject::invokeMethod(
            this, [this, written, error] { serverStoreFailed(written, error); }, Qt::QueuedConnection);
    });
    log->useDeviceStore(store);
    download->setStore(log->store());
    startDownload();
}

void MainWindow::serverStoreFailed(const LogStore *written, const StoreError &error)
{
    // Reported already by a later call of the download's, or a store let go since.
    if (!serverLogShown() || log->store() != written || !ui->actionDownload->isChecked())
        return;
    download->storeFailed(error);
}

bool MainWindow::retryServer(const StoreError &error)
{
    // A device another collector holds is no outage, unless it is the window's own lock
    // that the server has not yet let go after the connection was cut.
    const bool outage = error.kind == StoreError::Kind::Unreachable
        || (error.kind == StoreError::Kind::Busy && serverRetries != 0);
    if (!outage || !serverLogShown())
        return false;
    if (serverRetryTimer->isActive())
        return true;
    if (ui->actionDownload->isChecked()) {
        // The connection of the download's store is gone: the download waits, and a new
        // store reads on from the device's rows on the server.
        download->stop();
        releaseServerStore();
        serverViewLost = true;
    }
    ++serverRetries;
    const std::chrono::milliseconds delay = LogDownload::reconnectDelay(serverRetries);
    showLinkState(QStringLiteral("Сервер недоступен, повторное подключение… (попыток: %1; %2)")
                      .arg(serverRetries - 1)
                      .arg(error.text));
    serverRetryTimer->start(delay);
    return true;
}

void MainWindow::reopenServerView()
{
    logOpener->open(log->location(), OpenLog::Purpose::View, OpenLogSettings(), this,
                    [this](const LogOpening &opening) { serverViewReopened(opening); });
}

void MainWindow::serverViewReopened(const LogOpening &opening)
{
    if (!opening) {
        if (!retryServer(opening.error())) {
            stopDownload();
            showErrorBox(this, opening.error().text);
        }
        return;
    }
    // The same device on a new connection: the table reads it afresh; a download that
    // waited goes on once its store is open again.
    serverViewLost = false;
    changeWatch->stop();
    closeLog();
    showLog(*opening);
    changeWatch->listen(model->sourceReads(), log->location().device);
    if (ui->actionDownload->isChecked()) {
        startServerDownload();
        return;
    }
    serverRetries = 0;
    showLinkState(QString());
    ui->statusBar->showMessage(QStringLiteral("Связь с сервером восстановлена"), 10000);
}

void MainWindow::releaseServerStore()
{
    logOpener->cancelStoreOpening();
    if (!serverLogShown())
        return;
    download->setStore(nullptr);
    // Closing gives the device's lock back to the collectors.
    log->useDeviceStore(nullptr);
}

void MainWindow::refreshLogView()
{
    // After a create or open the log is shown from its start; after a stored record
    // only what is new is taken in.
    logView->refresh();
}

void MainWindow::on_exportLog_triggered()
{
    if (!logShown()) {
        showErrorBox(this, QStringLiteral("Файл журнала не открыт"));
        return;
    }
    if (firstLookShown()) {
        showErrorBox(this,
                     QStringLiteral("Журналы ещё объединяются: выгрузить их можно будет, когда "
                                    "объединятся все записи"));
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Экспортировать журнал"), dirSave,
                                                      QStringLiteral("Файл таблицы (*.csv)"));
    if (path.isEmpty())
        return;
    rememberDirectory(dirSave, QStringLiteral("DirSave"), path);
    startExport(path);
}

void MainWindow::startExport(const QString &path)
{
    // What the table shows, in its order: with a filter on, only the records that pass
    // it; of several logs, each line led by the record's device.
    const bool started = logExport->start(model->source(), model->filter(), path);
    if (!started)
        return;
    // Counted once the rows on show are all known; until then the bar only says it works.
    exportProgress->setRange(0, model->isScanning() ? 0 : model->rowCount());
    exportProgress->setValue(0);
    exportProgress->show();
    exportCancel->show();
    ui->exportLog->setEnabled(false);
}

void MainWindow::exportFinished(const StoreStatus &outcome)
{
    exportProgress->hide();
    exportCancel->hide();
    ui->exportLog->setEnabled(true);
    // A log that cannot be read (not a log file, locked by another program) is the
    // database's error, since an empty table would pass for an empty log; a file that
    // cannot be written is said too, as the user asked for it and would otherwise find
    // nothing there. An export the user stopped is no failure.
    if (!outcome && outcome.error().kind != StoreError::Kind::Cancelled)
        showErrorBox(this, outcome.error().text);
}

// ---------------------------------------------------------------------------
// Connect, download and clear: the 100 ms tick and the 1000 ms re-poll drive the
// download (see LogDownload and DownloadEngine for what one tick does).
// ---------------------------------------------------------------------------

void MainWindow::on_connectButton_triggered()
{
    if (!download->connected()) {
        DialogPortSettings dialog(this);
        dialog.setPortName(portName);
        dialog.baudrate()->setCurrentIndex(baudIndex);
        dialog.parity()->setCurrentIndex(parityIndex);
        dialog.stopBits()->setCurrentIndex(stopBitsIndex);
        dialog.linePace()->setChecked(linePace);
        if (dialog.exec() == QDialog::Accepted && dialog.port()->currentIndex() != -1) {
            portName = dialog.portName();
            baudIndex = dialog.baudrate()->currentIndex();
            parityIndex = dialog.parity()->currentIndex();
            stopBitsIndex = dialog.stopBits()->currentIndex();
            if (dialog.linePace()->isChecked() != linePace) {
                linePace = dialog.linePace()->isChecked();
                settings->setValue(QStringLiteral("LinePace"), linePace);
                download = makeDownload(linePace);
                download->setStore(downloadStore());
            }
            // The open goes on in the background (a gateway may take seconds to answer);
            // the poll tick hears how it ended, and a success starts the download->
            ui->statusBar->clearMessage();
            showLinkState(QStringLiteral("Подключение к \"%1\"…").arg(portName));
            download->startOpen(portName.toUtf8().toStdString(), BaudRates[baudIndex], ParityCodes[parityIndex],
                                StopBitsCodes[stopBitsIndex]);
        }
    } else {
        // Also while the port is being opened or reopened: that is cancelled.
        download->stop();
        releaseServerStore();
        download->closePort();
        ui->actionDownload->setChecked(false);
        updateProgress();
        showLinkState(QString());
    }
    updateConnectButton();
}

void MainWindow::updateConnectButton()
{
    // Connecting and reconnecting count as connected: pressing the button again ends them.
    const bool open = download->connected();
    ui->connectButton->setChecked(open);
    // The icon follows the checked state: the form gives the action an On and an Off image.
    ui->connectButton->setText(open ? QStringLiteral("Разъединить") : QStringLiteral("Соединить"));
}

void MainWindow::on_actionDownload_triggered(bool checked)
{
    download->stop();
    releaseServerStore();
    updateProgress();
    if (!checked)
        return;
    if (!logShown()) {
        failDownload(QStringLiteral("Файл журнала не открыт"));
    } else if (mergedFile) {
        failDownload(QStringLiteral("Показаны несколько журналов: загрузка пишет в один файл журнала, откройте его"));
    } else if (!download->portOpen()) {
        failDownload(QStringLiteral("Соединение не установлено"));
    } else if (serverLogShown()) {
        // The server's store is opened in the background; the download starts when it is.
        startServerDownload();
    } else {
        startDownload();
    }
}

void MainWindow::showCounters()
{
    // At the window's pace every count is shown as it changes. At the line's, a hundred
    // replies a second would repaint the status bar as often, on the way of the next
    // request: they are shown ten times a second.
    if (!linePace) {
        updateSentLabel();
        updateReceivedLabel();
        updateProgress();
        return;
    }
    if (!countersTimer->isActive())
        countersTimer->start();
}

void MainWindow::startDownload()
{
    download->start(static_cast<std::uint8_t>(deviceAddressSpinBox->value()));
    // At the line's pace the first request goes out now, not at the next tick.
    if (linePace)
        QMetaObject::invokeMethod(this, &MainWindow::lineTick, Qt::QueuedConnection);
}

void MainWindow::on_actionClearLog_triggered()
{
    stopDownload();
    if (!download->portOpen()) {
        showErrorBox(this, QStringLiteral("Соединение не установлено"));
        return;
    }
    download->clear();
}

void MainWindow::stopDownload()
{
    download->stop();
    releaseServerStore();
    ui->actionDownload->setChecked(false);
    updateProgress();
}

void MainWindow::failDownload(const QString &message)
{
    stopDownload();
    showErrorBox(this, message);
}

void MainWindow::showLinkState(const QString &text)
{
    linkState->setText(text);
    linkState->setVisible(!text.isEmpty());
}

void MainWindow::updateProgress()
{
    const std::uint32_t remaining = download->remaining();
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

void MainWindow::showFrame(const std::uint8_t *bytes, std::size_t length, ReplyResult result, bool sent)
{
    // Not even formatted while nobody looks: at the line's pace it would be on the way
    // of every request.
    if (!trafficDialog->isVisible())
        return;
    if (!linePace) {
        trafficDialog->appendPacket(packetToHtml(bytes, length, result, sent));
        return;
    }
    // At the line's pace, hundreds of frames a second: they are drawn ten times a second,
    // together, and only as many as the monitor could hold are kept meanwhile.
    pendingTraffic.append(packetToHtml(bytes, length, result, sent));
    if (pendingTraffic.size() > MaxPendingTrafficLines)
        pendingTraffic.removeFirst();
    if (!trafficTimer->isActive())
        trafficTimer->start();
}

void MainWindow::modbusTimerUpdate()
{
    download->tick();
}

void MainWindow::lineTick()
{
    download->tick();
}

void MainWindow::requestTimerUpdate()
{
    download->repoll();
}

bool WindowDownloadHost::downloadWanted() const
{
    // While a server's store is being opened (the server may be a slow link away), or
    // the server is out of reach, the device is not asked: what it sent would have
    // nowhere to go.
    return window.ui->actionDownload->isChecked() && !(window.serverLogShown() && window.log->store() == nullptr);
}

void WindowDownloadHost::frameReceived(const std::uint8_t *bytes, std::size_t length, ReplyResult result)
{
    window.showFrame(bytes, length, result, false);
}

void WindowDownloadHost::frameBuilt(const std::uint8_t *bytes, std::size_t length)
{
    window.showFrame(bytes, length, ReplyAccepted, true);
}

void WindowDownloadHost::requestSent()
{
    ++window.sentCount;
    window.showCounters();
}

void WindowDownloadHost::replyCounted(std::uint32_t)
{
    ++window.receivedCount;
    window.showCounters();
}

bool WindowDownloadHost::confirmConfigurationUpdate()
{
    QMessageBox question(QMessageBox::Question, configurationQuestionTitle(), configurationQuestionText(),
                         QMessageBox::Yes | QMessageBox::No, &window);
    // Any answer but No (the box closed by Esc included) updates the configuration.
    return question.exec() != QMessageBox::No;
}

void WindowDownloadHost::failed(const DownloadFailure &failure)
{
    if (failure.kind == FailureKind::StoreFailed && window.retryServer(failure.store))
        return;
    window.failDownload(failureText(failure));
}

void WindowDownloadHost::recordsStored(std::uint32_t)
{
    // The table shows each record as it arrives.
    window.refreshLogView();
}

void WindowDownloadHost::portOpened()
{
    window.showLinkState(QString());
    // Shown as connected before the download starts: its start may stop at a box
    // ("Файл журнала не открыт") with the port open.
    window.updateConnectButton();
    window.ui->actionDownload->setChecked(true);
    window.on_actionDownload_triggered(true);
}

void WindowDownloadHost::portOpenFailed(const PortError &cause)
{
    window.showLinkState(QString());
    window.updateConnectButton();
    // No box, but the reason, for ten seconds: the message hides the counters.
    window.ui->statusBar->showMessage(QString::fromStdString(portOpenFailureText(window.portName.toStdString(), cause)),
                                      10000);
}

void WindowDownloadHost::portLost(const PortError &cause)
{
    window.updateProgress();
    window.showLinkState(QStringLiteral("Связь потеряна, повторное подключение… (%1)")
                             .arg(QString::fromStdString(portFailureReason(window.portName.toStdString(), cause))));
}

void WindowDownloadHost::reconnectFailed(unsigned attempt, const PortError &cause, std::chrono::milliseconds)
{
    window.showLinkState(QStringLiteral("Связь потеряна, повторное подключение… (попыток: %1; %2)")
                             .arg(attempt)
                             .arg(QString::fromStdString(portFailureReason(window.portName.toStdString(), cause))));
}

void WindowDownloadHost::portRestored(unsigned)
{
    window.showLinkState(QString());
    window.ui->statusBar->showMessage(window.ui->actionDownload->isChecked()
                                          ? QStringLiteral("Связь восстановлена, загрузка продолжается")
                                          : QStringLiteral("Связь восстановлена"),
                                      10000);
}
