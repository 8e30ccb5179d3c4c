// Converting the device's 8-bit texts into strings.

#include "store/devicetext.h"

#include <QTextCodec>

QString decodeDeviceText(const char *bytes, int length)
{
    // Always the devices' own code page: read with the system's (Windows-1252 on a
    // Western-European Windows, UTF-8 on Linux) the captions would be stored as
    // garbage for good. On a Russian Windows the two are the same.
    static QTextCodec *const windows1251 = QTextCodec::codecForName("Windows-1251");
    const QString text = windows1251->toUnicode(bytes, length);
    // Qt's codec on Windows gives a null string for no bytes, and a null string is
    // bound as SQL NULL: an event whose caption is empty would then be shown as an
    // unknown event, in red.
    return text.isNull() ? QStringLiteral("") : text;
}
