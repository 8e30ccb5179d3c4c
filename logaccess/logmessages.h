// The message column as the table shows it, and the text search in it: used by the
// table, by the background search and by the export, so that all three agree.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringMatcher>
#include <QVariant>

#include "logaccess/logviewstatements.h"
#include "messagetext/recordmessage.h"

struct LogFilter;

// The longest message the table shows, in characters. A longer one (a hostile caption
// of millions of characters, say) is shown and searched by its start, and the table
// says that it is cut; the export writes it whole (wholeMessage). A device's caption
// and data render to a few hundred characters.
constexpr int MaxShownMessage = 8192;

// The message of a record as the table shows it: "Неизвестное событие" when `caption`
// is NULL, else the caption rendered with `data`, by its first MaxShownMessage
// characters, and of a caption longer than LogViewStatements::MaxShownCaption from
// that caption's start. `dataIsAStart` says that `data` is the shown part of longer data.
// *cut, when given, says whether the message shown may be less than the whole one: it
// was cut, its caption was, or its fields read the start of longer data to its end.
QString shownMessage(const QVariant &caption, const QByteArray &data, bool *cut = nullptr, bool dataIsAStart = false);

// Whether a message holds the filter's text: a case-insensitive substring, or a match of
// the case-insensitive regular expression. Without a text condition everything matches.
// Not shared between threads: each thread makes its own.
class LogTextMatcher
{
public:
    explicit LogTextMatcher(const LogFilter &filter);
    bool isActive() const { return active; }
    bool matches(const QString &message) const;

private:
    bool active = false;
    bool useRegex = false;
    QStringMatcher substring;
    QRegularExpression expression;
};

// The captions of a log, as a search renders messages from them. A record names its
// event; in a log file the first record of each event value looks up which Events row
// holds its caption (by the log view's own rule, on that record), and every later one
// with the same value takes the same; where captions are keyed by their events, the
// event is the key. Captions without fields render the same whatever the data, so their
// message is made once.
class LogCaptions
{
public:
    // How much of each caption is read: what the table shows and searches (the first
    // MaxShownCaption characters and one more, to know whether there are more), or
    // everything, for the export.
    enum Extent { ShownPart, Whole };

    // Reads every caption of the log open on `database`; false, with the error, when
    // Events cannot be read. The connection stays in use for the lookups.
    bool load(const QSqlDatabase &database, const LogViewStatements &statements, QSqlError *error,
              Extent extent = ShownPart);
    bool operator==(const LogCaptions &other) const { return captions == other.captions; }
    bool operator!=(const LogCaptions &other) const { return !(*this == other); }

    // The message of the record with `key`, whose event is `event`, as the table shows
    // it (shownMessage).
    QString message(qint64 key, const QVariant &event, const QByteArray &data, bool *cut = nullptr);
    // The whole message of that record (wholeMessage); the captions must be read Whole.
    QString wholeMessage(qint64 key, const QVariant &event, const QByteArray &data);
    // The caption whose key (LogViewStatements' captionKey of a record) is `captionKey`;
    // NULL for none, and for one stored after the captions were read.
    QVariant caption(const QVariant &captionKey) const;
    // Whether the message of that caption depends on the record's data (it has fields).
    bool usesData(const QVariant &captionKey) const;

private:
    struct Caption {
        QVariant text;
        bool hasFields = true; // holds a "#": its message depends on the data
        QString fixedMessage;  // the message shown when it has no fields
        bool fixedCut = false;
        bool operator==(const Caption &other) const { return text == other.text; }
    };
    // The caption of the record, or nullptr for none.
    const Caption *captionOf(qint64 key, const QVariant &event);
    QVariant captionRow(qint64 key, const QVariant &event);

    QSqlDatabase database;
    LogViewStatements statements;
    QHash<qint64, Caption> captions;
    // The caption row of each event value seen so far (NULL: none): whole numbers, the
    // event of every record a device stores, and any other value with its kind.
    QHash<qint64, QVariant> wholeEvents;
    QHash<QString, QVariant> otherEvents;
};
