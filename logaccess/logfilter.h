// What the log view shows of a log: which record types, which span of time and
// which text in the message. One value, handed around and compared whole.
#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QVector>

// A filter that lets everything through is empty; the view then shows every record
// exactly as the log view query yields it.
struct LogFilter {
    // Bit n set: records of type n are shown, with the type read as the table shows
    // it (recordTypeIndex: unknown codes count as information, bit 0).
    static constexpr int AllTypes = 0xF;
    int types = AllTypes;
    // Inclusive bounds, whole seconds, compared with the times as the table shows
    // them. They are the device's wall-clock time: only the date and time fields count
    // (held as Qt::UTC), never a time zone. Invalid: no bound.
    QDateTime from;
    QDateTime to;
    // Case-insensitive, in the message as the table shows it. Empty: no text criterion.
    QString text;
    // `text` is a regular expression (also case-insensitive); an invalid one filters
    // nothing, as if there were no text.
    bool regex = false;
    // With several devices in one view: the devices whose records are not shown, by
    // their place in the view's list of devices, ascending. Empty: every device's.
    QVector<int> hiddenDevices;

    bool operator==(const LogFilter &other) const;
    bool operator!=(const LogFilter &other) const { return !(*this == other); }

    bool isEmpty() const
    {
        return !hasTypeCondition() && !hasTimeCondition() && !hasTextCondition() && !hasDeviceCondition();
    }
    bool hasTypeCondition() const { return (types & AllTypes) != AllTypes; }
    bool hasTimeCondition() const { return from.isValid() || to.isValid(); }
    bool hasDeviceCondition() const { return !hiddenDevices.isEmpty(); }
    bool showsDevice(int device) const { return !hiddenDevices.contains(device); }
    // Some text, and when it is a regular expression, a valid one.
    bool hasTextCondition() const;
    // Why the regular expression cannot be used; empty when it can (or is no expression).
    QString textError() const;
    bool showsType(int typeIndex) const { return (types >> typeIndex) & 1; }
};

Q_DECLARE_METATYPE(LogFilter)

// A bound of the filter as the device's wall-clock time: the same date and time
// fields in Qt::UTC, milliseconds dropped. Invalid stays invalid.
QDateTime wallClockSeconds(const QDateTime &time);
