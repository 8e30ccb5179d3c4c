// The port settings dialog: its form and the list of ports.

#include "dialogs/dialogportsettings.h"
#include "ui_dialogportsettings.h"

#include "portlist/portlist.h"

DialogPortSettings::DialogPortSettings(QWidget *parent) : QDialog(parent), ui(new Ui::DialogPortSettings)
{
    ui->setupUi(this);
    ui->port->clear();
    ui->port->addItems(availablePortNames());
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
