// The application's main window: owner of every long-lived object and host of the commands.
#pragma once

#include "download/downloadengine.h"
#include "protocol/logtransfer.h"
#include "protocol/modbusmaster.h"
#include "serial/comhalfduplexterminal.h"
#include "store/logimporter.h"

#include "serial/comhalfduplexterminal.h"
#include "protocol/logtransfer.h"
#include "protocol/modbusmaster.h"

#include <QMainWindow>
#include <QSqlDatabase>
#include <QString>

#include <cstdint>
#include <string>

class DialogTraffic;
class LogFilterBar;
class LogViewController;
class LogViewModel;
class QLabel;
class QProgressBar;
class QSettings;
class QSpinBox;
class QTimer;

namespace Ui {
class MainWindow;
}

class MainWindow;

// Shows what the download engine reports in the window: traffic lines, counters,
// progress, and the box that ends a download.
class WindowDownloadObserver final : public DownloadObserver
{
public:
    explicit WindowDownloadObserver(MainWindow &window) : window(window) {}
    bool downloadWanted() const override;
    void frameReceived(const std::uint8_t *bytes, std::size_t length, std::uint8_t code) override;
    void frameBuilt(const std::uint8_t *bytes, std::size_t length) override;
    void requestSent() override;
    void replyCounted() override;
    void progressChanged(std::uint32_t remaining) override;
    void downloadStopped(DownloadStop reason, std::uint8_t exceptionCode) override;

private:
    MainWindow &window;
};

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    MainWindow(const MainWindow &) = delete;
    MainWindow &operator=(const MainWindow &) = delete;

    void stopDownload();
    void updateProgress();
    void updateSentLabel();
    void updateReceivedLabel();
    void refreshLogView();

    // The import of a download, called back by the transfer during a poll tick.
    bool importLogInfo(std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash);
    void importCaption(std::uint16_t position, std::uint32_t eventId, const char *caption);
    std::uint32_t resumeIndex(std::uint32_t first, std::uint32_t span);
    void importRecord(std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t deviceTime,
                      std::uint32_t eventId, const std::uint8_t *data, std::int32_t length);
    void updateInfoHashes();

private slots:
    void modbusTimerUpdate();
    void requestTimerUpdate();
    void on_actionCreate_triggered();
    void on_actionOpen_triggered();
    void on_connectButton_triggered();
    void on_actionDownload_triggered(bool checked);
    void on_traffic_triggered(bool checked);
    void on_exportLog_triggered();
    void on_actionClearLog_triggered();

private:
    // These two are connected in the constructor to objects made after the form.
    // They are not declared as slots: the form's connect-by-name pass would look
    // for their objects and warn on every start.
    void on_deviceAddressSpinBox_valueChanged(int value);
    void on_dialogTrafficFinished(int result);

    void setupAddressWidgets();
    void setupStatusBar();
    // Makes the directory of `chosenFile` the remembered one under `key`.
    void rememberDirectory(QString &directory, const QString &key, const QString &chosenFile);
    // Ends the download and shows why.
    void failDownload(const QString &message);
    // Ends the download with the statement's error when `outcome` failed; true if not.
    bool reportStoreFailure(const StoreOutcome &outcome);
    void updateConnectButton();
    void showFrame(const std::uint8_t *bytes, unsigned length, std::uint8_t code, bool sent);

    Ui::MainWindow *ui;
    QSettings *settings;
    QString dirOpen;
    QString dirSave;
    QSqlDatabase database;
    LogViewModel *model;
    LogFilterBar *filterBar;
    LogViewController *logView;
    DialogTraffic *trafficDialog;
    std::wstring productName;
    std::wstring internalName;
    QString portName;
    std::int32_t baudIndex;
    std::int32_t parityIndex;
    std::int32_t stopBitsIndex;
    std::uint32_t deviceIdHash;
    std::uint32_t deviceCaptionHash;
    std::uint16_t deviceCaptionCount;
    QLabel *addressLabel;
    QSpinBox *deviceAddressSpinBox;
    std::uint8_t terminalStorage[256];
    ComHalfDuplexTerminal terminal;
    LogTransfer transfer;
    ModbusFunctionHandler logFunctionEntry;
    ModbusMaster master;
    QTimer *modbusTimer;
    QTimer *requestTimer;
    std::uint32_t sentCount;
    QLabel *sentLabel;
    std::uint32_t receivedCount;
    QLabel *receivedLabel;
    QProgressBar *progressBar;
    std::uint32_t progressMaximum;
    // What the import writes, and when; the window only asks the question and reports.
    LogImporter importer;
    WindowDownloadObserver downloadObserver;
    DownloadEngine engine;

    friend class MainWindowProbe;
    friend class WindowDownloadObserver;
};

// The one window of the process; set by its constructor and never cleared.
extern MainWindow *theMainWindow;
