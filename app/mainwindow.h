// The application's main window: owner of every long-lived object and host of the commands.
#pragma once

#include <QMainWindow>
#include <QSqlDatabase>
#include <QString>

#include <cstdint>
#include <string>

class LogViewModel;
class QLabel;
class QProgressBar;
class QSettings;
class QSpinBox;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    MainWindow(const MainWindow &) = delete;
    MainWindow &operator=(const MainWindow &) = delete;

    void updateSentLabel();
    void updateReceivedLabel();
    void refreshLogView();

private slots:
    void on_actionCreate_triggered();
    void on_actionOpen_triggered();
    void on_exportLog_triggered();

private:
    // Connected in the constructor to a widget made after the form. Not declared
    // as a slot: the form's connect-by-name pass would look for its widget and
    // warn on every start.
    void on_deviceAddressSpinBox_valueChanged(int value);

    void setupAddressWidgets();
    void setupStatusBar();
    // Makes the directory of `chosenFile` the remembered one under `key`.
    void rememberDirectory(QString &directory, const QString &key, const QString &chosenFile);

    Ui::MainWindow *ui;
    QSettings *settings;
    QString dirOpen;
    QString dirSave;
    QSqlDatabase database;
    LogViewModel *model;
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
    std::uint32_t sentCount;
    QLabel *sentLabel;
    std::uint32_t receivedCount;
    QLabel *receivedLabel;
    QProgressBar *progressBar;
    std::uint32_t progressMaximum;

    friend class MainWindowProbe;
};

// The one window of the process; set by its constructor and never cleared.
extern MainWindow *theMainWindow;
