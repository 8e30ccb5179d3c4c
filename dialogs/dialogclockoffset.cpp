// The clock offset of one device of a merged view.

#include "dialogs/dialogclockoffset.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>

DialogClockOffset::DialogClockOffset(const QString &deviceName, int seconds, QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Поправка часов"));
    auto *layout = new QVBoxLayout(this);
    // Plain text: a device's name is a file's name, which may hold anything.
    auto *about = new QLabel(QStringLiteral("Секунды, прибавляемые ко времени записей устройства «%1» "
                                            "(отрицательные — вычитаемые). Сами записи не меняются.")
                                 .arg(deviceName),
                             this);
    about->setTextFormat(Qt::PlainText);
    about->setWordWrap(true);
    layout->addWidget(about);

    offset = new QSpinBox(this);
    offset->setObjectName(QStringLiteral("deviceClockOffset"));
    offset->setRange(-MaxSeconds, MaxSeconds);
    offset->setSuffix(QStringLiteral(" с"));
    offset->setValue(seconds);
    offset->setAccelerated(true);
    auto *form = new QFormLayout;
    form->addRow(QStringLiteral("Поправка:"), offset);
    layout->addLayout(form);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    offset->setFocus();
    offset->selectAll();
}

int DialogClockOffset::seconds() const
{
    return offset->value();
}
