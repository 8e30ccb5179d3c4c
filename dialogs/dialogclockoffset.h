// The clock offset of one device of a merged view: the seconds added to its record
// times there, to bring its clock to the others'.
#pragma once

#include <QDialog>

class QSpinBox;

class DialogClockOffset : public QDialog
{
    Q_OBJECT

public:
    // The largest offset either way: ten years, far beyond a clock that was never set.
    static constexpr int MaxSeconds = 10 * 366 * 24 * 3600;

    DialogClockOffset(const QString &deviceName, int seconds, QWidget *parent = nullptr);

    int seconds() const;

private:
    QSpinBox *offset;
};
