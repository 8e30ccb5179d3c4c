// The question the go-to-time command asks: which time of the device's clock.
#pragma once

#include <QDateTime>
#include <QDialog>

class QDateTimeEdit;

// A time as the table shows it (device wall-clock time, held as Qt::UTC), to the
// second. The caller presets it, runs exec() and reads it back.
class DialogGoToTime : public QDialog
{
    Q_OBJECT

public:
    explicit DialogGoToTime(QWidget *parent = nullptr);

    void setTime(const QDateTime &time);
    QDateTime time() const;
    QDateTimeEdit *timeEdit() const { return edit; }

private:
    QDateTimeEdit *edit;
};
