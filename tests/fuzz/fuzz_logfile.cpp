// Opening a log file made from any bytes (the fuzzer mutates a sound log file: its
// header, pages, schema and rows), written to a file of its own per input: it opens
// and shows its first page of rows as the table does, or is refused with a message.
// Never a crash, never a hang.

#include "tests/fuzz/fuzzinput.h"

#include "logaccess/logmessages.h"
#include "logaccess/openlog.h"

#include <QFile>
#include <QHash>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <memory>

namespace {

// A failure is acceptable when it says something.
bool says(const StoreError &error)
{
    return !error.text.trimmed().isEmpty();
}

// The first page of the table, as the view reads it: the count, the keys, the rows,
// the captions and each row's message. False, with `error` set, when the file says no.
bool showFirstPage(OpenLog &log, StoreError *error)
{
    const StoreResult<LogViewStatements> statements = log.source()->statements();
    if (!statements) {
        *error = statements.error();
        return false;
    }
    QSqlQuery query(log.source()->database());
    const auto run = [&](const LogViewStatements::Statement &statement) {
        if (statement.exec(query))
            return true;
        *error = statements->error(query.lastError());
        return false;
    };
    if (!run(statements->viewCheckSql()) || !run(statements->countSql()))
        return false;
    QVector<qint64> keys;
    if (!run(statements->edgeKeysSql(false, 128)))
        return false;
    while (query.next())
        keys.append(query.value(0).toLongLong());
    QHash<qint64, QVariant> captions;
    if (!run(statements->captionsSql(true)))
        return false;
    while (query.next())
        captions.insert(query.value(0).toLongLong(), query.value(1));
    if (keys.isEmpty())
        return true;
    if (!run(statements->pageSql(keys)))
        return false;
    while (query.next()) {
        const QVariant captionKey = query.value(3);
        const QVariant caption = captionKey.isNull() ? QVariant() : captions.value(captionKey.toLongLong());
        const bool isLong = query.value(5).toBool();
        QByteArray data = query.value(4).toByteArray();
        if (isLong) {
            QSqlQuery longData(log.source()->database());
            if (statements->longDataSql(query.value(0).toLongLong()).exec(longData) && longData.next())
                data = longData.value(0).toByteArray();
        }
        bool cut = false;
        const QString message = shownMessage(caption, data, &cut, isLong);
        FUZZ_CHECK(message.size() <= MaxShownMessage + 1, "a message longer than the table shows");
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    ensureFuzzApplication();
    static QTemporaryDir folder;
    static int run = 0;
    FUZZ_CHECK(folder.isValid(), "no temporary folder");
    const QString path = folder.filePath(QStringLiteral("input-%1.db").arg(++run));
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly), "the input cannot be written");
        FUZZ_CHECK(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size), "short write");
    }
    {
        OpenLogSettings settings;
        settings.connectionName = QStringLiteral("fuzz-logfile");
        StoreResult<std::unique_ptr<OpenLog>> log = OpenLog::open(LogLocation::file(path), OpenLog::Purpose::View,
                                                                  settings);
        if (!log) {
            FUZZ_CHECK(says(log.error()), "a file refused without a message");
        } else {
            StoreError error;
            if (!showFirstPage(**log, &error))
                FUZZ_CHECK(says(error), "a file that cannot be shown, without a message");
        }
    }
    QFile::remove(path);
    return 0;
}
