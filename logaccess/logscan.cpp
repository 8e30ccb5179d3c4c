// Scans of a log on pool threads.

#include "logaccess/logscan.h"

#include "logaccess/logmessages.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <limits>
#include <memory>

namespace {

// How often a pass looks at its cancel token, in rows.
constexpr int CancelCheckRows = 256;

// Runs `statement` of `statements` and hands each row to `take` until it returns false
// or the token is cancelled; fails with the store's error.
template<typename Take>
StoreStatus eachRow(QSqlQuery &query, const LogViewStatements &statements,
                    const LogViewStatements::Statement &statement, const CancelToken &token, Take take)
{
    query.setForwardOnly(true);
    if (!statement.exec(query))
        return Failure(statements.error(query.lastError()));
    int rows = 0;
    while (query.next()) {
        if ((++rows % CancelCheckRows == 0 && token.isCancelled()) || !take(query))
            return {};
    }
    if (query.lastError().isValid())
        return Failure(statements.error(query.lastError()));
    return {};
}

// "3,4,-7" as 3, 4, -7, in ascending order.
QVector<qint64> parseKeys(const QString &text)
{
    QVector<qint64> keys;
    if (text.isEmpty())
        return keys;
    keys.reserve(text.size() / 7 + 1);
    qint64 value = 0;
    bool negative = false;
    for (const QChar c : text) {
        if (c == QLatin1Char(',')) {
            keys.append(negative ? -value : value);
            value = 0;
            negative = false;
        } else if (c == QLatin1Char('-')) {
            negative = true;
        } else {
            value = value * 10 + (c.unicode() - '0');
        }
    }
    keys.append(negative ? -value : value);
    // The database concatenates in the order it reads, which is the key order here; a
    // sort makes sure of it at no cost when it is.
    if (!std::is_sorted(keys.cbegin(), keys.cend()))
        std::sort(keys.begin(), keys.end());
    return keys;
}

// The span of keys of one chunk of a ranged pass.
LogViewStatements::KeyRange chunkRange(const LogScanSetup &setup, int chunk)
{
    // Counted from `low` unsigned: the keys of a foreign table may span all of qint64.
    const quint64 keys = quint64(setup.keysPerChunk());
    const quint64 start = quint64(chunk) * keys;
    LogViewStatements::KeyRange range;
    range.low = qint64(quint64(setup.low) + start);
    range.high = quint64(setup.high) - quint64(setup.low) - start < keys ? setup.high
                                                                         : qint64(quint64(range.low) + keys - 1);
    return range;
}

// What one thread of a scan keeps between its chunks.
struct ScanThread {
    explicit ScanThread(const LogScanSetup &setup) : setup(setup), reader(setup.openReader()), matcher(setup.filter)
    {
        QSqlError failure;
        started = reader->opened();
        if (started && matcher.isActive() && !captions.load(reader->database(), setup.statements, &failure))
            started = Failure(setup.statements.error(failure));
    }

    LogScanChunk scan(int chunk, const CancelToken &token)
    {
        LogScanChunk result;
        if (!started) {
            result.read = started;
            return result;
        }
        const LogViewStatements::KeyRange range = setup.ranged ? chunkRange(setup, chunk)
                                                               : LogViewStatements::KeyRange{0, -1};
        QSqlQuery query(reader->database());
        query.setForwardOnly(true);
        // Of a merged log with devices hidden, the times of the records that pass are
        // told with them, as a search tells them: the timeline holds no devices.
        const bool withTimes = matcher.isActive() || setup.filter.hasDeviceCondition();
        if (setup.ranged && !withTimes) {
            if (!setup.statements.keyListSql(setup.filter, range).exec(query) || !query.next())
                result.read = Failure(setup.statements.error(query.lastError()));
            else
                result.keys = parseKeys(query.value(0).toString());
            return result;
        }
        result.read = eachRow(
            query, setup.statements, setup.statements.scanSql(setup.filter, withTimes, setup.ranged ? &range : nullptr),
            token, [this, &result, withTimes](const QSqlQuery &row) {
                const qint64 key = row.value(0).toLongLong();
                if (!withTimes)
                    result.keys.append(key);
                else if (!matcher.isActive()
                         || matcher.matches(captions.message(key, row.value(1), row.value(2).toByteArray()))) {
                    result.keys.append(key);
                    const QVariant time = row.value(3);
                    if (!time.isNull())
                        result.times.appendPacked(time.toLongLong(), setup.statements.hasDevices());
                }
                return true;
            });
        return result;
    }

    LogScanSetup setup;
    std::unique_ptr<LogReader> reader;
    LogTextMatcher matcher;
    LogCaptions captions;
    StoreStatus started;
};

} // namespace

qint64 LogScanSetup::keysPerChunk() const
{
    // The span may exceed what fits a signed key: it is counted unsigned.
    const quint64 span = quint64(high) - quint64(low);
    return qint64(std::max<quint64>(quint64(chunkKeys), span / MaxChunks + 1));
}

int LogScanSetup::chunkCount() const
{
    if (!ranged)
        return 1;
    if (high < low)
        return 0;
    return int((quint64(high) - quint64(low)) / quint64(keysPerChunk())) + 1;
}

std::function<LogScanChunk(int, const CancelToken &)> startLogScanThread(const LogScanSetup &setup)
{
    auto thread = std::make_shared<ScanThread>(setup);
    return [thread](int chunk, const CancelToken &token) { return thread->scan(chunk, token); };
}

StoreStatus readRecordTimes(const QSqlDatabase &database, const LogViewStatements &statements,
                            const LogViewStatements::KeyRange *range, RecordTimes *times)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    for (const bool exact : {false, true}) {
        if (!statements.timesSql(range, exact).exec(query) || !query.next())
            return Failure(statements.error(query.lastError()));
        // A real number among the values: another program's file; read by the full rules.
        if (times->appendPackedList(query.value(0).toString(), statements.hasDevices()))
            return {};
    }
    return storeFailure(StoreError::Kind::NotALog, QStringLiteral("unreadable record times"));
}

std::function<LogTimesChunk(int, const CancelToken &)> startLogTimesThread(const LogScanSetup &setup)
{
    std::shared_ptr<LogReader> reader = setup.openReader();
    return [reader, setup](int chunk, const CancelToken &) {
        LogTimesChunk result;
        result.read = reader->opened();
        if (!result.read)
            return result;
        const LogViewStatements::KeyRange range = setup.ranged ? chunkRange(setup, chunk)
                                                               : LogViewStatements::KeyRange{0, -1};
        result.read = readRecordTimes(reader->database(), setup.statements, setup.ranged ? &range : nullptr,
                                      &result.times);
        return result;
    };
}

std::function<LogLocateResult(int, const CancelToken &)> startLogLocateThread(const LogScanSetup &setup,
                                                                              const QDateTime &time,
                                                                              const LogKeyShown &isShown)
{
    std::shared_ptr<LogReader> reader = setup.openReader();
    return [reader, setup, time, isShown](int, const CancelToken &token) {
        LogLocateResult result;
        result.read = reader->opened();
        if (!result.read)
            return result;
        // The candidates pass the filter's type and time conditions; whether they
        // passed its text too, the rows on show already say.
        LogFilter conditions = setup.filter;
        conditions.text.clear();
        QSqlQuery query(reader->database());
        result.read = eachRow(query, setup.statements, setup.statements.scanSql(conditions, false, nullptr, time),
                              token, [&isShown, &result](const QSqlQuery &row) {
                                  result.key = row.value(0).toLongLong();
                                  result.found = isShown(result.key);
                                  return !result.found;
                              });
        return result;
    };
}
