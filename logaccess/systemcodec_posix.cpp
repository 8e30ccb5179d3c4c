// The system's 8-bit encoding on POSIX systems: the locale's.

#include "logaccess/csvexport.h"

#include <QTextCodec>

QTextCodec *systemCodec()
{
    return QTextCodec::codecForLocale();
}
