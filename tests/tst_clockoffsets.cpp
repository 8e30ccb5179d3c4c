// Clock offsets of the devices in a merged view: how a device is labelled with one,
// and the offsets of log files kept in the settings by path.
#include "logaccess/clockoffsets.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_ClockOffsets : public QObject
{
    Q_OBJECT

private slots:
    void label_data();
    void label();
    void filesKeepTheirOwn_data();
    void filesKeepTheirOwn();
    void sameFileByAnotherPath();
};

void tst_ClockOffsets::label_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QString>("label");
    QTest::newRow("none") << "rele-3" << 0 << "rele-3";
    QTest::newRow("ahead") << "rele-3" << 12 << "rele-3 (+12 с)";
    QTest::newRow("behind") << "ПС-12 ввод" << -3600 << "ПС-12 ввод (-3600 с)";
    QTest::newRow("a name with placeholders") << "a%1%3" << 5 << "a%1%3 (+5 с)";
    QTest::newRow("largest") << "x" << 2147483647 << "x (+2147483647 с)";
    QTest::newRow("smallest") << "x" << -2147483647 - 1 << "x (-2147483648 с)";
}

void tst_ClockOffsets::label()
{
    QFETCH(QString, name);
    QFETCH(int, offset);
    QFETCH(QString, label);
    QCOMPARE(deviceLabel(name, offset), label);
}

void tst_ClockOffsets::filesKeepTheirOwn_data()
{
    QTest::addColumn<QString>("settingsFormat");
    QTest::newRow("ini") << "ini";
    QTest::newRow("native") << "native";
}

void tst_ClockOffsets::filesKeepTheirOwn()
{
    QFETCH(QString, settingsFormat);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The native settings of this test go to its own folder (on Windows, the registry,
    // which the test empties again).
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
    // Paths that part groups, hold the key syntax's own characters, or differ only in case.
    QStringList files = {
        dir.filePath(QStringLiteral("station/rele-3.db")),
        dir.filePath(QStringLiteral("Подстанция 12/ввод 1.db")),
        dir.filePath(QStringLiteral("a=b;c%20d[1].db")),
        dir.filePath(QStringLiteral("Rele-3.db")),
    };
    // Other files here; on Windows they are the first and the last by other names.
    const QStringList aliases = {
        dir.filePath(QStringLiteral("station\\rele-3.db")),
        dir.filePath(QStringLiteral("rele-3.db")),
    };
#ifndef Q_OS_WIN
    files += aliases;
#endif
    {
        std::unique_ptr<QSettings> settings;
        if (settingsFormat == QLatin1String("ini"))
            settings = std::make_unique<QSettings>(dir.filePath(QStringLiteral("k.ini")), QSettings::IniFormat);
        else
            settings = std::make_unique<QSettings>(
                QStringLiteral("Tolmer-test"),
                QStringLiteral("clockoffsets-%1").arg(QCoreApplication::applicationPid()));
        FileClockOffsets offsets(*settings);
        for (int k = 0; k < files.size(); ++k)
            offsets.setOffset(files[k], (k + 1) * (k % 2 ? -7 : 11));
        for (int k = 0; k < files.size(); ++k)
            QCOMPARE(offsets.offsetOf(files[k]), (k + 1) * (k % 2 ? -7 : 11));
        QCOMPARE(offsets.offsetOf(dir.filePath(QStringLiteral("never.db"))), 0);
#ifdef Q_OS_WIN
        QCOMPARE(offsets.offsetOf(aliases[0]), offsets.offsetOf(files[0]));
        QCOMPARE(offsets.offsetOf(aliases[1]), offsets.offsetOf(files[3]));
#endif
        // Back to 0: the file is no longer in the settings, the others are.
        offsets.setOffset(files[0], 0);
        QCOMPARE(offsets.offsetOf(files[0]), 0);
        QCOMPARE(offsets.offsetOf(files[2]), 33);
        settings->sync();
        if (settingsFormat != QLatin1String("ini")) {
            // Read by another settings object, as the next start of the window does.
            QSettings again(QStringLiteral("Tolmer-test"),
                            QStringLiteral("clockoffsets-%1").arg(QCoreApplication::applicationPid()));
            FileClockOffsets kept(again);
            QCOMPARE(kept.offsetOf(files[1]), -14);
            QCOMPARE(kept.offsetOf(files[3]), -28);
            again.clear();
        }
    }
    if (settingsFormat == QLatin1String("ini")) {
        QSettings again(dir.filePath(QStringLiteral("k.ini")), QSettings::IniFormat);
        FileClockOffsets kept(again);
        for (int k = 1; k < files.size(); ++k)
            QCOMPARE(kept.offsetOf(files[k]), (k + 1) * (k % 2 ? -7 : 11));
        QCOMPARE(kept.offsetOf(files[0]), 0);
    }
}

void tst_ClockOffsets::sameFileByAnotherPath()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("a/b")));
    QSettings settings(dir.filePath(QStringLiteral("k.ini")), QSettings::IniFormat);
    FileClockOffsets offsets(settings);
    offsets.setOffset(dir.filePath(QStringLiteral("a/b/../log.db")), 42);
    QCOMPARE(offsets.offsetOf(dir.filePath(QStringLiteral("a/log.db"))), 42);
    const QString old = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.filePath(QStringLiteral("a"))));
    QCOMPARE(offsets.offsetOf(QStringLiteral("log.db")), 42);
    QCOMPARE(offsets.offsetOf(QStringLiteral("b/log.db")), 0);
    QVERIFY(QDir::setCurrent(old));
}

QTEST_GUILESS_MAIN(tst_ClockOffsets)
#include "tst_clockoffsets.moc"
