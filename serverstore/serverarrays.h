// PostgreSQL array literals, for binding a batch of records' columns as one value each.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Builds "{e1,e2,...}" as the server's array input reads it. The literal is bound as a
// value, never spliced into a statement; quoting here only keeps the elements apart.
class ArrayLiteral
{
public:
    void append(qint64 number);
    // A text element; U+0000, which no text on the server may hold, is left out.
    void append(const QString &text);
    // A bytea element, in hex.
    void appendBytes(const QByteArray &bytes);

    // The literal, braces included.
    QString text() const { return QLatin1Char('{') + body + QLatin1Char('}'); }
    void clear() { body.clear(); }

private:
    void separate();

    QString body;
};
