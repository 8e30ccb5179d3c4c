// khronar-fetch: downloads devices' event logs into log files from the command line.

#include "fetch/fetcher.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    return fetchMain(QCoreApplication::arguments().mid(1));
}
