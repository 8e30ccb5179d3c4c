// The application's main window: owner of every long-lived object and host of the commands.
#pragma once

#include "logaccess/logopener.h"
#include "logdownload/logdownload.h"

#include <QMainWindow>
#include <QStringList>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>

class DialogTraffic;
class LogChangeWatch;
class LogExport;
class LogFilterBar;
class LogTimelineStrip;
class LogViewController;
class LogViewModel;
class QLabel;
class QProgressBar;
class QSettings;
class QSpinBox;
class QTimer;
class QToolButton;
class OpenLog;
struct ServerUrl;

namespace Ui {
class MainWindow;
}

class MainWindow;

// Shows what a download reports in the window: traffic lines, counters, progress, the
// configuration question, and the box that ends a download.
class WindowDownloadHost final : public LogDownloadHost
{
public:
    explicit WindowDownloadHost(MainWindow &window) : window(window) {}
    bool downloadWanted() const override;
    void frameReceived(const std::uint8_t *bytes, std::size_t length, ReplyResult result) override;
    void frameBuilt(const std::uint8_t *bytes, std::size_t length) override;
    void requestSent() override;
    void replyCounted(std::uint32_t remaining) override;
    bool confirmConfigurationUpdate() override;
    void failed(const DownloadFailure &failure) override;
    void recordsStored(std::uint32_t count) override;
    void portOpened() override;
    void portOpenFailed(const PortError &cause) override;
    void portLost(const PortError &cause) override;
    void reconnectFailed(unsigned attempt, const PortError &cause, std::chrono::milliseconds next) override;
    void portRestored(unsigned attempts) override;

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

private slots:
    void modbusTimerUpdate();
    void requestTimerUpdate();
    // At the line's pace: a reply is in, or the port is lost; taken at once.
    void lineTick();
    void on_actionCreate_triggered();
    void on_actionOpen_triggered();
    void on_actionAddLog_triggered();
    void on_actionCloseLogs_triggered();
    void on_actionOpenServer_triggered();
    void on_connectButton_triggered();
    void on_actionDownload_triggered(bool checked);
    void on_traffic_triggered(bool checked);
    void on_exportLog_triggered();
    void on_actionClearLog_triggered();

private:
    // Connected in the constructor to the dialog made after the form. Not declared as
    // a slot: the form's connect-by-name pass would look for its object and warn on
    // every start.
    void on_dialogTrafficFinished(int result);

    // A download at the pace asked for, wired to the window; the port is closed.
    std::unique_ptr<LogDownload> makeDownload(bool atLinePace);
    void setupAddressWidgets();
    void setupStatusBar();
    // The export to `path` of what the table shows, in the background, with its progress
    // beside the counters; exportFinished() says what went wrong, if anything.
    void startExport(const QString &path);
    void exportFinished(const StoreStatus &outcome);
    // Makes the directory of `chosenFile` the remembered one under `key`.
    void rememberDirectory(QString &directory, const QString &key, const QString &chosenFile);
    // Ends the download and shows why.
    void failDownload(const QString &message);
    // The counters and the progress after a request or a reply.
    void showCounters();
    // Starts reading the device at the address shown into the store set.
    void startDownload();
    void updateConnectButton();
    // The link's state beside the counters, or nothing while the link is simply up.
    void showLinkState(const QString &text);
    void showFrame(const std::uint8_t *bytes, std::size_t length, ReplyResult result, bool sent);

