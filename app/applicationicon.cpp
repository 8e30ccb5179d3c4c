// The application icon's larger sizes, from the pictures installed into the desktop's
// icon theme as well.

#include "app/applicationicon.h"

#include <QString>

QIcon withApplicationIconSizes(QIcon icon)
{
    // 16 x 16 comes from the form; the bundle holds the same drawing at these sizes.
    for (int size : {32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/hicolor/%1x%1/apps/khronar.png").arg(size), QSize(size, size));
    return icon;
}
