// The caption formatter with any caption and any data bytes: it renders something
// every time, the same thing for the same input (no state carries over from one call
// to the next), and the start it renders for the table is the start of the whole.

#include "tests/fuzz/fuzzinput.h"

#include "messagetext/captionformat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    // The caption as the log file holds it (text, from any bytes), then the data.
    std::size_t captionLength = 0;
    const std::uint8_t *caption = input.bytes(std::size_t(input.byte()) << 2, &captionLength);
    const QString captionText = QString::fromUtf8(reinterpret_cast<const char *>(caption), int(captionLength));
    const int startLength = input.byte();
    std::size_t dataLength = 0;
    const std::uint8_t *bytes = input.bytes(input.left(), &dataLength);
    const QByteArray record(reinterpret_cast<const char *>(bytes), int(dataLength));

    const QString first = formatCaption(captionText, record);
    const QString again = formatCaption(captionText, record);
    FUZZ_CHECK(first == again, "the same caption and data rendered two ways");

    bool cut = false;
    bool readToEnd = false;
    const QString start = formatCaptionStart(captionText, record, startLength, &cut, &readToEnd);
    FUZZ_CHECK(start.size() <= startLength, "a start longer than asked for");
    FUZZ_CHECK(first.startsWith(start), "the start of a message is not the start of the whole");
    FUZZ_CHECK(cut == (first.size() > start.size()), "a message said cut when whole, or whole when cut");
    return 0;
}
