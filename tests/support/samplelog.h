// Log files of a few thousand made-up records for the log view's tests: captions with
// fields, records without a caption, unknown type codes, times that step back, and
// (in a foreign table) the NULLs and texts another program might leave.
#pragma once

#include "logaccess/logfilter.h"
#include "messagetext/captionformat.h"
#include "messagetext/recordtypes.h"
#include "tests/support/logfixture.h"

#include <QList>
#include <QRegularExpression>

#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

namespace SampleLog {

// The captions every sample has: event 9 has one only under another type, event 99
// none at all.
inline QString addCaptions(const QSqlDatabase &db)
{
    const QList<QPair<quint32, QString>> captions = {
        {1, QStringLiteral("Насос #u: ток #2.1U А, режим #`Стоп``Пуск``Авто`e")},
        {2, QStringLiteral("Включение питания")},
        {3, QStringLiteral("Пользователь #s вошёл в систему")},
        {4, QStringLiteral("Авария датчика #u: #`Обрыв``Замыкание`e")},
        {5, QStringLiteral("Уставка #u изменена: #+4.2j")},
        {6, QStringLiteral("ДВЕРЬ шкафа #u открыта")},
    };
    for (const auto &caption : captions) {
        const QString failure = LogFixture::addCaption(db, caption.first, caption.second);
        if (!failure.isEmpty())
            return failure;
    }
    return LogFixture::addCaption(db, 9, QStringLiteral("Только тип 1"), 1);
}

// Appends `count` records to the open log, in one transaction; the same `seed` gives
// the same records. The first starts at `deviceTime`, which returns past the last.
inline QString addRecords(QSqlDatabase &db, int count, quint32 seed, quint32 *deviceTime)
{
    QRandomGenerator random(seed);
    const quint32 events[] = {1, 1, 2, 3, 4, 5, 6, 9, 99};
    const QVariant types[] = {0, 0, 0, 1, 2, 3, 3, 7, 255};
    const char *const users[] = {"operator", "admin", "ivanov"};
    if (!db.transaction())
        return db.lastError().text();
    for (int n = 0; n < count; ++n) {
        // Now and then the device clock is set back an hour.
        *deviceTime = random.bounded(500) == 0 ? *deviceTime - 3600 : *deviceTime + random.bounded(90);
        const quint32 event = events[random.bounded(int(std::size(events)))];
        QByteArray data;
        switch (event) {
        case 1:
            data = QByteArray(1, char(random.bounded(5))) + QByteArray(1, char(random.bounded(256)))
                + QByteArray(1, char(random.bounded(4))) + QByteArray(1, char(random.bounded(3)));
            break;
        case 3:
            data = QByteArray(users[random.bounded(3)]) + QByteArray(1, '\0');
            break;
        case 4:
            // Sometimes one byte short: "Ошибка данных" in the message.
            data = QByteArray(1, char(random.bounded(64))) + QByteArray(random.bounded(2), char(random.bounded(2)));
            break;
        case 5:
            for (int b = 0; b < 5; ++b)
                data += char(random.bounded(256));
            break;
        default:
            data = QByteArray(1, char(random.bounded(8)));
        }
        const QString failure = LogFixture::addRecord(db, event, types[random.bounded(int(std::size(types)))], data,
                                                      *deviceTime, quint32(n), 1);
        if (!failure.isEmpty()) {
            db.rollback();
            return failure;
        }
    }
    return db.commit() ? QString() : db.lastError().text();
}

// Deletes every `every`-th record, as another program might: the ids get gaps.
inline QString deleteEvery(const QSqlDatabase &db, int every)
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("DELETE FROM Log WHERE id % %1 = 0").arg(every)) ? QString()
                                                                                      : query.lastError().text();
}

// A Log table made by another program: no NOT NULL, no declared types, ids that are
// not the row id, and the values it left: NULLs, texts, reals, huge numbers.
inline QString makeForeignLog(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    const QStringList statements = {
        QStringLiteral("DROP TABLE Log"),
        QStringLiteral("CREATE TABLE Log(id, i, count, dt, type, event, data)"),
        QStringLiteral("INSERT INTO Log VALUES(5, 0, 1, 1710510330, 1, 1, x'0100020001')"),
        QStringLiteral("INSERT INTO Log VALUES(3, 1, 1, NULL, NULL, NULL, NULL)"),
        QStringLiteral("INSERT INTO Log VALUES(NULL, 2, 1, 'вчера', ' 2 ', '2', 'текст')"),
        QStringLiteral("INSERT INTO Log VALUES('x', 3, 1, 1710510331.75, '+03', 3, x'6F7000')"),
        QStringLiteral("INSERT INTO Log VALUES(4, 4, 1, '1710510332', 2.5, 5, 12345)"),
        QStringLiteral("INSERT INTO Log VALUES(4, 5, 1, -62167219201, 4294967298, 6, x'02')"),
        QStringLiteral("INSERT INTO Log VALUES(7, 6, 1, 253402300800, 'abc', 99, x'')"),
        QStringLiteral("INSERT INTO Log VALUES(6.5, 7, 1, 0, 3.0, 4, 2.5)"),
    };
    for (const QString &statement : statements) {
        if (!query.exec(statement))
            return query.lastError().text();
    }
    return QString();
}

// A row as the log view query and the rules of the table make it, computed without the model.
struct ExpectedRow {
    QVariant type;
    QVariant time;
    QVariant caption;
    QByteArray data;
    QString message;
};

inline QList<ExpectedRow> viewQueryRows(const QSqlDatabase &db)
{
    QList<ExpectedRow> rows;
    QSqlQuery query(db);
    if (!query.exec(LogViewSql))
        return rows;
    while (query.next()) {
        ExpectedRow row{query.value(0), query.value(1), query.value(2), query.value(3).toByteArray(), QString()};
        row.message = row.caption.isNull() ? QStringLiteral("Неизвестное событие")
                                           : formatCaption(row.caption.toString(), row.data.left(4096));
        rows << row;
    }
    return rows;
}

// The filter's definition, applied to the rows one by one.
inline bool passes(const ExpectedRow &row, const LogFilter &filter)
{
    if (!filter.showsType(recordTypeIndex(row.type)))
        return false;
    const QString time = row.time.toString();
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    if (filter.from.isValid() && (row.time.isNull() || time < filter.from.toString(format)))
        return false;
    if (filter.to.isValid() && (row.time.isNull() || time > filter.to.toString(format)))
        return false;
    if (filter.text.isEmpty())
        return true;
    if (!filter.regex)
        return row.message.contains(filter.text, Qt::CaseInsensitive);
    const QRegularExpression expression(
        filter.text, QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    return !expression.isValid() || expression.match(row.message).hasMatch();
}

inline QList<ExpectedRow> expectedRows(const QSqlDatabase &db, const LogFilter &filter)
{
    QList<ExpectedRow> shown;
    for (const ExpectedRow &row : viewQueryRows(db)) {
        if (passes(row, filter))
            shown << row;
    }
    return shown;
}

} // namespace SampleLog
