// Runs every file of one fuzz target's corpus through that target, as a plain test
// of the suite: the seeds, and every input that once crashed, hung or leaked, stay
// checked on any build, without clang.

#include <QDir>
#include <QFile>
#include <QTest>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

class tst_FuzzReplay : public QObject
{
    Q_OBJECT

private slots:
    void corpusFile_data()
    {
        QTest::addColumn<QString>("path");
        const QDir corpus(QStringLiteral(KHRONAR_FUZZ_CORPUS));
        const QStringList files = corpus.entryList(QDir::Files, QDir::Name);
        QVERIFY2(!files.isEmpty(), qPrintable(QStringLiteral("no corpus in ") + corpus.path()));
        for (const QString &file : files)
            QTest::newRow(qPrintable(file)) << corpus.filePath(file);
    }
    // A target that finds a property broken aborts, and with it this test.
    void corpusFile()
    {
        QFETCH(QString, path);
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
        const QByteArray input = file.readAll();
        QCOMPARE(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.constData()),
                                        std::size_t(input.size())),
                 0);
    }
};

QTEST_GUILESS_MAIN(tst_FuzzReplay)
#include "replay.moc"
