// Windows-1251 through Qt's codec.

#include "tools/devsim/windows1251.h"

#include <QTextCodec>

namespace {

QTextCodec *codec()
{
    static QTextCodec *const windows1251 = QTextCodec::codecForName("Windows-1251");
    return windows1251;
}

} // namespace

QByteArray toWindows1251(const QString &text, bool *ok)
{
    // canEncode alone is not enough: some codecs map unknown characters to '?'
    // and still call the text encodable, so the round trip decides.
    const QByteArray encoded = codec()->fromUnicode(text);
    *ok = codec()->toUnicode(encoded) == text;
    return encoded;
}

QString fromWindows1251(const QByteArray &bytes)
{
    return codec()->toUnicode(bytes);
}
