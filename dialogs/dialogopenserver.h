// The open-from-server question: a central database's URL and one of its devices.
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
 *   serverDevices  the devices, one of them chosen; a double click or Enter opens one
 *   buttonBox      OK (with a device chosen) and Cancel
 *
 * The devices are listed in the background by a LogOpener: the dialog answers at
 * once, whatever the server does, and a list that comes after the URL changed is dropped.
 */
class DialogOpenServer : public QDialog
{
    Q_OBJECT

public:
    // Lists the devices of `url` at once when it is given, with `device` (the one shown,
    // if any) chosen, or else the first.
    DialogOpenServer(LogOpener &browser, const QString &url, const QString &device, QWidget *parent = nullptr);

    // Once accepted: the URL the devices came from (with a password typed into it) and the
    // device chosen.
    const ServerUrl &url() const { return listedUrl; }
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
    QLabel *status;
    QListWidget *devices;
    QDialogButtonBox *buttons;
    ServerUrl listedUrl;
    QString chosenDevice;
};
