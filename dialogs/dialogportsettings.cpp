// The port settings dialog: its form and the list of ports.

#include "dialogs/dialogportsettings.h"
#include "ui_dialogportsettings.h"

#include "portlist/portlist.h"

#include <QCheckBox>

DialogPortSettings::DialogPortSettings(QWidget *parent)
    : QDialog(parent),
      ui(new Ui::DialogPortSettings),
      linePaceBox(nullptr)
{
    ui->setupUi(this);
    // Under the line's settings and above the buttons.
    linePaceBox = new QCheckBox(QStringLiteral("Читать со скоростью линии"), this);
    linePaceBox->setObjectName(QStringLiteral("linePace"));
    ui->verticalLayout->insertWidget(1, linePaceBox);
    ui->port->clear();
    for (const PortChoice &choice : availablePorts())
        ui->port->addItem(choice.label, choice.name);
}

QString DialogPortSettings::portName() const
{
    const QVariant name = ui->port->currentData();
    return name.isValid() ? name.toString() : ui->port->currentText();
}

void DialogPortSettings::setPortName(const QString &name)
{
    const int index = ui->port->findData(name);
    if (index != -1)
        ui->port->setCurrentIndex(index);
    else
        ui->port->setCurrentText(name);
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
