// The logs of several devices of one station, for the tests of the merged export: log
// files whose times overlap, and the merge of their single exports made by hand.
#pragma once

#include "store/logfile.h"
#include "tests/support/logfixture.h"
#include "tests/support/samplelog.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QPair>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QVector>

#include <algorithm>

namespace StationLogs {

// Makes `folder` the system's temporary folder for the rest of the test, where the
// merged files go: TMPDIR on Linux, TMP (then TEMP) on Windows.
inline void useTempFolder(const QString &folder)
{
    const QByteArray path = QFile::encodeName(QDir::toNativeSeparators(folder));
    for (const char *name : {"TMPDIR", "TMP", "TEMP"})
        qputenv(name, path);
}

// Appends `count` records to the open log with SampleLog's captions (which it adds),
// the first at device time `start`, each 0 to 2 seconds after the one before: several
// records share a second, within a device and across devices that start near each
// other. Now and then (`setBack`) the device's clock is set back an hour. Types include
// codes no device defines; events include one without a caption.
inline QString addRecords(QSqlDatabase &db, int count, quint32 seed, quint32 start, bool setBack = false)
{
    const QString captions = SampleLog::addCaptions(db);
    if (!captions.isEmpty())
        return captions;
    QRandomGenerator random(seed);
    const quint32 events[] = {1, 2, 3, 4, 5, 6, 99};
    const int types[] = {0, 0, 1, 2, 3, 7};
    quint32 clock = start;
    if (!db.transaction())
        return db.lastError().text();
    for (int n = 0; n < count; ++n) {
        clock = setBack && n % 97 == 96 ? clock - 3600 : clock + random.bounded(3);
        const quint32 event = events[random.bounded(int(std::size(events)))];
        QByteArray data;
        for (int b = 0; b < 5; ++b)
            data += char(random.bounded(256));
        if (event == 3)
            data = QByteArray("ivanov") + QByteArray(1, '\0');
        const QString failure = LogFixture::addRecord(db, event, types[random.bounded(int(std::size(types)))], data,
                                                      clock, quint32(n), 1);
        if (!failure.isEmpty()) {
            db.rollback();
            return failure;
        }
    }
    return db.commit() ? QString() : db.lastError().text();
}

// A new log file at `path` with the records of addRecords.
// A device of a station: its name, how many records and when its log begins.
struct Device {
    QString name;
    int records;
    quint32 start;
};

// Three devices of one station, named in another order than a list of them would have
// them, with times that overlap and share seconds.
inline QVector<Device> threeDevices()
{
    return {
        {QStringLiteral("ввод-2"), 1500, LogFixture::March15th2024 + 300},
        {QStringLiteral("ввод-1"), 800, LogFixture::March15th2024},
        {QStringLiteral("резерв"), 2600, LogFixture::March15th2024 + 100},
    };
}

inline QString makeLogFile(const QString &path, int count, quint32 seed, quint32 start, bool setBack = false)
{
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("station-maker"));
        const StoreStatus created = createLogFile(db, path);
        failure = created ? addRecords(db, count, seed, start, setBack) : created.error().text;
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("station-maker"));
    return failure;
}

// The time field of a CSV line: the text between its first two double quotes, which a
// time never holds.
inline QByteArray timeField(const QByteArray &line, int from = 0)
{
    const int start = line.indexOf('"', from) + 1;
    return line.mid(start, line.indexOf('"', start) - start);
}

// The single exports of several devices merged by hand: every line with the device's
// name put first as a quoted field (its double quotes doubled), ordered by time, then
// by the device's name, then as the device's own export has them (a stable sort).
// A file in UTF-8 after a byte-order mark (on a system whose code page cannot hold the
// messages) keeps one mark, at its start, and has the names in UTF-8 too.
inline QByteArray mergedByHand(const QList<QPair<QString, QByteArray>> &exports)
{
    struct Line {
        QByteArray time;
        QString device;
        QByteArray text;
    };
    const QByteArray mark("\xEF\xBB\xBF");
    bool marked = false;
    QVector<Line> lines;
    for (const auto &[device, written] : exports) {
        QByteArray csv = written;
        if (csv.startsWith(mark)) {
            marked = true;
            csv.remove(0, mark.size());
        }
        QByteArray field = marked ? device.toUtf8() : device.toLocal8Bit();
        field.replace('"', "\"\"");
        for (const QByteArray &line : csv.split('\n')) {
            if (!line.isEmpty())
                lines.push_back({timeField(line), device, '"' + field + "\";" + line + '\n'});
        }
    }
    std::stable_sort(lines.begin(), lines.end(), [](const Line &a, const Line &b) {
        return a.time != b.time ? a.time < b.time : a.device < b.device;
    });
    QByteArray merged = marked ? mark : QByteArray();
    for (const Line &line : lines)
        merged += line.text;
    return merged;
}

// The lines of `merged` that start with the field of `device`, without that field: what
// the device's own export says, when the merge kept its order.
inline QByteArray linesOf(const QByteArray &merged, const QString &device)
{
    QByteArray field = device.toLocal8Bit();
    field.replace('"', "\"\"");
    const QByteArray prefix = '"' + field + "\";";
    QByteArray own;
    const QByteArray mark("\xEF\xBB\xBF");
    for (const QByteArray &line : (merged.startsWith(mark) ? merged.mid(mark.size()) : merged).split('\n')) {
        if (line.startsWith(prefix))
            own += line.mid(prefix.size()) + '\n';
    }
    return own;
}

// The simulator's log of a device of a station: `count` records over two captions from
// 2024-03-15 13:45:30 on, a second apart or in the same second, at a pace of its own
// (`device` 0..), so that the devices of one station overlap; types include a code no
// device defines.
inline QString simulatedDeviceLog(int device, int count)
{
    constexpr quint32 March15th2024 = 763825530;
    QString json = QStringLiteral("{\"captions\": [{\"event\": 1, \"text\": \"Насос #u: \\\"пуск\\\"\"}, "
                                  "{\"event\": 2, \"text\": \"Давление #2.2U бар\"}], \"records\": [");
    for (int k = 0; k < count; ++k) {
        json += QStringLiteral("%1{\"event\": %2, \"type\": %3, \"time\": %4, \"data\": \"%5 0%6\"}")
                    .arg(k == 0 ? "" : ",")
                    .arg(k % 3 == 0 ? 2 : 1)
                    .arg(k % 5)
                    .arg(March15th2024 + quint32(k * (device + 2) / 3))
                    .arg(k & 0xFF, 2, 16, QLatin1Char('0'))
                    .arg(device);
    }
    return json + QStringLiteral("]}");
}

} // namespace StationLogs
