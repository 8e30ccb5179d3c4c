// The modal dialog in which the user picks the serial port and its line parameters.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;

namespace Ui {
class DialogPortSettings;
}

// Only presents the choices: it keeps nothing between showings and neither opens
// nor tests a port. The caller presets the four combo boxes, runs exec() and reads
// them back; the indexes of baudrate, parity and stopBits index the tables of
// ports/portsettings.h.
class DialogPortSettings : public QDialog
{
    Q_OBJECT

public:
    // Lists the paths named in KHRONAR_PORTS (where the system's listing leaves out
    // pseudo-terminals), then the system's serial ports in the order the system
    // gives. The first port listed is current; with none, `port` has no current item.
    explicit DialogPortSettings(QWidget *parent = nullptr);
    ~DialogPortSettings() override;

    // The ports, each shown by its label and holding the name the terminal opens as
    // its item data.
    QComboBox *port() const;
    // The name of the current port (its item data), and the port of that name made
    // current.
    QString portName() const;
    void setPortName(const QString &name);
    QComboBox *baudrate() const;
    QComboBox *parity() const;
    QComboBox *stopBits() const;
    // Read the log at the line's pace (as khronar-fetch does) instead of one request
    // every 100 ms; unchecked unless the caller checks it.
    QCheckBox *linePace() const { return linePaceBox; }

private:
    Ui::DialogPortSettings *ui;
    QCheckBox *linePaceBox;
};
