// khronar-fetch: downloads devices' event logs into log files or a central database from the command line.

#include "fetch/fetcher.h"

#include <QCoreApplication>

namespace {

// Standard error carries the program's own messages only, which scripts read. Qt's
// diagnostics (a QtSql driver that cannot free a statement on a connection the server
// has dropped, say) would come between them; only its fatal messages get through.
QtMessageHandler standardHandler = nullptr;

void keepQtQuiet(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if ((type == QtCriticalMsg || type == QtFatalMsg) && standardHandler != nullptr)
        standardHandler(type, context, message);
}

} // namespace

int main(int argc, char *argv[])
{
    standardHandler = qInstallMessageHandler(keepQtQuiet);
    QCoreApplication app(argc, argv);
    return fetchMain(QCoreApplication::arguments().mid(1));
}
