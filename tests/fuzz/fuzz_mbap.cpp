// The two framings of a gateway's stream. Modbus TCP: any bytes, in any pieces, are
// cut into ADUs as the port does it, and each reply taken is a sound RTU frame (the
// request's address, a correct CRC, at most 256 bytes); a frame wrapped and
// unwrapped comes back as it went. Raw RTU over TCP: the URL of either kind parses
// to a host and port, or is refused.

#include "tests/fuzz/fuzzinput.h"

#include "link/porttcp.h"
#include "protocol/modbuscrc.h"

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);

    // The port's name first.
    std::size_t nameLength = 0;
    const std::uint8_t *name = input.bytes(input.byte() % 64, &nameLength);
    NetworkPortAddress address;
    if (parseNetworkPort(std::string(reinterpret_cast<const char *>(name), nameLength), &address)) {
        FUZZ_CHECK(address.transport != PortTransport::Serial, "a serial port's name parsed as a URL");
        FUZZ_CHECK(!address.host.empty() && address.port != 0, "a URL without host or port accepted");
        FUZZ_CHECK(address.unit >= -1 && address.unit <= 255, "a unit id out of range");
        FUZZ_CHECK(address.unit == -1 || address.transport == PortTransport::ModbusTcp, "a unit on a raw port");
    }

    // A request wrapped and taken apart again.
    const std::uint16_t transaction = std::uint16_t(input.byte() | input.byte() << 8);
    std::size_t rtuLength = 0;
    const std::uint8_t *rtu = input.bytes(input.byte(), &rtuLength);
    const std::vector<std::uint8_t> adu = mbapWrap(rtu, rtuLength, transaction, -1);
    if (!adu.empty()) {
        std::size_t aduLength = 0;
        FUZZ_CHECK(mbapScan(adu.data(), adu.size(), &aduLength) == MbapScan::Complete && aduLength == adu.size(),
                   "a wrapped request does not scan as one ADU");
        const std::vector<std::uint8_t> back = mbapUnwrap(adu.data(), adu.size(), transaction, rtu[0]);
        FUZZ_CHECK(back.size() == rtuLength, "a frame came back at another length");
        FUZZ_CHECK(std::equal(back.begin(), back.end() - 2, rtu), "a frame came back changed");
    }

    // The stream as the port reads it: pieces appended, complete ADUs taken off the front.
    const std::uint8_t address8 = input.byte();
    std::vector<std::uint8_t> pending;
    while (!input.empty()) {
        std::size_t count = 0;
        const std::uint8_t *piece = input.bytes(input.byte(), &count);
        pending.insert(pending.end(), piece, piece + count);
        for (;;) {
            std::size_t aduLength = 0;
            const MbapScan scan = mbapScan(pending.data(), pending.size(), &aduLength);
            if (scan == MbapScan::NeedMore)
                break;
            if (scan == MbapScan::Invalid) {
                pending.clear();
                break;
            }
            FUZZ_CHECK(aduLength > MbapHeaderLength && aduLength <= pending.size() && aduLength <= MaxMbapAduLength,
                       "an ADU beyond the bytes received or the largest ADU");
            const std::vector<std::uint8_t> frame = mbapUnwrap(pending.data(), aduLength, transaction, address8);
            if (!frame.empty()) {
                FUZZ_CHECK(frame.size() >= 4 && frame.size() <= 256, "a reply frame of impossible length");
                FUZZ_CHECK(frame[0] == address8, "a reply frame from another address");
                FUZZ_CHECK(modbusCrc(frame.data(), frame.size()) == 0, "a reply frame with a wrong CRC");
            }
            pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(aduLength));
        }
    }
    return 0;
}
