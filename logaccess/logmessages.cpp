// Messages as the table shows them, the text search in them, and the captions the
// background search renders from.

#include "logaccess/logmessages.h"

#include "logaccess/logfilter.h"
#include "logaccess/logviewstatements.h"
#include "messagetext/captionformat.h"

#include <QSqlError>
#include <QSqlQuery>

QString shownMessage(const QVariant &caption, const QByteArray &data, bool *cut, bool dataIsAStart)
{
    if (cut != nullptr)
        *cut = false;
    if (caption.isNull())
        return UnknownEventText;
    const QString text = caption.toString();
    const bool captionCut = text.size() > LogViewStatements::MaxShownCaption;
    bool messageCut = false;
    bool readToEnd = false;
    const QString message = formatCaptionStart(captionCut ? text.left(LogViewStatements::MaxShownCaption) : text, data,
                                               MaxShownMessage, &messageCut, &readToEnd);
    if (cut != nullptr)
        *cut = captionCut || messageCut || (dataIsAStart && readToEnd);
    return message;
}

LogTextMatcher::LogTextMatcher(const LogFilter &filter)
{
    if (!filter.hasTextCondition())
        return;
    active = true;
    useRegex = filter.regex;
    if (useRegex) {
        // \w and \b take Cyrillic letters as letters, as a user of a Russian log expects.
        expression = QRegularExpression(
            filter.text, QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
        expression.optimize();
    } else {
        substring = QStringMatcher(filter.text, Qt::CaseInsensitive);
    }
}

bool LogTextMatcher::matches(const QString &message) const
{
    if (!active)
        return true;
    if (useRegex)
        return expression.match(message).hasMatch();
    return substring.indexIn(message) >= 0;
}

bool LogCaptions::load(const QSqlDatabase &connection, const LogViewStatements &logStatements, QSqlError *error,
                       Extent extent)
{
    database = connection;
    statements = logStatements;
    captions.clear();
    wholeEvents.clear();
    otherEvents.clear();
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!statements.captionsSql(extent == ShownPart).exec(query)) {
        *error = query.lastError();
        return false;
    }
    while (query.next()) {
        Caption caption;
        caption.text = query.value(1);
        caption.hasFields = !caption.text.isNull() && caption.text.toString().contains(QLatin1Char('#'));
        if (!caption.hasFields)
            caption.fixedMessage = shownMessage(caption.text, QByteArray(), &caption.fixedCut);
        captions.insert(query.value(0).toLongLong(), caption);
    }
    // next() is false at the end and on a read error alike.
    if (query.lastError().isValid()) {
        *error = query.lastError();
        return false;
    }
    return true;
}

QVariant LogCaptions::captionRow(qint64 key, const QVariant &event)
{
    // A whole number as each driver gives it: SQLite as a signed one, PostgreSQL's
    // bigint as an unsigned one.
    const int kind = event.userType();
    const bool whole = kind == QMetaType::LongLong || kind == QMetaType::ULongLong || kind == QMetaType::Int
        || kind == QMetaType::UInt;
    // Keyed by their events: no statement per event, which a server could not run while
    // the search still reads the rows of its own on the same connection.
    if (statements.captionKeyIsEvent())
        return whole && captions.contains(event.toLongLong()) ? event : QVariant();
    QString other;
    if (whole) {
        const auto known = wholeEvents.constFind(event.toLongLong());
        if (known != wholeEvents.constEnd())
            return *known;
    } else {
        // The kind keeps the text "5" apart from the number 5, as the database does.
        other = QString::number(event.userType()) + QLatin1Char(':')
            + (event.userType() == QMetaType::QByteArray   ? QString::fromLatin1(event.toByteArray().toHex())
                   : event.userType() == QMetaType::Double ? QString::number(event.toDouble(), 'g', 17)
                                                           : event.toString());
        const auto known = otherEvents.constFind(other);
        if (known != otherEvents.constEnd())
            return *known;
    }
    QVariant row;
    QSqlQuery query(database);
    if (statements.captionRowSql(key).exec(query) && query.next())
        row = query.value(0);
    if (whole)
        wholeEvents.insert(event.toLongLong(), row);
    else
        otherEvents.insert(other, row);
    return row;
}

const LogCaptions::Caption *LogCaptions::captionOf(qint64 key, const QVariant &event)
{
    const QVariant row = event.isNull() ? QVariant() : captionRow(key, event);
    if (row.isNull())
        return nullptr;
    const auto found = captions.constFind(row.toLongLong());
    // A caption stored after the captions were read: the next refresh reads them again.
    return found == captions.constEnd() || found->text.isNull() ? nullptr : &*found;
}

QString LogCaptions::message(qint64 key, const QVariant &event, const QByteArray &data, bool *cut)
{
    const Caption *found = captionOf(key, event);
    if (found != nullptr && !found->hasFields) {
        if (cut != nullptr)
            *cut = found->fixedCut;
        return found->fixedMessage;
    }
    return shownMessage(found != nullptr ? found->text : QVariant(), data, cut);
}

bool LogCaptions::usesData(const QVariant &captionKey) const
{
    const auto found = captionKey.isNull() ? captions.constEnd() : captions.constFind(captionKey.toLongLong());
    return found != captions.constEnd() && found->hasFields;
}

QString LogCaptions::wholeMessage(qint64 key, const QVariant &event, const QByteArray &data)
{
    const Caption *found = captionOf(key, event);
    return ::wholeMessage(found != nullptr ? found->text : QVariant(), data);
}

QVariant LogCaptions::caption(const QVariant &captionKey) const
{
    // NULL as the database gives a missing text.
    const QVariant none(QVariant::String);
    if (captionKey.isNull())
        return none;
    const auto found = captions.constFind(captionKey.toLongLong());
    return found == captions.constEnd() ? none : found->text;
}
