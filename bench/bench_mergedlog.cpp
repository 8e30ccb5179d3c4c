// bench_mergedlog [FILES [RECORDS]]: how long the window takes to merge FILES log files of
// RECORDS records each (16 of 100 000 unless given) into the file it shows them through,
// against khronar-fetch's merged CSV export of the same files. The ratio is what holds
// from one machine to another: building the view's file should cost about what reading
// the logs for an export does. Then what the view's once-a-second look for new records
// costs, against that build: with none stored, and with 100 stored into each file.

#include "bench/logfiller.h"
#include "logaccess/csvexport.h"
#include "logaccess/mergedlogfile.h"
#include "logaccess/mergedlogs.h"
#include "store/logfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int files = args.size() > 1 ? args.at(1).toInt() : 16;
    const qint64 records = args.size() > 2 ? args.at(2).toLongLong() : 100000;
    if (files < 1 || records < 0) {
        std::fprintf(stderr, "usage: bench_mergedlog [FILES [RECORDS]]\n");
        return 2;
    }
    QTemporaryDir dir;
    QStringList paths;
    for (int f = 0; f < files; ++f) {
        paths << QDir(dir.path()).filePath(QStringLiteral("device-%1.db").arg(f, 2, 10, QLatin1Char('0')));
        {
            QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("maker"));
            const StoreStatus created = createLogFile(database, paths.last());
            const LogFillOutcome filled = created ? fillLogFile(database, records) : LogFillOutcome{false, {}};
            database.close();
            if (!filled.ok) {
                std::fprintf(stderr, "bench_mergedlog: cannot make %s\n", qPrintable(paths.last()));
                return 1;
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("maker"));
    }

    QElapsedTimer timer;
    timer.start();
    const StoreResult<std::unique_ptr<MergedLogFile>> merged = MergedLogFile::build(paths);
    const qint64 buildMs = timer.elapsed();
    if (!merged) {
        std::fprintf(stderr, "bench_mergedlog: %s\n", qPrintable(merged.error().text));
        return 1;
    }
    const qint64 mergedBytes = QFileInfo(merged.value()->path()).size();

    timer.restart();
    const StoreResult<std::unique_ptr<MergedLogs>> logs = MergedLogs::openFiles(paths, OpenLogSettings());
    const StoreStatus exported = logs
        ? logs.value()->exportCsv(QDir(dir.path()).filePath(QStringLiteral("all.csv")), LogFilter())
        : StoreStatus(Failure(logs.error()));
    const qint64 exportMs = timer.elapsed();
    if (!exported) {
        std::fprintf(stderr, "bench_mergedlog: %s\n", qPrintable(exported.error().text));
        return 1;
    }
    std::printf("%d files of %lld records: merged file built in %lld ms (%lld MB), merged CSV export in %lld ms, "
                "ratio %.2f\n",
                files, static_cast<long long>(records), static_cast<long long>(buildMs),
                static_cast<long long>(mergedBytes / (1024 * 1024)), static_cast<long long>(exportMs),
                exportMs > 0 ? double(buildMs) / double(exportMs) : 0.0);

    // The looks: the slowest of five with nothing new, then one that copies 100 records
    // of each file (in the year 2100, so after every record shown).
    qint64 idleMs = 0;
    for (int look = 0; look < 5; ++look) {
        timer.restart();
        const StoreResult<MergedGrowth> grown = merged.value()->appendNew();
        idleMs = std::max(idleMs, timer.elapsed());
        if (!grown || *grown != MergedGrowth::Nothing) {
            std::fprintf(stderr, "bench_mergedlog: a look with nothing new found something\n");
            return 1;
        }
    }
    constexpr int Stored = 100;
    for (const QString &path : paths) {
        {
            QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("collector"));
            database.setDatabaseName(path);
            QSqlQuery query(database);
            if (!database.open()
                || !query.exec(
                    QStringLiteral("INSERT INTO Log (i, count, dt, type, event, data)"
                                   " SELECT i + 1000000, count, 4102444800 + id % 1000, type, event, data FROM Log"
                                   " ORDER BY id DESC LIMIT %1")
                        .arg(Stored))) {
                std::fprintf(stderr, "bench_mergedlog: cannot store into %s\n", qPrintable(path));
                return 1;
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("collector"));
    }
    timer.restart();
    const StoreResult<MergedGrowth> grown = merged.value()->appendNew();
    const qint64 growMs = timer.elapsed();
    if (!grown || *grown != MergedGrowth::Appended) {
        std::fprintf(stderr, "bench_mergedlog: the stored records were not appended: %s\n",
                     grown ? "merged anew" : qPrintable(grown.error().text));
        return 1;
    }
    std::printf("a look for new records: %lld ms with none (ratio to the build %.3f), %lld ms copying %d "
                "(ratio %.3f)\n",
                static_cast<long long>(idleMs), buildMs > 0 ? double(idleMs) / double(buildMs) : 0.0,
                static_cast<long long>(growMs), files * Stored, buildMs > 0 ? double(growMs) / double(buildMs) : 0.0);
    return 0;
}
