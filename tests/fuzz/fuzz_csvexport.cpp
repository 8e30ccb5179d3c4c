// The CSV writer with any message text: the line it writes, read back by a CSV
// parser (";" between fields, every field quoted, "" for a quote), gives the same
// three fields.

#include "tests/fuzz/fuzzinput.h"

#include "logaccess/csvexport.h"

#include <QBuffer>
#include <QHash>
#include <QStringList>
#include <QVariant>

namespace {

// The fields of one CSV record at the start of `text`; false when it is no record. A
// field is taken a run of bytes at a time, up to its next quote: the messages past the
// writer's piece are long, and this parser is compiled with the fuzzer's probes too.
bool parseRecord(const QByteArray &text, QList<QByteArray> *fields)
{
    int i = 0;
    for (;;) {
        if (i >= text.size() || text.at(i) != '"')
            return false;
        QByteArray field;
        for (++i;;) {
            const int quote = text.indexOf('"', i);
            if (quote < 0)
                return false;
            field.append(text.constData() + i, quote - i);
            i = quote + 1;
            if (i < text.size() && text.at(i) == '"') {
                field += '"';
                ++i;
                continue;
            }
            break;
        }
        fields->append(field);
        if (i < text.size() && text.at(i) == ';') {
            ++i;
            continue;
        }
        return i + 1 == text.size() && text.at(i) == '\n';
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const int type = qint8(input.byte());
    // One input in 32 is repeated past the writer's piece (64 Ki characters), so that
    // lines written in several pieces are checked too; the others stay short, which keeps
    // the executions many. Chosen by a hash of the whole input rather than by one of its
    // bytes, which the fuzzer learns to set: then nearly every input was long, and the
    // executions a few hundred a second.
    const bool pastPiece = qHashBits(data, size) % 32 == 0;
    std::size_t length = 0;
    const std::uint8_t *bytes = input.bytes(input.left(), &length);
    const int repeat = pastPiece && length > 0 ? int(64 * 1024 / length) + 2 : 1;
    const QString message = QString::fromUtf8(
        QByteArray(reinterpret_cast<const char *>(bytes), int(length)).repeated(repeat));
    const QString time = QStringLiteral("2024-03-15 13:45:30");

    QByteArray written;
    QBuffer out(&written);
    FUZZ_CHECK(out.open(QIODevice::WriteOnly), "the buffer cannot be opened");
    LogCsvWriter writer(out);
    FUZZ_CHECK(writer.writeRecord(QVariant(type), QVariant(time), message), "a line cannot be written");

    QList<QByteArray> fields;
    FUZZ_CHECK(parseRecord(written, &fields), "a line that is no CSV record");
    FUZZ_CHECK(fields.size() == 3, "a line without three fields");
    FUZZ_CHECK(QString::fromLocal8Bit(fields.at(0)) == time, "the time changed on its way through CSV");
    FUZZ_CHECK(!fields.at(1).isEmpty(), "a record without its type");
    FUZZ_CHECK(QString::fromLocal8Bit(fields.at(2)) == message, "the message changed on its way through CSV");
    return 0;
}
