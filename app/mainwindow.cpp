#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "identity.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QToolBar>

MainWindow *theMainWindow = nullptr;

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::MainWindow),
      settings(nullptr),
      baudIndex(5),
      parityIndex(2),
      stopBitsIndex(0),
      deviceIdHash(0),
      deviceCaptionHash(0),
      deviceCaptionCount(0),
      addressLabel(nullptr),
      deviceAddressSpinBox(nullptr),
      sentCount(0),
      sentLabel(nullptr),
      receivedCount(0),
      receivedLabel(nullptr),
      progressBar(nullptr),
      progressMaximum(0)
{
    theMainWindow = this;

    ui->setupUi(this);

    const std::wstring executable = QCoreApplication::applicationFilePath().toStdWString();
    productName = identityString(executable, L"ProductName", IdentityTranslation);
    internalName = identityString(executable, L"InternalName", IdentityTranslation);
    setWindowTitle(QString::fromStdWString(productName + L" " + internalName));

    settings = new QSettings(QStringLiteral("Tolmer"), QString::fromStdWString(productName));
    dirOpen = settings->value(QStringLiteral("DirOpen")).toString();
    dirSave = settings->value(QStringLiteral("DirSave")).toString();

    setupAddressWidgets();
    setupStatusBar();
}

MainWindow::~MainWindow()
{
    delete ui;
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
    connect(deviceAddressSpinBox, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &MainWindow::on_deviceAddressSpinBox_valueChanged);

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
}

void MainWindow::updateSentLabel()
{
    sentLabel->setText(QStringLiteral("Отправлено пакетов: ") + QString::number(sentCount));
}

void MainWindow::updateReceivedLabel()
{
    receivedLabel->setText(QStringLiteral("Принято пакетов: ") + QString::number(receivedCount));
}

void MainWindow::on_deviceAddressSpinBox_valueChanged(int value)
{
    // Nothing to do here: the address reaches the master only when a download
    // starts, and a clear goes to the address the master already holds.
    Q_UNUSED(value)
}
