// The traffic monitor's line format and window.

#include "dialogs/dialogtraffic.h"
#include "ui_dialogtraffic.h"

#include "protocol/modbusmaster.h"

#include <QTextCursor>

namespace {

// Not a result of the master: the formatter's own mark for a frame too short to
// hold an address, a function code and a checksum.
constexpr std::uint8_t ReplyBadLength = 0x83;

// The document is emptied once its HTML grows past this many characters.
constexpr int MaxHtmlLength = 65535;

const QString Green = QStringLiteral("<span style=\" color:#005500;\">");
const QString Red = QStringLiteral("<span style=\" color:#ff0000;\">");
const QString Struck = QStringLiteral("<span style=\" text-decoration: line-through;\">");
const QString Bold = QStringLiteral("<span style=\" font-weight:600;\">");
const QString Close = QStringLiteral("</span>");
const QString UploadIcon = QStringLiteral(
    "<img src=\":/new/prefix/Resources/Icons/HardwareNetwork/16x16/hardware-upload.png\"/> ");
const QString DownloadIcon = QStringLiteral(
    "<img src=\":/new/prefix/Resources/Icons/HardwareNetwork/16x16/hardware-download.png\"/> ");
const QString WarningIcon = QStringLiteral("<img src=\":/new/prefix/Resources/Icons/Basic/16x16/warning.png\"/> ");
const QString ErrorIcon = QStringLiteral(
    "<img src=\":/new/prefix/Resources/Icons/Basic/16x16/delete_button_error.png\"/> ");
const QString LineEnd = QStringLiteral("<br>");

// Each byte as two upper-case hexadecimal digits and a blank.
QString hexBytes(const std::uint8_t *bytes, std::size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(static_cast<int>(3 * n));
    for (std::size_t i = 0; i < n; ++i) {
        text += QLatin1Char(digits[bytes[i] >> 4]);
        text += QLatin1Char(digits[bytes[i] & 0x0F]);
        text += QLatin1Char(' ');
    }
    return text;
}

} // namespace

// In the hexadecimal text every byte takes three characters, so the checksum is
// always the last six, and the first two bytes the first six.
QString packetToHtml(const std::uint8_t *bytes, std::size_t n, std::uint8_t code, bool sent)
{
    const QString hex = hexBytes(bytes, n);
    const int payload = static_cast<int>(3 * n) - 6;
    QString body;
    if (n <= 3) {
        body = Red + hex + Close;
        code = ReplyBadLength;
    } else if (code == ReplyCorrupt) {
        body = hex.left(payload) + Red + hex.right(6) + Close;
    } else {
        const QString greenCrc = hex.left(payload) + Green + hex.right(6) + Close;
        if (code == ReplyAccepted)
            body = greenCrc;
        else if (code == ReplyUnexpected)
            body = Struck + greenCrc + Close;
        else if (code == ReplyBadLength)
            body = greenCrc.left(6) + Red + greenCrc.mid(6) + Close;
        else // an exception reply: its function code is the culprit
            body = greenCrc.left(3) + Red + greenCrc.mid(3, 3) + Close + greenCrc.mid(6);
    }

    const QString &icon = code == ReplyAccepted ? (sent ? UploadIcon : DownloadIcon)
        : code == ReplyUnexpected               ? WarningIcon
                                                : ErrorIcon;
    if (sent)
        body = Bold + body + Close;
    return icon + body + LineEnd;
}

DialogTraffic::DialogTraffic(QWidget *parent) : QDialog(parent), ui(new Ui::DialogTraffic)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
}

DialogTraffic::~DialogTraffic()
{
    delete ui;
}

void DialogTraffic::appendPacket(const QString &line)
{
    if (!isVisible())
        return;
    // Serialising the whole document on every frame is the price of a bound that
    // counts what the widget really holds.
    if (ui->textEdit->toHtml().length() > MaxHtmlLength)
        ui->textEdit->clear();
    ui->textEdit->moveCursor(QTextCursor::End);
    ui->textEdit->insertHtml(line);
    ui->textEdit->moveCursor(QTextCursor::End);
}

void DialogTraffic::appendPackets(const QStringList &lines)
{
    if (!isVisible() || lines.isEmpty())
        return;
    if (ui->textEdit->toHtml().length() > MaxHtmlLength)
        ui->textEdit->clear();
    ui->textEdit->moveCursor(QTextCursor::End);
    ui->textEdit->insertHtml(lines.join(QString()));
    ui->textEdit->moveCursor(QTextCursor::End);
}

// QDialog's own handler, whose only work is to place a dialog that was never
// moved over its parent, is not run: the window system places the monitor.
void DialogTraffic::showEvent(QShowEvent *event)
{
    Q_UNUSED(event)
    ui->textEdit->clear();
}

void DialogTraffic::on_clear_clicked()
{
    ui->textEdit->clear();
}