    // The log shown from now on (the model reads it, a download writes to it), and no log.
    void showLog(std::shared_ptr<OpenLog> opened);
    void closeLog();
    // The same, but a merge under way goes on (its first look is shown, the whole comes).
    void closeShownLog();
    // The log file at `path` shown; the log shown stays when it cannot be opened.
    void openLogFile(const QString &path);
    // The log files shown: the one open, or those merged; none for a server's device.
    QStringList shownLogFiles() const;
    // The log files at `paths` shown together: one alone as openLogFile shows it, several
    // merged into one file off the user-interface thread, then shown (mergedLogBuilt).
    void showLogFiles(const QStringList &picked);
    // The files merged, as they are (again after a change of their clock offsets).
    // `firstLook`: their newest records are shown first, the whole once it is merged;
    // otherwise the view keeps what it shows until then.
    void mergeLogFiles(const QStringList &paths, bool firstLook = false);
    void mergedLogBuilt(const MergedLogBuilding &built);
    // The merge's newest records, while the whole is merged: shown at their end.
    void newestMergedBuilt(const MergedLogBuilding &built);
    // Only the newest records of the logs merged are shown yet.
    bool firstLookShown() const { return mergedFile && mergedFile->newestFrom().isValid(); }
    // `merged` shown in place of the log shown; false (and a box) when it cannot be opened.
    bool showMergedLog(const std::shared_ptr<MergedLogFile> &merged);
    // Once a second, the records the merged logs stored since are taken in: at the end
    // of the view, or by merging them anew when they go among the rows shown.
    void growMergedLogs();
    void mergedLogsGrown(const std::shared_ptr<MergedLogFile> &merged, const StoreResult<MergedGrowth> &grown);
    // The table's menu; with several devices shown, «Поправка часов…» of the row's device.
    void showTableMenu(const QPoint &at);
    // Asks for the clock offset of the merged view's device `device` (its place among the
    // files merged), keeps it in the settings, and merges the files again with it.
    void askClockOffset(int device);
    // While the port is connected several logs are not shown together: says so, true.
    bool refuseMergeWhileConnected();
    // Where a download writes: the log file shown; none for several shown together.
    LogStore *downloadStore() const;
    // A device's log on a server, shown instead of a log file: opened in the background,
    // then shown; polled for what collectors store meanwhile. leaveServerLog() closes it
    // (no log is shown until one is opened).
    // Several devices of a server shown together, merged on one time axis.
    void mergeServerDevices(const ServerUrl &url, const QStringList &devices, bool firstLook = false);
    void openServerDevice(const ServerUrl &url, const QString &device);
    void serverDeviceOpened(const LogOpening &opening);
    void leaveServerLog();
    bool serverLogShown() const;
    // A log is shown: a log file, or a server's device.
    bool logShown() const { return log != nullptr; }
    // A download into the server's device shown writes through a store of its own,
    // which holds the device's lock until the download ends. It is opened off the
    // user-interface thread; stopping the download cancels that.
    void startServerDownload();
    void serverStoreOpened(const ServerStoreOpening &opening);
    // A statement of the download's store failed on its writer thread.
    void serverStoreFailed(const LogStore *written, const StoreError &error);
    void releaseServerStore();
    // The server went out of reach under the view or a download into the device shown:
    // what is shown stays, and the device is opened again with back-off (the view first,
    // then the download, which goes on where the device's rows end). False when `error`
    // is no such failure, or nothing waits for the server.
    bool retryServer(const StoreError &error);
    void reopenServerView();
    void serverViewReopened(const LogOpening &opening);

    Ui::MainWindow *ui;
    QSettings *settings;
    QString dirOpen;
    QString dirSave;
    // The log shown, a log file or a server's device; none until one is created or opened.
    std::shared_ptr<OpenLog> log;
    // With several log files shown together, the file they are merged into (`log` is open
    // on it); it is deleted once it is closed.
    std::shared_ptr<MergedLogFile> mergedFile;
    // Several files are being merged, «Журналы объединяются…» in the status bar meanwhile.
    bool merging = false;
    // The merge under way was asked for by the user, not made again: it opens at its
    // newest records, as its first look does.
    bool mergeShowsNewest = false;
    LogViewModel *model;
    LogFilterBar *filterBar;
    LogTimelineStrip *timelineStrip;
    LogViewController *logView;
    DialogTraffic *trafficDialog;
    std::wstring productName;
    std::wstring internalName;
    QString portName;
    std::int32_t baudIndex;
    std::int32_t parityIndex;
    std::int32_t stopBitsIndex;
    QLabel *addressLabel;
    QSpinBox *deviceAddressSpinBox;
    QTimer *modbusTimer;
    QTimer *requestTimer;
    std::uint32_t sentCount;
    QLabel *sentLabel;
    std::uint32_t receivedCount;
    QLabel *receivedLabel;
    QProgressBar *progressBar;
    // "Подключение…", "Связь потеряна, повторное подключение…": a permanent label, so
    // that the counters stay in view while it shows.
    QLabel *linkState;
    std::uint32_t progressMaximum;
    LogExport *logExport;
    // While an export runs: its lines written, and the button that stops it.
    QProgressBar *exportProgress;
    QToolButton *exportCancel;
    LogOpener *logOpener;
    // The server's URL last opened, without its password.
    QString serverUrlText;
    QTimer *serverRefreshTimer;
    QTimer *mergedGrowthTimer;
    // A look at the merged logs for new records is under way.
    bool mergedGrowing = false;
    LogChangeWatch *changeWatch;
    // While the server is out of reach: the next try, how many were made, and whether
    // the view's own connection is to be made again too.
    QTimer *serverRetryTimer;
    unsigned serverRetries;
    bool serverViewLost;
    // At the line's pace: the counters are shown when it fires.
    QTimer *countersTimer;
    // At the line's pace: the frames not yet in the traffic monitor, and when they go in.
    QStringList pendingTraffic;
    QTimer *trafficTimer;
    WindowDownloadHost downloadHost;
    // The port, the protocol and the import; the window steers it and shows what it says.
    // Made anew, with the port closed, when the user changes the pace it reads at.
    std::unique_ptr<LogDownload> download;
    // Read at the line's pace rather than one request per tick (remembered as LinePace).
    bool linePace;

    friend class MainWindowProbe;
    friend class WindowDownloadHost;
};
