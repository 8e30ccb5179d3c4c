// khronar-makelog FILE.db N: writes a new log file with N made-up records, for
// trying the tool and measuring it on large logs.

#include "bench/logfiller.h"
#include "store/logfile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool numeric = false;
    const qint64 records = args.size() == 3 ? args.at(2).toLongLong(&numeric) : 0;
    if (!numeric || records < 0) {
        std::fprintf(stderr,
                     "usage: khronar-makelog FILE.db N\n"
                     "Replaces FILE.db by a log file holding N made-up records.\n");
        return 2;
    }
    const QString path = args.at(1);

    QElapsedTimer timer;
    timer.start();
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        const StoreStatus created = createLogFile(database, path);
        if (!created) {
            std::fprintf(stderr, "khronar-makelog: %s\n", qPrintable(created.error().text));
            return 1;
        }
        const LogFillOutcome filled = fillLogFile(database, records);
        database.close();
        if (!filled.ok) {
            std::fprintf(stderr, "khronar-makelog: %s\n", qPrintable(filled.error));
            return 1;
        }
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));

    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    std::printf("%s: %lld records, %.1f MB, %.2f s (%.0f records/s)\n", qPrintable(path), records,
                double(QFileInfo(path).size()) / 1e6, seconds, seconds > 0 ? double(records) / seconds : 0.0);
    return 0;
}
