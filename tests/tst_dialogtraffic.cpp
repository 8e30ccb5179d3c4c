// The traffic monitor: how each frame is drawn, and which lines the window keeps.

#include "dialogs/dialogtraffic.h"

#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpacerItem>
#include <QTest>
#include <QTextEdit>
#include <QVBoxLayout>

#include <memory>

namespace {

const QString Green = "<span style=\" color:#005500;\">";
const QString Red = "<span style=\" color:#ff0000;\">";
const QString Struck = "<span style=\" text-decoration: line-through;\">";
const QString Bold = "<span style=\" font-weight:600;\">";
const QString Close = "</span>";
const QString UploadIcon = "<img src=\":/new/prefix/Resources/Icons/HardwareNetwork/16x16/hardware-upload.png\"/> ";
const QString DownloadIcon = "<img src=\":/new/prefix/Resources/Icons/HardwareNetwork/16x16/hardware-download.png\"/> ";
const QString WarningIcon = "<img src=\":/new/prefix/Resources/Icons/Basic/16x16/warning.png\"/> ";
const QString ErrorIcon = "<img src=\":/new/prefix/Resources/Icons/Basic/16x16/delete_button_error.png\"/> ";
const QString LineEnd = "<br>";

const QString Legend = QString::fromUtf8(
    "<html><head/><body><p><img src=\":/new/prefix/Resources/Icons/HardwareNetwork/16x16/hardware-upload.png\"/>"
    " - <span style=\" font-weight:600;\">Исходящий пакет<br/></span>"
    "<img src=\":/new/prefix/Resources/Icons/HardwareNetwork/16x16/hardware-download.png\"/> - Принятый пакет<br/>"
    "<img src=\":/new/prefix/Resources/Icons/Basic/16x16/warning.png\"/>"
    " - <span style=\" text-decoration: line-through;\">Необработанный пакет<br/></span>"
    "<img src=\":/new/prefix/Resources/Icons/Basic/16x16/delete_button_error.png\"/>"
    " - <span style=\" color:#ff0000;\">Ошибка данных</span></p></body></html>");

// The info request to device 1, with its checksum.
const QByteArray InfoRequest = QByteArray::fromHex("014200 10A0");

QString line(const QByteArray &frame, std::uint8_t code, bool sent)
{
    return packetToHtml(reinterpret_cast<const std::uint8_t *>(frame.constData()), static_cast<unsigned>(frame.size()),
                        code, sent);
}

QTextEdit *textEdit(const DialogTraffic &dialog)
{
    return dialog.findChild<QTextEdit *>("textEdit");
}

} // namespace

class TestDialogTraffic : public QObject
{
    Q_OBJECT

private slots:
    void packetToHtml_data();
    void packetToHtml();
    void iconsAreInTheBundle();

    void form();
    void noContextHelpButton();
    void hiddenFramesAreDropped();
    void showingStartsEmpty();
    void clearButtonEmpties();
    void htmlLimitStartsAfresh();
    void linesTogetherShowAsOneByOne();
};

void TestDialogTraffic::packetToHtml_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<QString>("expected");

    QTest::newRow("sent request: bold, green checksum")
        << InfoRequest << 0 << true << UploadIcon + Bold + "01 42 00 " + Green + "10 A0 " + Close + Close + LineEnd;
    QTest::newRow("received, accepted, 7 bytes")
        << QByteArray::fromHex("01420003001234") << 0 << false
        << DownloadIcon + "01 42 00 03 00 " + Green + "12 34 " + Close + LineEnd;
    QTest::newRow("lower-case input comes out upper-case")
        << QByteArray::fromHex("ab cd ef 0a 0b") << 0 << false
        << DownloadIcon + "AB CD EF " + Green + "0A 0B " + Close + LineEnd;
    QTest::newRow("shortest frame with a checksum: 4 bytes")
        << QByteArray::fromHex("0142 AABB") << 0 << false
        << DownloadIcon + "01 42 " + Green + "AA BB " + Close + LineEnd;
    QTest::newRow("wrong checksum: red, no green") << QByteArray::fromHex("01420003001235") << 0x82 << false
                                                   << ErrorIcon + "01 42 00 03 00 " + Red + "12 35 " + Close + LineEnd;
    QTest::newRow("exception 2: function code red, checksum green")
        << QByteArray::fromHex("01C202 1234") << 2 << false
        << ErrorIcon + "01 " + Red + "C2 " + Close + "02 " + Green + "12 34 " + Close + LineEnd;
    QTest::newRow("exception 6 on 4 bytes")
        << QByteArray::fromHex("01C2 1234") << 6 << false
        << ErrorIcon + "01 " + Red + "C2 " + Close + Green + "12 34 " + Close + LineEnd;
    QTest::newRow("unexpected: struck through, checksum included")
        << QByteArray::fromHex("07420003001234") << 0x81 << false
        << WarningIcon + Struck + "07 42 00 03 00 " + Green + "12 34 " + Close + Close + LineEnd;
    QTest::newRow("length mismatch: red after two bytes, green nested")
        << QByteArray::fromHex("014200 1234") << 0x83 << false
        << ErrorIcon + "01 42 " + Red + "00 " + Green + "12 34 " + Close + Close + LineEnd;
    QTest::newRow("3 bytes accepted: all red, error icon")
        << QByteArray::fromHex("014200") << 0 << false << ErrorIcon + Red + "01 42 00 " + Close + LineEnd;
    QTest::newRow("3 bytes unexpected: still the error icon")
        << QByteArray::fromHex("014200") << 0x81 << false << ErrorIcon + Red + "01 42 00 " + Close + LineEnd;
    QTest::newRow("1 byte corrupt") << QByteArray::fromHex("01") << 0x82 << false
                                    << ErrorIcon + Red + "01 " + Close + LineEnd;
    QTest::newRow("empty frame") << QByteArray() << 0 << false << ErrorIcon + Red + Close + LineEnd;
    QTest::newRow("sent, 3 bytes: bold around red, error icon")
        << QByteArray::fromHex("014200") << 0 << true << ErrorIcon + Bold + Red + "01 42 00 " + Close + Close + LineEnd;

    QByteArray longest(255, char(0xFF));
    longest[0] = 0x01;
    longest[254] = 0x5A;
    QTest::newRow("255 bytes, nothing cut")
        << longest << 0 << false
        << DownloadIcon + "01 " + QString("FF ").repeated(252) + Green + "FF 5A " + Close + LineEnd;
}

