// The port settings dialog: its form, the ports it lists, and the tables that turn
// its choices into line parameters.

#include "dialogs/dialogportsettings.h"
#include "portlist/envports.h"
#include "portlist/portsettings.h"
#include "portlist/systemports.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QVBoxLayout>

#include <iterator>

namespace {

QStringList itemTexts(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

// The names the items hold, which the terminal opens.
QStringList itemNames(const QComboBox *box)
{
    QStringList names;
    for (int i = 0; i < box->count(); ++i)
        names << box->itemData(i).toString();
    return names;
}

QStringList systemPorts()
{
    QStringList names;
    for (const SystemPort &port : systemSerialPorts())
        names << port.name;
    return names;
}

const QStringList BaudTexts = {"1200",  "2400",  "4800",  "9600",   "14400", "19200",
                               "28800", "38400", "57600", "115200", "230400"};
const QStringList ParityTexts = {"None", "Odd", "Even"};
const QStringList StopBitsTexts = {"1", "1.5", "2"};

} // namespace

class TestDialogPortSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void form();
    void choices();
    void okAcceptsCancelRejects_data();
    void okAcceptsCancelRejects();
    void portList_data();
    void portList();
    void conversionTables();

private:
    QByteArray savedPorts;
    bool hadPorts = false;
};

void TestDialogPortSettings::initTestCase()
{
    hadPorts = qEnvironmentVariableIsSet("KHRONAR_PORTS");
    savedPorts = qgetenv("KHRONAR_PORTS");
    qunsetenv("KHRONAR_PORTS");
}

void TestDialogPortSettings::cleanup()
{
    if (hadPorts)
        qputenv("KHRONAR_PORTS", savedPorts);
    else
        qunsetenv("KHRONAR_PORTS");
}

void TestDialogPortSettings::form()
{
    QWidget parent;
    DialogPortSettings dialog(&parent);
    QCOMPARE(dialog.parentWidget(), &parent);
    QCOMPARE(dialog.objectName(), QString("DialogPortSettings"));
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Настройка порта"));
    QCOMPARE(dialog.size(), QSize(265, 185));

    auto *outer = qobject_cast<QVBoxLayout *>(dialog.layout());
    QVERIFY(outer);
    QCOMPARE(outer->objectName(), QString("verticalLayout"));
    QCOMPARE(outer->count(), 3);
    auto *form = qobject_cast<QFormLayout *>(outer->itemAt(0)->layout());
    QVERIFY(form);
    QCOMPARE(form->objectName(), QString("formLayout"));
    // Under the line's settings: the pace the log is read at, off unless the caller says.
    auto *linePace = qobject_cast<QCheckBox *>(outer->itemAt(1)->widget());
    QVERIFY(linePace);
    QCOMPARE(linePace, dialog.linePace());
    QCOMPARE(linePace->objectName(), QString("linePace"));
    QCOMPARE(linePace->text(), QString::fromUtf8("Читать со скоростью линии"));
    QVERIFY(!linePace->isChecked());
    auto *buttons = qobject_cast<QDialogButtonBox *>(outer->itemAt(2)->widget());
    QVERIFY(buttons);
    QCOMPARE(buttons->objectName(), QString("buttonBox"));
    QCOMPARE(buttons->orientation(), Qt::Horizontal);
    QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);

    struct Row {
        const char *label;
        const char *labelText;
        QComboBox *box;
        const char *boxName;
    };
    const Row rows[] = {
        {"label", "Порт", dialog.port(), "port"},
        {"label_2", "Скорость", dialog.baudrate(), "baudrate"},
        {"label_3", "Четность", dialog.parity(), "parity"},
        {"label_4", "Стоп бит", dialog.stopBits(), "stopBits"},
    };
    QCOMPARE(form->rowCount(), 4);
    for (int row = 0; row < 4; ++row) {
        auto *label = qobject_cast<QLabel *>(form->itemAt(row, QFormLayout::LabelRole)->widget());
        QVERIFY(label);
        QCOMPARE(label->objectName(), QString(rows[row].label));
        QCOMPARE(label->text(), QString::fromUtf8(rows[row].labelText));
        QCOMPARE(form->itemAt(row, QFormLayout::FieldRole)->widget(), rows[row].box);
        QCOMPARE(rows[row].box->objectName(), QString(rows[row].boxName));
        QVERIFY(!rows[row].box->isEditable());
    }
}

void TestDialogPortSettings::choices()
{
    DialogPortSettings dialog;
    QCOMPARE(itemTexts(dialog.baudrate()), BaudTexts);
    QCOMPARE(itemTexts(dialog.parity()), ParityTexts);
    QCOMPARE(itemTexts(dialog.stopBits()), StopBitsTexts);
    QCOMPARE(dialog.baudrate()->currentIndex(), 0);
    QCOMPARE(dialog.parity()->currentIndex(), 2);
    QCOMPARE(dialog.stopBits()->currentIndex(), 0);
    for (QComboBox *box : {dialog.port(), dialog.baudrate(), dialog.parity(), dialog.stopBits()}) {
        for (int i = 0; i < box->count(); ++i) {
            QVERIFY(box->itemIcon(i).isNull());
            // A port holds the name the terminal opens, which it shows unless the
            // system has a name for it ("USB-SERIAL CH340 (COM5)"); the line
            // parameters are read by their index.
            if (box == dialog.port())
                QVERIFY(box->itemText(i).contains(box->itemData(i).toString()));
            else
                QVERIFY(!box->itemData(i).isValid());
        }
    }
}

