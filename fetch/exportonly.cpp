// khronar-fetch's export of a log file, without a device.

#include "fetch/exportonly.h"

#include "fetch/fetchoptions.h"
#include "fetch/logtarget.h"
#include "logaccess/mergedlogs.h"
#include "serverstore/serverurl.h"
#include "logaccess/logfilter.h"

#include <QCommandLineParser>
#include <QStringList>

#include <cstdio>

const ExportFilterOption ExportFilterOptions[5] = {
    {"type", "LIST"}, {"from", "TIME"}, {"to", "TIME"}, {"grep", "TEXT"}, {"regex", nullptr},
};

namespace {

void complain(const QString &message)
{
    std::fputs((QStringLiteral("khronar-fetch: ") + message + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
}

} // namespace

int recordTypeByName(const QString &word)
{
    static const QStringList names[] = {
        {QStringLiteral("info"), QStringLiteral("information"), QStringLiteral("информация"), QStringLiteral("0")},
        {QStringLiteral("warning"), QStringLiteral("предупреждение"), QStringLiteral("1")},
        {QStringLiteral("error"), QStringLiteral("ошибка"), QStringLiteral("2")},
        {QStringLiteral("change"), QStringLiteral("изменение"), QStringLiteral("3")},
    };
    for (int type = 0; type < 4; ++type) {
        if (names[type].contains(word.trimmed().toLower()))
            return type;
    }
    return -1;
}

namespace {

// "2024-03-15", "2024-03-15 13:45" or "2024-03-15 13:45:30" (a "T" may stand for the
// blank): the device's wall-clock time. What is left out is the start of the day or
// minute for a lower bound, its end for an upper one.
bool parseTime(const QString &text, bool upper, QDateTime *time)
{
    QString normal = text.trimmed();
    if (normal.size() > 10 && normal.at(10) == QLatin1Char('T'))
        normal[10] = QLatin1Char(' ');
    const QDate date = QDate::fromString(normal.left(10), QStringLiteral("yyyy-MM-dd"));
    QTime clock = upper ? QTime(23, 59, 59) : QTime(0, 0);
    if (normal.size() == 16)
        clock = QTime::fromString(normal.mid(11) + (upper ? QStringLiteral(":59") : QStringLiteral(":00")),
                                  QStringLiteral("HH:mm:ss"));
    else if (normal.size() == 19)
        clock = QTime::fromString(normal.mid(11), QStringLiteral("HH:mm:ss"));
    else if (normal.size() != 10)
        return false;
    if (!date.isValid() || !clock.isValid() || (normal.size() > 10 && normal.at(10) != QLatin1Char(' ')))
        return false;
    *time = QDateTime(date, clock, Qt::UTC);
    return true;
}

} // namespace

bool exportFilterGiven(const QCommandLineParser &parser)
{
    for (const ExportFilterOption &option : ExportFilterOptions) {
        if (parser.isSet(QLatin1String(option.name)))
            return true;
    }
    return false;
}

SettingResult<LogFilter> parseExportFilter(const QCommandLineParser &parser)
{
    LogFilter filter;
    if (parser.isSet(QStringLiteral("type"))) {
        filter.types = 0;
        for (const QString &word : parser.value(QStringLiteral("type")).split(QLatin1Char(','))) {
            const int type = recordTypeByName(word);
            if (type < 0)
                return Failure(
                    QStringLiteral("--type wants info, warning, error or change (or 0 to 3), not \"%1\"").arg(word));
            filter.types |= 1 << type;
        }
    }
    for (const bool upper : {false, true}) {
        const QString name = upper ? QStringLiteral("to") : QStringLiteral("from");
        if (!parser.isSet(name))
            continue;
        QDateTime &bound = upper ? filter.to : filter.from;
        if (!parseTime(parser.value(name), upper, &bound))
            return Failure(QStringLiteral("--%1 wants a time such as 2024-03-15 or 2024-03-15 13:45:30, not \"%2\"")
                               .arg(name, parser.value(name)));
    }
    filter.text = parser.value(QStringLiteral("grep"));
    filter.regex = parser.isSet(QStringLiteral("regex"));
    if (filter.regex && filter.text.isEmpty())
        return Failure(QStringLiteral("--regex makes --grep a regular expression; --grep is missing"));
    // The window ignores an expression that does not compile; a script would only get
    // every record, so it is told.
    if (!filter.textError().isEmpty())
        return Failure(QStringLiteral("--grep: %1").arg(filter.textError()));
    return filter;
}

namespace {

// Several logs, or the devices a pattern picks, exported merged.
int exportMergedLogs(const FetchOptions &options)
{
    const bool server = fetchesToServer(options);
    QString failedPath;
    const StoreResult<std::unique_ptr<MergedLogs>> logs = server
        ? MergedLogs::openServer(parseServerUrl(options.db).url, options.devices, options.deviceLike,
                                 fetchLogSettings(0, {}))
        : MergedLogs::openFiles(options.dbs, fetchLogSettings(0, {}), &failedPath);
    int failedLog = -1;
    const StoreStatus exported = logs ? logs.value()->exportCsv(options.csv, options.filter, &failedLog)
                                      : StoreStatus(Failure(logs.error()));
    if (exported)
        return ExitDone;
    const StoreError &error = exported.error();
    // Said as a single log's export says it, after the file or the server concerned.
    const QString place = !logs ? (server ? parseServerUrl(options.db).url.displayName() : failedPath)
                                : logs.value()->place(failedLog);
    const bool whole = (error.kind == StoreError::Kind::NotFound && !server) || error.kind == StoreError::Kind::Io;
    complain(whole ? error.text : QStringLiteral("%1: %2").arg(place, error.text));
    return ExitLogFileError;
}

} // namespace

int exportLogFile(const FetchOptions &options)
{
    if (exportsMerged(options))
        return exportMergedLogs(options);
    // No address: the file and the server's device are named as they are given.
    const LogLocation where = fetchesToServer(options)
        ? LogLocation::serverDevice(parseServerUrl(options.db).url, options.device)
        : LogLocation::file(options.db);
    const StoreResult<std::unique_ptr<OpenLog>> log = OpenLog::open(where, OpenLog::Purpose::Read,
                                                                    fetchLogSettings(0, {}));
    const StoreStatus exported = log ? log.value()->exportCsv(options.csv, options.filter)
                                     : StoreStatus(Failure(log.error()));
    if (exported)
        return ExitDone;
    const StoreError &error = exported.error();
    // A missing file and a CSV that cannot be written say so whole; everything else
    // is said after where it happened (never with the URL's password).
    const bool whole = (error.kind == StoreError::Kind::NotFound && !where.onServer)
        || error.kind == StoreError::Kind::Io;
    complain(whole ? error.text : QStringLiteral("%1: %2").arg(where.place(), error.text));
    return ExitLogFileError;
}
