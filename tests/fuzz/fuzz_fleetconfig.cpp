// The fleet file parser with any text: a configuration that can be collected, or a
// message that names the file and a line the file has.

#include "tests/fuzz/fuzzinput.h"

#include "fetch/fleetconfig.h"

#include <QRegularExpression>
#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    const QString fileName = QStringLiteral("fleet.ini");
    const FleetConfigResult result = parseFleetConfig(text, fileName);
    if (!result.error.isEmpty()) {
        static const QRegularExpression form(QStringLiteral("^fleet\\.ini:([0-9]+): \\S"));
        const QRegularExpressionMatch match = form.match(result.error);
        FUZZ_CHECK(match.hasMatch(), "a message that does not name the file and line");
        const int line = match.captured(1).toInt();
        const int lines = QString::fromUtf8(text).count(QLatin1Char('\n')) + 1;
        FUZZ_CHECK(line >= 1 && line <= lines, "a message naming a line the file does not have");
        return 0;
    }
    FUZZ_CHECK(!result.config.db.isEmpty(), "a configuration without a store");
    FUZZ_CHECK(!result.config.lines.empty() && result.config.lines.size() <= MaxFleetLines,
               "a configuration with no lines or too many");
    for (const FleetLine &line : result.config.lines) {
        FUZZ_CHECK(!line.port.isEmpty(), "a line without a port");
        FUZZ_CHECK(!line.devices.empty(), "a line without devices");
        QSet<int> addresses;
        for (const FleetDevice &device : line.devices) {
            FUZZ_CHECK(device.address >= 1, "a device at address 0");
            FUZZ_CHECK(!addresses.contains(device.address), "an address twice on one line");
            addresses.insert(device.address);
            FUZZ_CHECK(!device.name.isEmpty(), "a device without a name");
        }
    }
    return 0;
}
