#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "csvexport.h"
#include "errorbox.h"
#include "identity.h"
#include "logfile.h"
#include "logschema.h"
#include "logviewmodel.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
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
      model(nullptr),
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

    database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));

    setupAddressWidgets();
    setupStatusBar();

    // The table stays without a model, and empty, until a log file is created or opened.
    model = new LogViewModel(this);
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

void MainWindow::rememberDirectory(QString &directory, const QString &key, const QString &chosenFile)
{
    directory = QFileInfo(chosenFile).absolutePath();
    settings->setValue(key, directory);
}

void MainWindow::on_actionCreate_triggered()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Создать файл журнала"), dirOpen,
                                                      QStringLiteral("Файлы журнала (*.db)"));
    if (path.isEmpty())
        return;
    rememberDirectory(dirOpen, QStringLiteral("DirOpen"), path);

    const LogFileOutcome outcome = createLogFile(database, path);
    if (!outcome.ok) {
        showErrorBox(this, outcome.message);
        return;
    }
    refreshLogView();
}

void MainWindow::on_actionOpen_triggered()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Открыть файл журнала"), dirOpen,
                                                      QStringLiteral("Файлы журнала (*.db)"));
    if (path.isEmpty())
        return;
    rememberDirectory(dirOpen, QStringLiteral("DirOpen"), path);

    const LogFileOutcome outcome = openLogFile(database, path);
    if (!outcome.ok) {
        showErrorBox(this, outcome.message);
        return;
    }
    refreshLogView();
}

void MainWindow::refreshLogView()
{
    model->setQuery(LogViewSql, QSqlDatabase());
    ui->tableView->setModel(model);
    ui->tableView->hideColumn(3);
    ui->tableView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui->tableView->setSelectionMode(QAbstractItemView::SingleSelection);
    ui->tableView->resizeColumnsToContents();
    ui->tableView->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    ui->tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui->tableView->horizontalHeader()->setStretchLastSection(true);
}

void MainWindow::on_exportLog_triggered()
{
    if (!database.isOpen()) {
        showErrorBox(this, QStringLiteral("Файл журнала не открыт"));
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Экспортировать журнал"), dirSave,
                                                      QStringLiteral("Файл таблицы (*.csv)"));
    if (path.isEmpty())
        return;
    rememberDirectory(dirSave, QStringLiteral("DirSave"), path);

    // A file that cannot be written is reported: the user asked for it and would
    // otherwise find nothing there, or half a table.
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)
                         && writeLogCsv(database, file) && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError)
        showErrorBox(this, QStringLiteral("Не удается записать файл \"") + path + QLatin1Char('"'));
}
