// The system's 8-bit encoding on Windows: the ANSI code page, as Qt's own codec of that
// name, which can tell which characters it cannot hold (the system's conversion turns
// them into question marks without a word).

#include "logaccess/csvexport.h"

#include <QTextCodec>

#include <windows.h>

QTextCodec *systemCodec()
{
    const UINT codePage = GetACP();
    QTextCodec *codec = codePage == CP_UTF8 ? QTextCodec::codecForName("UTF-8")
                                            : QTextCodec::codecForName("windows-" + QByteArray::number(uint(codePage)));
    return codec ? codec : QTextCodec::codecForLocale();
}
