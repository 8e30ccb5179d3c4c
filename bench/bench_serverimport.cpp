// The same records imported into a new log file and into a fresh central database in
// one run, through the store interface as a download writes (LogImporter over
// LogFileStore and ServerLogStore): records per second of each, and their ratio.
//
//   bench_serverimport [--durable] [N [BATCH]]   (N records, default 100000; BATCH
//                                               records per batch, default 100)
//
// khronar-fetch commits a batch every 500 ms; at 115200 baud that is about a hundred
// records, the default here. The server is one of the tests' own (a new cluster on a
// free port), started by this program and gone when it ends; it runs without fsync as
// in the tests, and with --durable with fsync and synchronous commits, as a production
// server does (the log file always syncs its commits).
//
// Then, twenty times, one record committed to a device and the time until a view of the
// device hears of it on the server's change channel: the median, against the once-a-
// second poll a view falls back on.

#include "logaccess/logchangewatch.h"
#include "serverstore/serverconnection.h"
#include "serverstore/serverlogstore.h"
#include "store/logfile.h"
#include "store/logfilestore.h"
#include "store/logimporter.h"

#include "tests/support/postgresserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Captions with numbers, an enumeration, a date and a string; event 9 has none.
const char *const Captions[] = {
    "Пуск насоса #u, ток #2.1U А",
    "Давление #+3.1I бар на входе #`Норма``Высокое``Авария`e",
    "Код #4X в #d",
    "Оператор #s",
};
constexpr int CaptionCount = sizeof Captions / sizeof *Captions;

std::vector<DeviceRecord> makeRecords(int count)
{
    std::vector<DeviceRecord> records;
    records.reserve(std::size_t(count));
    for (int k = 0; k < count; ++k) {
        DeviceRecord record;
        record.index = std::uint32_t(k);
        record.type = std::uint8_t(k % 4);
        record.deviceTime = 725846400u + std::uint32_t(k) * 37u;
        record.eventId = k % 50 == 49 ? 9 : std::uint32_t(k % CaptionCount) + 1;
        const char bytes[] = {char(k), char(k >> 8), char(k % 3), char(0x7A), char(0x0D), char(0x87), char(0x2D)};
        record.data = record.eventId == 4 ? QByteArray("Иванов") : QByteArray(bytes, sizeof bytes);
        records.push_back(record);
    }
    return records;
}

// Seconds to import `records` into `store` as a download does, or -1 on a failure.
double timeImport(LogStore &store, const std::vector<DeviceRecord> &records, int batch)
{
    QTextCodec *codec = QTextCodec::codecForName("Windows-1251");
    QElapsedTimer clock;
    clock.start();
    LogImporter importer(&store);
    store.beginBatch();
    (void)importer.takeInfo(CaptionCount, 1, 2);
    (void)importer.acceptConfiguration();
    for (int k = 0; k < CaptionCount; ++k) {
        const QByteArray text = codec->fromUnicode(QString::fromUtf8(Captions[k]));
        if (!importer.storeCaption(std::uint16_t(k), std::uint32_t(k) + 1, text.constData()))
            return -1;
    }
    (void)importer.resumeIndex(0);
    for (std::size_t k = 0; k < records.size(); ++k) {
        if (!importer.storeRecord(records[k]))
            return -1;
        if ((k + 1) % std::size_t(batch) == 0) {
            if (!store.commitBatch())
                return -1;
            store.beginBatch();
        }
    }
    if (!store.commitBatch())
        return -1;
    return clock.nsecsElapsed() / 1e9;
}

} // namespace

// From the start of a commit of one record to a view's hearing of it, `rounds` times:
// the median in milliseconds, or -1 when one was not heard within 5 s.
double medianAnnouncementMs(const QString &url, int rounds)
{
    ServerLogStore store;
    if (!store.open(parseServerUrl(url).url, QStringLiteral("watched"), {}))
        return -1;
    ServerConnection view;
    if (!view.open(parseServerUrl(url).url, QStringLiteral("khronar-bench")))
        return -1;
    LogChangeWatch watch;
    if (!watch.listen(view.database(), QStringLiteral("watched")))
        return -1;
    std::vector<double> heard;
    for (int round = 0; round < rounds; ++round) {
        QEventLoop loop;
        QObject::connect(&watch, &LogChangeWatch::changed, &loop, &QEventLoop::quit);
        QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
        DeviceRecord record;
        record.index = std::uint32_t(round);
        QElapsedTimer clock;
        clock.start();
        if (!store.beginBatch() || !store.storeRecord(record) || !store.commitBatch() || loop.exec() != 0)
            return -1;
        heard.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(heard.begin(), heard.end());
    return heard[heard.size() / 2];
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const bool durable = arguments.removeAll(QStringLiteral("--durable")) > 0;
    const int count = arguments.size() > 0 ? arguments[0].toInt() : 100000;
    const int batch = arguments.size() > 1 ? arguments[1].toInt() : 100;
    if (count <= 0 || batch <= 0) {
        std::fprintf(stderr, "usage: bench_serverimport [--durable] [N [BATCH]]\n");
        return 2;
    }
    const std::vector<DeviceRecord> records = makeRecords(count);

    QTemporaryDir dir;
    double fileSeconds = -1;
    {
        QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("file"));
        if (createLogFile(database, dir.filePath(QStringLiteral("bench.db")))) {
            LogFileStore store(database);
            fileSeconds = timeImport(store, records, batch);
        }
        database.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("file"));

    PostgresServer server;
    server.setDurable(durable);
    if (!server.start() || !server.createDatabase(QStringLiteral("bench"))) {
        std::fprintf(stderr, "bench_serverimport: %s\n", qPrintable(server.error()));
        return 1;
    }
    double serverSeconds = -1;
    {
        ServerLogStore store;
        const StoreStatus opened = store.open(parseServerUrl(server.url(QStringLiteral("bench"))).url,
                                              QStringLiteral("bench"), {});
        if (opened)
            serverSeconds = timeImport(store, records, batch);
        else
            std::fprintf(stderr, "bench_serverimport: %s\n", qPrintable(opened.error().text));
    }
    if (fileSeconds <= 0 || serverSeconds <= 0) {
        std::fprintf(stderr, "bench_serverimport: an import failed\n");
        return 1;
    }
    const double fileRate = count / fileSeconds;
    const double serverRate = count / serverSeconds;
    std::printf("%d records, batches of %d; server %s\n", count, batch,
                durable ? "with fsync and synchronous commits" : "without fsync");
    std::printf("log file:  %8.2f s  %10.0f records/s\n", fileSeconds, fileRate);
    std::printf("server:    %8.2f s  %10.0f records/s\n", serverSeconds, serverRate);
    std::printf("server / file: %.2f (goal: at least 0.8)\n", serverRate / fileRate);

    const double heardMs = medianAnnouncementMs(server.url(QStringLiteral("bench")), 20);
    if (heardMs < 0) {
        std::fprintf(stderr, "bench_serverimport: no announcement heard\n");
        return 1;
    }
    std::printf("a commit heard by a view of the device: median of 20 %.1f ms (goal: at most 200 ms); "
                "%.3f of the 1000 ms poll\n",
                heardMs, heardMs / 1000.0);
    return 0;
}
