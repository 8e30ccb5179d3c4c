// The critical message box through which the window reports every failure.

#include "app/errorbox.h"

#include <QMessageBox>
#include <QString>

void showErrorBox(QWidget *parent, const QString &message)
{
    QMessageBox::critical(parent, QStringLiteral("Ошибка"), message, QMessageBox::Ok, QMessageBox::NoButton);
}
