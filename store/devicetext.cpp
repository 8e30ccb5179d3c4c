// Converting the device's 8-bit texts into strings.

#include "store/devicetext.h"

#include <QTextCodec>

namespace {

constexpr int Utf8Mib = 106;

} // namespace

QString decodeDeviceText(const char *bytes, int length)
{
    QTextCodec *system = QTextCodec::codecForLocale();
    if (system != nullptr && system->mibEnum() != Utf8Mib)
        return system->toUnicode(bytes, length);
    static QTextCodec *const windows1251 = QTextCodec::codecForName("Windows-1251");
    return windows1251->toUnicode(bytes, length);
}
