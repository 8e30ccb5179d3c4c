// The CSV export: streams the log view query into an open device, one row at a time.

#include "presentation/csvexport.h"

#include "presentation/captionformat.h"
#include "store/logschema.h"
#include "presentation/recordtypes.h"

#include <QIODevice>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// Whether `query` has failed, and if so, its error text into `queryError`.
bool failed(const QSqlQuery &query, QString *queryError)
{
    if (query.lastError().type() == QSqlError::NoError)
        return false;
    if (queryError != nullptr)
        *queryError = query.lastError().text();
    return true;
}

} // namespace

bool writeLogCsv(const QSqlDatabase &database, QIODevice &out, QString *queryError)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(LogViewSql) || !query.first()) {
        failed(query, queryError);
        return true;
    }

    // Type names converted once; they are the same for every row.
    QByteArray typeFields[RecordTypeCount];
    for (int i = 0; i < RecordTypeCount; ++i)
        typeFields[i] = '"' + QString::fromUtf8(RecordTypeNames[i]).toLocal8Bit() + "\";";
    const QByteArray unknownEvent = QStringLiteral("Неизвестное событие").toLocal8Bit();

    QByteArray line;
    do {
        line.clear();
        line += '"';
        line += query.value(1).toString().toLocal8Bit();
        line += "\";";
        line += typeFields[recordTypeIndex(query.value(0))];
        line += '"';
        const QVariant caption = query.value(2);
        if (caption.isNull()) {
            line += unknownEvent;
        } else {
            QString message = formatCaption(caption.toString(), query.value(3).toByteArray());
            message.replace(QLatin1Char('"'), QLatin1String("\"\""));
            line += message.toLocal8Bit();
        }
        line += "\"\n";
        if (out.write(line) != line.size())
            return false;
    } while (query.next());
    // next() is false at the end and on a read error alike.
    failed(query, queryError);
    return true;
}