void TestDialogTraffic::packetToHtml()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, code);
    QFETCH(bool, sent);
    QFETCH(QString, expected);
    QCOMPARE(line(frame, static_cast<std::uint8_t>(code), sent), expected);
}

// The lines and the legend name the icons by path; a wrong path draws nothing.
void TestDialogTraffic::iconsAreInTheBundle()
{
    for (const QString &icon : {UploadIcon, DownloadIcon, WarningIcon, ErrorIcon}) {
        const QString path = icon.section('"', 1, 1);
        QVERIFY2(QFile::exists(path), qPrintable(path));
        QVERIFY2(Legend.contains(path), qPrintable(path));
    }
}

void TestDialogTraffic::form()
{
    DialogTraffic dialog;
    QCOMPARE(dialog.objectName(), QString("DialogTraffic"));
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Трафик"));
    QCOMPARE(dialog.size(), QSize(510, 482));

    QTextEdit *edit = textEdit(dialog);
    QVERIFY(edit);
    QVERIFY(edit->isReadOnly());
    QCOMPARE(edit->font().family(), QString("Courier"));

    auto *frame3 = dialog.findChild<QFrame *>("frame_3");
    auto *frame4 = dialog.findChild<QFrame *>("frame_4");
    auto *label = dialog.findChild<QLabel *>("label");
    auto *clear = dialog.findChild<QPushButton *>("clear");
    QVERIFY(frame3 && frame4 && label && clear);

    auto *outer = qobject_cast<QVBoxLayout *>(dialog.layout());
    QVERIFY(outer);
    QCOMPARE(outer->objectName(), QString("verticalLayout"));
    QCOMPARE(outer->count(), 2);
    QCOMPARE(outer->itemAt(0)->widget(), edit);
    QCOMPARE(outer->itemAt(1)->widget(), frame3);

    for (QFrame *frame : {frame3, frame4}) {
        QCOMPARE(frame->frameShape(), QFrame::StyledPanel);
        QCOMPARE(frame->frameShadow(), QFrame::Raised);
    }
    QCOMPARE(frame3->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(frame3->sizePolicy().verticalPolicy(), QSizePolicy::Maximum);
    QCOMPARE(label->sizePolicy().horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(label->sizePolicy().verticalPolicy(), QSizePolicy::Maximum);
    QCOMPARE(frame4->sizePolicy().horizontalPolicy(), QSizePolicy::Maximum);
    QCOMPARE(frame4->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

    auto *bottom = qobject_cast<QHBoxLayout *>(frame3->layout());
    QVERIFY(bottom);
    QCOMPARE(bottom->objectName(), QString("horizontalLayout_2"));
    QCOMPARE(bottom->contentsMargins(), QMargins());
    QCOMPARE(bottom->count(), 2);
    QCOMPARE(bottom->itemAt(0)->widget(), label);
    QCOMPARE(bottom->itemAt(1)->widget(), frame4);

    auto *side = qobject_cast<QVBoxLayout *>(frame4->layout());
    QVERIFY(side);
    QCOMPARE(side->objectName(), QString("verticalLayout_3"));
    QCOMPARE(side->contentsMargins(), QMargins());
    QCOMPARE(side->count(), 2);
    QSpacerItem *spacer = side->itemAt(0)->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizeHint(), QSize(20, 0));
    QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(side->itemAt(1)->widget(), clear);

    QCOMPARE(label->text(), Legend);
    QCOMPARE(clear->text(), QString::fromUtf8("Очистить"));
}

void TestDialogTraffic::noContextHelpButton()
{
    QWidget parent;
    DialogTraffic dialog(&parent);
    QCOMPARE(dialog.parentWidget(), &parent);
    QCOMPARE(dialog.windowType(), Qt::Dialog);
    QVERIFY(!dialog.windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(!dialog.isModal());
}

void TestDialogTraffic::hiddenFramesAreDropped()
{
    DialogTraffic dialog;
    dialog.appendPacket(line(InfoRequest, 0, true));
    QVERIFY(textEdit(dialog)->toPlainText().isEmpty());

    dialog.show();
    dialog.appendPacket(line(InfoRequest, 0, true));
    QVERIFY(textEdit(dialog)->toPlainText().contains("01 42 00 10 A0"));
    const QString shown = textEdit(dialog)->toHtml();

    dialog.hide();
    dialog.appendPacket(line(QByteArray::fromHex("01420003001234"), 0, false));
    QCOMPARE(textEdit(dialog)->toHtml(), shown);
}

void TestDialogTraffic::showingStartsEmpty()
{
    DialogTraffic dialog;
    dialog.show();
    dialog.appendPacket(line(InfoRequest, 0, true));
    dialog.appendPacket(line(QByteArray::fromHex("01420003001234"), 0, false));
    QVERIFY(!textEdit(dialog)->toPlainText().isEmpty());

    dialog.hide();
    dialog.show();
    QVERIFY(textEdit(dialog)->toPlainText().isEmpty());

    // Lines after the new showing are taken as usual.
    dialog.appendPacket(line(InfoRequest, 0, true));
    QVERIFY(textEdit(dialog)->toPlainText().contains("01 42 00 10 A0"));
}

void TestDialogTraffic::clearButtonEmpties()
{
    DialogTraffic dialog;
    dialog.show();
    dialog.appendPacket(line(InfoRequest, 0, true));
    QVERIFY(!textEdit(dialog)->toPlainText().isEmpty());

    QTest::mouseClick(dialog.findChild<QPushButton *>("clear"), Qt::LeftButton);
    QVERIFY(textEdit(dialog)->toPlainText().isEmpty());
    QVERIFY(dialog.isVisible());
}

// The document grows line by line until its HTML is past the limit; the line after
// that is the only one in the monitor, and the newest line is always in view.
void TestDialogTraffic::htmlLimitStartsAfresh()
{
    DialogTraffic dialog;
    dialog.show();
    QTextEdit *edit = textEdit(dialog);
    const QString frameLine = line(QByteArray::fromHex("01420300000000000000001234"), 0, false);

    int lines = 0;
    while (edit->toHtml().length() <= 65535) {
        dialog.appendPacket(frameLine);
        ++lines;
        QCOMPARE(edit->toPlainText().count("01 42 03"), lines); // nothing dropped yet
        QVERIFY(edit->textCursor().atEnd());
        QVERIFY2(lines < 10000, "the document does not grow");
    }
    QVERIFY(lines > 10);

    const QString lastLine = line(InfoRequest, 0, true);
    dialog.appendPacket(lastLine);

    DialogTraffic fresh;
    fresh.show();
    fresh.appendPacket(lastLine);
    QCOMPARE(edit->toPlainText(), textEdit(fresh)->toPlainText());
    QCOMPARE(edit->toHtml(), textEdit(fresh)->toHtml());
    QVERIFY(edit->toHtml().length() <= 65535);
}

// Lines added together (frames at the line's pace) show as the same lines added one by
// one; hidden, they are dropped; past the limit, the next batch starts afresh.
void TestDialogTraffic::linesTogetherShowAsOneByOne()
{
    const QStringList lines{line(InfoRequest, 0, true), line(QByteArray::fromHex("01420003001234"), 0, false),
                            line(QByteArray::fromHex("01420300000000000000001234"), 0, false)};
    DialogTraffic together, oneByOne;
    together.appendPackets(lines);
    QVERIFY(textEdit(together)->toPlainText().isEmpty());

    together.show();
    oneByOne.show();
    together.appendPackets(lines);
    for (const QString &one : lines)
        oneByOne.appendPacket(one);
    QCOMPARE(textEdit(together)->toPlainText(), textEdit(oneByOne)->toPlainText());
    QVERIFY(textEdit(together)->textCursor().atEnd());

    QStringList many;
    while (many.join(QString()).length() <= 65535)
        many << lines;
    together.appendPackets(many);
    together.appendPackets({lines.first()});
    QCOMPARE(textEdit(together)->toPlainText().count("01 42 00 10 A0"), 1);
}

QTEST_MAIN(TestDialogTraffic)
#include "tst_dialogtraffic.moc"
