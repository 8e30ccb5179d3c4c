// The open-from-server dialog.

#include "dialogs/dialogopenserver.h"

#include "logaccess/logopener.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

DialogOpenServer::DialogOpenServer(LogOpener &browser, const QString &url, const QStringList &shown, QWidget *parent)
    : QDialog(parent),
      browser(browser),
      urlEdit(new QLineEdit(url, this)),
      connectButton(new QPushButton(QStringLiteral("Подключиться"), this)),
      allButton(new QPushButton(QStringLiteral("Все"), this)),
      status(new QLabel(this)),
      devices(new QListWidget(this)),
      buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)),
      chosenDevices(shown)
{
    setObjectName(QStringLiteral("DialogOpenServer"));
    setWindowTitle(QStringLiteral("Открыть с сервера"));
    auto *layout = new QGridLayout(this);

    auto *urlLabel = new QLabel(QStringLiteral("Сервер:"), this);
    urlEdit->setObjectName(QStringLiteral("serverUrl"));
    urlEdit->setPlaceholderText(QStringLiteral("postgresql://пользователь@сервер/база"));
    urlEdit->setMinimumWidth(urlEdit->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 48);
    urlLabel->setBuddy(urlEdit);
    connectButton->setObjectName(QStringLiteral("serverConnect"));
    // Enter in the URL lists its devices; it opens nothing that was not chosen for it.
    connectButton->setAutoDefault(false);
    layout->addWidget(urlLabel, 0, 0);
    layout->addWidget(urlEdit, 0, 1);
    layout->addWidget(connectButton, 0, 2);

    status->setObjectName(QStringLiteral("serverStatus"));
    status->setWordWrap(true);
    status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(status, 1, 0, 1, 3);

    auto *devicesLabel = new QLabel(QStringLiteral("Устройства:"), this);
    devices->setObjectName(QStringLiteral("serverDevices"));
    // Several devices chosen are shown together, on one time axis.
    devices->setSelectionMode(QAbstractItemView::ExtendedSelection);
    devicesLabel->setBuddy(devices);
    allButton->setObjectName(QStringLiteral("serverAllDevices"));
    allButton->setAutoDefault(false);
    allButton->setToolTip(QStringLiteral("Выбрать все устройства сервера"));
    layout->addWidget(devicesLabel, 2, 0, 1, 2);
    layout->addWidget(allButton, 2, 2);
    layout->addWidget(devices, 3, 0, 1, 3);

    buttons->setObjectName(QStringLiteral("buttonBox"));
    layout->addWidget(buttons, 4, 0, 1, 3);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(connectButton, &QPushButton::clicked, this, &DialogOpenServer::listDevices);
    connect(urlEdit, &QLineEdit::returnPressed, this, &DialogOpenServer::listDevices);
    connect(urlEdit, &QLineEdit::textEdited, this, &DialogOpenServer::urlEdited);
    connect(devices, &QListWidget::itemSelectionChanged, this, &DialogOpenServer::updateOk);
    connect(devices, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(allButton, &QPushButton::clicked, this, [this] {
        devices->selectAll();
        devices->setFocus();
    });
    updateOk();
    if (!url.isEmpty())
        listDevices();
}

QStringList DialogOpenServer::deviceNames() const
{
    QStringList names;
    for (int row = 0; row < devices->count(); ++row) {
        if (devices->item(row)->isSelected())
            names << devices->item(row)->text();
    }
    return names;
}

QString DialogOpenServer::deviceName() const
{
    return deviceNames().value(0);
}

void DialogOpenServer::listDevices()
{
    devices->clear();
    const ServerUrlParse parsed = parseServerUrl(urlEdit->text().trimmed());
    if (!parsed.error.isEmpty()) {
        browser.cancelListing();
        listedUrl = ServerUrl();
        showStatus(QStringLiteral("Неверный адрес сервера: %1").arg(parsed.error), true);
        return;
    }
    listedUrl = parsed.url;
    showStatus(QStringLiteral("Подключение к %1…").arg(listedUrl.displayName()), false);
    browser.listDevices(listedUrl, this, [this](const ServerDeviceList &list) { devicesListed(list); });
}

void DialogOpenServer::devicesListed(const ServerDeviceList &list)
{
    if (!list) {
        showStatus(QStringLiteral("%1: %2").arg(listedUrl.displayName(), list.error().text), true);
        return;
    }
    const QStringList &names = *list;
    // A name is shown as it is, never read as markup.
    for (const QString &name : names)
        devices->addItem(name);
    showStatus(names.isEmpty() ? QStringLiteral("На сервере нет устройств")
                               : QStringLiteral("Устройств на сервере: %1").arg(names.size()),
               false);
    if (!names.isEmpty()) {
        // Enter opens the devices chosen: the ones shown when the list is of their server,
        // otherwise the first.
        QList<QListWidgetItem *> shown;
        for (const QString &name : qAsConst(chosenDevices))
            shown += devices->findItems(name, Qt::MatchExactly);
        devices->setCurrentItem(shown.isEmpty() ? devices->item(0) : shown.first());
        for (QListWidgetItem *item : qAsConst(shown))
            item->setSelected(true);
        devices->setFocus();
    }
}

void DialogOpenServer::urlEdited()
{
    // What was listed belongs to the URL as it was.
    browser.cancelListing();
    devices->clear();
    status->clear();
}

void DialogOpenServer::showStatus(const QString &text, bool failure)
{
    status->setTextFormat(Qt::PlainText);
    status->setText(text);
    QPalette palette = status->palette();
    palette.setColor(QPalette::WindowText,
                     failure ? QColor(Qt::red) : QPalette().color(QPalette::Active, QPalette::WindowText));
    status->setPalette(palette);
}

void DialogOpenServer::updateOk()
{
    buttons->button(QDialogButtonBox::Ok)->setEnabled(!deviceNames().isEmpty());
    allButton->setEnabled(devices->count() > 0);
}
