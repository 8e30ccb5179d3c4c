// The open-from-server question: a central database's URL and one or more of its devices.
#pragma once

#include "logaccess/logopener.h"
#include "serverstore/serverurl.h"

#include <QDialog>

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

/*
 *   serverUrl      the URL, postgresql://USER@HOST/DBNAME
 *   serverConnect  «Подключиться»: lists the server's devices (so does Enter in the URL)
 *   serverStatus   "Подключение к …", the number of devices, or the server's message
 *   serverDevices  the devices, one or several chosen (Ctrl and Shift with a click add
 *                  to the choice); a double click or Enter opens what is chosen
 *   serverAllDevices  «Все»: chooses every device listed
 *   buttonBox      OK (with a device chosen) and Cancel
 *
 * The devices are listed in the background by a LogOpener: the dialog answers at
 * once, whatever the server does, and a list that comes after the URL changed is dropped.
 */
class DialogOpenServer : public QDialog
{
    Q_OBJECT

public:
    // Lists the devices of `url` at once when it is given, with those of `shown` (the ones
    // shown, if any) chosen, or else the first.
    DialogOpenServer(LogOpener &browser, const QString &url, const QStringList &shown, QWidget *parent = nullptr);

    // Once accepted: the URL the devices came from (with a password typed into it) and the
    // devices chosen, in the order listed; deviceName() is the first of them.
    const ServerUrl &url() const { return listedUrl; }
    QStringList deviceNames() const;
    QString deviceName() const;

    void listDevices();

private:
    void devicesListed(const ServerDeviceList &list);
    void urlEdited();
    void showStatus(const QString &text, bool failure);
    void updateOk();

    LogOpener &browser;
    QLineEdit *urlEdit;
    QPushButton *connectButton;
    QPushButton *allButton;
    QLabel *status;
    QListWidget *devices;
    QDialogButtonBox *buttons;
    ServerUrl listedUrl;
    QStringList chosenDevices;
};
