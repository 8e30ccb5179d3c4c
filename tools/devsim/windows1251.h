// The device's 8-bit code page, Windows-1251, in which it stores its caption texts.
#pragma once

#include <QByteArray>
#include <QString>

// Encodes `text`; sets *ok to false when a character has no Windows-1251 code.
QByteArray toWindows1251(const QString &text, bool *ok);
QString fromWindows1251(const QByteArray &bytes);
