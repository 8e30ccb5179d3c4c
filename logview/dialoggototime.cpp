// The go-to-time dialog.

#include "logview/dialoggototime.h"

#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

DialogGoToTime::DialogGoToTime(QWidget *parent) : QDialog(parent), edit(new QDateTimeEdit(this))
{
    setObjectName(QStringLiteral("DialogGoToTime"));
    setWindowTitle(QStringLiteral("Перейти ко времени"));
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(QStringLiteral("Первая запись в это время или позже:"), this);
    layout->addWidget(label);

    edit->setObjectName(QStringLiteral("goToTimeEdit"));
    // The device's clock knows no time zone: the fields are shown and taken as they are.
    edit->setTimeSpec(Qt::UTC);
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    edit->setCalendarPopup(true);
    label->setBuddy(edit);
    layout->addWidget(edit);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void DialogGoToTime::setTime(const QDateTime &time)
{
    if (time.isValid())
        edit->setDateTime(QDateTime(time.date(), time.time(), Qt::UTC));
}

QDateTime DialogGoToTime::time() const
{
    const QDateTime shown = edit->dateTime();
    return QDateTime(shown.date(), shown.time(), Qt::UTC);
}
