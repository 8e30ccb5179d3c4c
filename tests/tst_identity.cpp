// The identity this build reports, as the window and the settings store get it.

#include "app/identity.h"

#include <QCoreApplication>
#include <QTest>

class tst_Identity : public QObject
{
    Q_OBJECT

private slots:
    void values_data();
    void values();
};

void tst_Identity::values_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<uint>("translation");
    QTest::addColumn<QString>("expected");

    const uint block = IdentityTranslation;
    QTest::newRow("product name") << "ProductName" << block << QStringLiteral("Хронар");
    QTest::newRow("internal name is empty") << "InternalName" << block << QString();
    QTest::newRow("description keeps its blank") << "FileDescription" << block << QStringLiteral("Хронар ");
    QTest::newRow("file version") << "FileVersion" << block << QStringLiteral("1.4.0.0");
    QTest::newRow("product version") << "ProductVersion" << block << QStringLiteral("1.4");
    QTest::newRow("missing key") << "CompanyName" << block << QString();
#ifdef Q_OS_WIN
    // The version API finds a key whatever its case.
    QTest::newRow("keys in any case") << "productname" << block << QStringLiteral("Хронар");
#else
    QTest::newRow("keys are exact") << "productname" << block << QString();
#endif
    // The block is fixed: the Russian block named by the translation list holds nothing.
    QTest::newRow("other block") << "ProductName" << 0x041904E4u << QString();
}

void tst_Identity::values()
{
    QFETCH(QString, key);
    QFETCH(uint, translation);
    QFETCH(QString, expected);

    const std::wstring executable = QCoreApplication::applicationFilePath().toStdWString();
    const std::wstring value = identityString(executable, key.toStdWString(), translation);
    QCOMPARE(QString::fromStdWString(value), expected);
}

QTEST_GUILESS_MAIN(tst_Identity)
#include "tst_identity.moc"
