// Clock offsets: the seconds added to the times of one device's records where they are
// shown beside other devices' records, to bring a clock that runs ahead or behind to
// the others. The records themselves are never changed.
#pragma once

#include <QString>

class QSettings;

// The device's name as the merged view's device column shows it: the name, and a
// clock offset other than 0 after it ("rele-3 (+12 с)").
QString deviceLabel(const QString &name, int offsetSeconds);

// The offsets of log files, kept in the settings by each file's absolute path (the
// same file reached by another relative path has the same offset).
class FileClockOffsets
{
public:
    explicit FileClockOffsets(QSettings &settings) : settings(settings) {}

    // 0 for a file never given one.
    int offsetOf(const QString &path) const;
    // An offset of 0 removes the file from the settings.
    void setOffset(const QString &path, int seconds);

private:
    static QString keyOf(const QString &path);

    QSettings &settings;
};
