// The traffic monitor: one line of rich text per frame sent or received, and the
// modeless window that collects them while it is shown.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

class QShowEvent;

namespace Ui {
class DialogTraffic;
}

// One frame as one line: a direction icon, the bytes in hexadecimal, the checksum
// in green, and red, struck-through or bold spans that mark what went wrong.
// `code` is the master's reply result for a received frame (0 for a sent one);
// 0x83 marks a reply whose length does not fit its function. Frames of three bytes
// or fewer are shown as such a reply, whatever `code` says.
QString packetToHtml(const std::uint8_t *bytes, std::size_t n, std::uint8_t code, bool sent);

class DialogTraffic : public QDialog
{
    Q_OBJECT

public:
    explicit DialogTraffic(QWidget *parent = nullptr);
    ~DialogTraffic() override;

    // Adds a line made by packetToHtml and scrolls to it. Lines that arrive while
    // the window is hidden are dropped, and once the document's HTML has grown past
    // 65535 characters it is emptied before the next line.
    void appendPacket(const QString &line);
    // Adds several lines at once, as one insertion, under the same bound (checked once,
    // before them): for frames that come faster than a line each can be drawn.
    void appendPackets(const QStringList &lines);

protected:
    // Every showing starts with an empty monitor.
    void showEvent(QShowEvent *event) override;

private slots:
    void on_clear_clicked();

private:
    Ui::DialogTraffic *ui;
};
