// The terminal's frame assembly as the worker drives it: bytes arriving in any pieces
// with any gaps between them, requests handed over at any moment, frames taken late
// or never. A frame taken is exactly a burst the line carried; a request goes out
// exactly as handed over; no position ever leaves the storage.

#include "tests/fuzz/fuzzinput.h"

#include "link/terminalbuffer.h"

#include <vector>

namespace {

constexpr std::size_t Capacity = 256;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    // The storage sits in a vector of its own size, so that AddressSanitizer sees any
    // step past its end.
    std::vector<std::uint8_t> storage(Capacity);
    const std::uint8_t gap = input.byte() % 8;
    TerminalBuffer buffer(storage.data(), storage.size(), gap, nullptr);

    // What the line has carried since the last frame ended, as the worker should
    // collect it: a burst that overflows the storage or arrives while the storage is
    // not the worker's is dropped whole.
    std::vector<std::uint8_t> burst;
    bool burstDropped = false;
    // The burst published as the frame ready now.
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> request, sent;
    const int gapTicks = gap == 0 ? 1 : gap;
    int quietTicks = gapTicks;

    const auto lineIdle = [&] {
        const TerminalBuffer::State state = buffer.currentState();
        buffer.onLineIdle();
        if (state == TerminalBuffer::Transmitting) {
            FUZZ_CHECK(buffer.currentState() == TerminalBuffer::Listening, "sent, but not listening");
            sent.clear();
            quietTicks = 0;
            return;
        }
        if (quietTicks < gapTicks)
            return;
        if (state == TerminalBuffer::Receiving) {
            FUZZ_CHECK(!burstDropped, "a dropped burst became a frame");
            FUZZ_CHECK(buffer.currentState() == TerminalBuffer::FrameReady, "a burst ended without a frame");
            frame = burst;
            burst.clear();
        } else if (state == TerminalBuffer::Listening) {
            burst.clear();
        }
        burstDropped = false;
    };

    while (!input.empty()) {
        const std::uint8_t op = input.byte();
        switch (op % 6) {
        case 0: { // a piece of bytes arrives
            std::size_t count = 0;
            const std::uint8_t *bytes = input.bytes(op / 6 + 1, &count);
            for (std::size_t i = 0; i < count; ++i) {
                const TerminalBuffer::State state = buffer.currentState();
                buffer.putReceived(bytes[i]);
                quietTicks = 0;
                if (burstDropped)
                    continue;
                if (state >= TerminalBuffer::FrameReady || burst.size() == Capacity) {
                    burstDropped = true;
                    burst.clear();
                } else {
                    burst.push_back(bytes[i]);
                }
            }
            break;
        }
        case 1: { // silence: the worker counts ticks and tells the buffer when the line is idle
            const int ticks = op / 6 + 1;
            for (int i = 0; i < ticks; ++i) {
                const bool transmitting = buffer.currentState() == TerminalBuffer::Transmitting;
                const TerminalOutput out = buffer.nextOutput();
                if (transmitting) {
                    sent.push_back(out.byte);
                    if (out.flag) {
                        FUZZ_CHECK(sent == request, "a request went out other than it was handed over");
                        lineIdle();
                    }
                    continue;
                }
                if (quietTicks < gapTicks)
                    ++quietTicks;
                if (out.flag)
                    lineIdle();
            }
            break;
        }
        case 2: { // the user-interface thread takes the frame
            const std::uint8_t *bytes = nullptr;
            std::size_t length = 0;
            if (buffer.takeFrame(&bytes, &length)) {
                FUZZ_CHECK(bytes >= storage.data() && length <= Capacity, "a frame outside the storage");
                FUZZ_CHECK(std::vector<std::uint8_t>(bytes, bytes + length) == frame,
                           "a frame other than the burst the line carried");
            }
            break;
        }
        case 3: // and gives it back
            buffer.releaseFrame();
            break;
        case 4: { // a request is handed over
            std::size_t count = 0;
            const std::uint8_t *bytes = input.bytes(input.byte(), &count);
            const TerminalBuffer::State state = buffer.currentState();
            const bool taken = buffer.sendRequest(bytes, std::uint8_t(count));
            FUZZ_CHECK(taken == (count > 0 && state < TerminalBuffer::RequestReady),
                       "a request refused or taken wrongly");
            if (taken) {
                request.assign(bytes, bytes + count);
                sent.clear();
                // The claim drops a partial burst; what arrives while the request is
                // pending or going out is dropped until the line falls silent.
                burst.clear();
                burstDropped = false;
            }
            break;
        }
        default: // the worker wakes without a tick and looks at the line
            if (buffer.currentState() != TerminalBuffer::Transmitting)
                lineIdle();
            break;
        }
    }
    return 0;
}