void TestDialogPortSettings::okAcceptsCancelRejects_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("result");
    QTest::newRow("OK") << int(QDialogButtonBox::Ok) << int(QDialog::Accepted);
    QTest::newRow("Cancel") << int(QDialogButtonBox::Cancel) << int(QDialog::Rejected);
}

void TestDialogPortSettings::okAcceptsCancelRejects()
{
    QFETCH(int, button);
    QFETCH(int, result);
    DialogPortSettings dialog;
    dialog.setResult(-1);
    dialog.show();
    auto *buttons = dialog.findChild<QDialogButtonBox *>("buttonBox");
    QTest::mouseClick(buttons->button(QDialogButtonBox::StandardButton(button)), Qt::LeftButton);
    QCOMPARE(dialog.result(), result);
    QVERIFY(!dialog.isVisible());
}

// Null stands for an unset variable.
void TestDialogPortSettings::portList_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QStringList>("added");

    QTest::newRow("unset") << QByteArray() << QStringList();
    QTest::newRow("set, empty") << QByteArray("") << QStringList();
    QTest::newRow("only separators") << QByteArray(":::") << QStringList();
    QTest::newRow("one path") << QByteArray("/dev/pts/3") << QStringList{"/dev/pts/3"};
    QTest::newRow("two paths, in order") << QByteArray("/tmp/khronar-b:/dev/pts/12")
                                         << QStringList{"/tmp/khronar-b", "/dev/pts/12"};
    QTest::newRow("empty entries skipped")
        << QByteArray(":/dev/pts/7::/tmp/ttyV1:") << QStringList{"/dev/pts/7", "/tmp/ttyV1"};
    QTest::newRow("blanks kept as written") << QByteArray("/tmp/my port") << QStringList{"/tmp/my port"};
    QTest::newRow("raw tcp") << QByteArray("tcp://192.168.1.20:4001") << QStringList{"tcp://192.168.1.20:4001"};
    QTest::newRow("urls among paths") << QByteArray("/dev/pts/3:tcp://gw.local:4001:mbtcp://10.0.0.5:502/7:/tmp/ttyV0")
                                      << QStringList{"/dev/pts/3", "tcp://gw.local:4001", "mbtcp://10.0.0.5:502/7",
                                                     "/tmp/ttyV0"};
    QTest::newRow("ipv6 literal") << QByteArray("mbtcp://[::1]:502:tcp://[fe80::2]:4001/")
                                  << QStringList{"mbtcp://[::1]:502", "tcp://[fe80::2]:4001/"};
    QTest::newRow("url then empty entries") << QByteArray("tcp://h:1::") << QStringList{"tcp://h:1"};
    QTest::newRow("path with tcp in it stays a path")
        << QByteArray("/tmp/tcp:/dev/pts/4") << QStringList{"/tmp/tcp", "/dev/pts/4"};
    QTest::newRow("url without port runs to the end") << QByteArray("tcp://host:") << QStringList{"tcp://host:"};
}

void TestDialogPortSettings::portList()
{
    QFETCH(QByteArray, variable);
    QFETCH(QStringList, added);
#ifdef Q_OS_WIN
    // Windows lists every serial port itself: only network ports are taken from the
    // variable.
    added = added.filter(QRegularExpression(QStringLiteral("^(tcp|mbtcp)://")));
#endif
    if (variable.isNull())
        qunsetenv("KHRONAR_PORTS");
    else
        qputenv("KHRONAR_PORTS", variable);

    DialogPortSettings dialog;
    // Named ports first: on first use the first of them is the one selected.
    const QStringList expected = added + systemPorts();
    QCOMPARE(itemNames(dialog.port()), expected);
    // The named ports are shown as named.
    QCOMPARE(itemTexts(dialog.port()).mid(0, added.size()), added);
    QCOMPARE(dialog.port()->currentIndex(), expected.isEmpty() ? -1 : 0);
    QCOMPARE(dialog.portName(), expected.value(0));
    // A name set is found among the items' names, whatever they show.
    if (!expected.isEmpty()) {
        dialog.setPortName(expected.last());
        QCOMPARE(dialog.port()->currentIndex(), expected.size() - 1);
        QCOMPARE(dialog.portName(), expected.last());
    }
}

// Each table turns the combo box's index into what its items say.
void TestDialogPortSettings::conversionTables()
{
    DialogPortSettings dialog;
    QCOMPARE(int(std::size(BaudRates)), dialog.baudrate()->count());
    QCOMPARE(int(std::size(ParityCodes)), dialog.parity()->count());
    QCOMPARE(int(std::size(StopBitsCodes)), dialog.stopBits()->count());

    for (int i = 0; i < dialog.baudrate()->count(); ++i)
        QCOMPARE(QString::number(BaudRates[i]), dialog.baudrate()->itemText(i));
    QCOMPARE(BaudRates[5], 19200u);
    QCOMPARE(BaudRates[10], 230400u);

    // Parity none 0, odd 1, even 2; stop bits one 0, one and a half 1, two 2.
    QCOMPARE(int(ParityCodes[dialog.parity()->findText("None")]), 0);
    QCOMPARE(int(ParityCodes[dialog.parity()->findText("Odd")]), 1);
    QCOMPARE(int(ParityCodes[dialog.parity()->findText("Even")]), 2);
    QCOMPARE(int(StopBitsCodes[dialog.stopBits()->findText("1")]), 0);
    QCOMPARE(int(StopBitsCodes[dialog.stopBits()->findText("1.5")]), 1);
    QCOMPARE(int(StopBitsCodes[dialog.stopBits()->findText("2")]), 2);
}

QTEST_MAIN(TestDialogPortSettings)
#include "tst_dialogportsettings.moc"
