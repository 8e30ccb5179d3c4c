// A log file made to be hostile, as a customer might mail one: records whose data are
// megabytes long and a caption of millions of characters. The tests make a small one,
// the benchmark the full size (12 records of 10 MB, a caption of 10 million «Ж»).
#pragma once

#include "store/logfile.h"

#include <QByteArray>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

namespace HostileLog {

struct Shape {
    int records = 12;
    int dataBytes = 10 * 1024 * 1024;
    int captionChars = 10 * 1000 * 1000;
};

// The caption of event 1: nothing but «Ж», `chars` of them. Event 2's caption renders
// its data whole as text ("Данные " and every byte), and the data is all «A», so the
// message of each of its records is as long as its data.
inline const QString DataCaption = QStringLiteral("Данные #s");

// Replaces `path` by a log file of `shape`: record k (from 1) has event 1 + (k + 1) % 2,
// so the first record shows the long caption, type k % 4 and the time
// 2024-03-15 13:45:30 + k seconds. The values are made by SQLite, so that the file is
// written at the disk's pace. An empty text, or the database's error.
inline QString make(const QString &path, const Shape &shape)
{
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("hostile-maker"));
        const StoreStatus created = createLogFile(db, path);
        QSqlQuery query(db);
        // hex() of a zero blob is a run of "0": each pair becomes a «Ж», each digit an «A».
        const QString statements[] = {
            QStringLiteral("INSERT INTO Events VALUES(1, 0, replace(hex(zeroblob(%1)), '00', 'Ж'))")
                .arg(shape.captionChars),
            QStringLiteral("INSERT INTO Events VALUES(2, 0, '%1')").arg(DataCaption),
            QStringLiteral("WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < %1)"
                           " INSERT INTO Log(i, count, dt, type, event, data)"
                           " SELECT k, 1, 1710510330 + k, k % 4, 1 + (k + 1) % 2,"
                           " CAST(replace(hex(zeroblob(%2)), '0', 'A') AS BLOB) FROM n")
                .arg(shape.records)
                .arg(shape.dataBytes / 2),
        };
        if (!created)
            error = created.error().text;
        for (const QString &statement : statements) {
            if (error.isEmpty() && !query.exec(statement))
                error = query.lastError().text();
        }
        query.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("hostile-maker"));
    return error;
}

// The CSV export of a file of `shape`, byte for byte, made without the tool's export.
inline QByteArray expectedCsv(const Shape &shape)
{
    static const char *const typeNames[] = {"Информация", "Предупреждение", "Ошибка", "Изменение"};
    const QDateTime first(QDate(2024, 3, 15), QTime(13, 45, 30), Qt::UTC);
    QByteArray csv;
    for (int k = 1; k <= shape.records; ++k) {
        const QString message = (k + 1) % 2 == 0
            ? QString(shape.captionChars, QChar(0x0416))
            : QStringLiteral("Данные ") + QString(shape.dataBytes, QLatin1Char('A'));
        csv += '"' + first.addSecs(k).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toLocal8Bit() + "\";\""
            + QString::fromUtf8(typeNames[k % 4]).toLocal8Bit() + "\";\"" + message.toLocal8Bit() + "\"\n";
    }
    return csv;
}

} // namespace HostileLog
