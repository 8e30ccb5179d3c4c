// The port settings dialog: its form and the list of ports.

#include "dialogs/dialogportsettings.h"
#include "ui_dialogportsettings.h"

#include "dialogs/envports.h"

#include <QSerialPortInfo>

DialogPortSettings::DialogPortSettings(QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogPortSettings)
{
    ui->setupUi(this);
    ui->port->clear();
    // The ports the user named are the ones asked for: they come first, so that the
    // first of them is current on first use. The item text is what the terminal
    // opens, so these stay full paths.
    for (const std::string &path : environmentPortPaths())
        ui->port->addItem(QString::fromLocal8Bit(path.data(), static_cast<int>(path.size())));
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        ui->port->addItem(info.portName());
}

DialogPortSettings::~DialogPortSettings()
{
    delete ui;
}

QComboBox *DialogPortSettings::port() const
{
    return ui->port;
}

QComboBox *DialogPortSettings::baudrate() const
{
    return ui->baudrate;
}

QComboBox *DialogPortSettings::parity() const
{
    return ui->parity;
}

QComboBox *DialogPortSettings::stopBits() const
{
    return ui->stopBits;
}
