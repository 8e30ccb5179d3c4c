// The message column as the table shows it, and the text search in it: used by the
// table, by the background search and by the export, so that all three agree.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QString>
#include <QStringMatcher>
#include <QVariant>

#include "logaccess/logviewstatements.h"
#include "messagetext/recordmessage.h"

struct LogFilter;

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
    // Reads every caption of the log open on `database`; false, with the error, when
    // Events cannot be read. The connection stays in use for the lookups.
    bool load(const QSqlDatabase &database, const LogViewStatements &statements, QString *error);
    bool operator==(const LogCaptions &other) const { return captions == other.captions; }
    bool operator!=(const LogCaptions &other) const { return !(*this == other); }

    // The message of the record with `key`, whose event is `event`.
    QString message(qint64 key, const QVariant &event, const QByteArray &data);

private:
    struct Caption {
        QVariant text;
        bool hasFields = true; // holds a "#": its message depends on the data
        QString fixedMessage;  // the message when it has no fields
        bool operator==(const Caption &other) const { return text == other.text; }
    };
    QVariant captionRow(qint64 key, const QVariant &event);

    QSqlDatabase database;
    LogViewStatements statements;
    QHash<qint64, Caption> captions;
    // The caption row of each event value seen so far (NULL: none): whole numbers, the
    // event of every record a device stores, and any other value with its kind.
    QHash<qint64, QVariant> wholeEvents;
    QHash<QString, QVariant> otherEvents;
};
