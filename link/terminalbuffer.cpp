// The frame buffer's worker-side and user-interface-side operations; the ownership
// rules they follow are in terminalbuffer.h.

#include "link/terminalbuffer.h"

#include <cstring>
#include <thread>

namespace {

// Brackets a worker operation that may write `pos`, `end` or the storage, so that a
// claim can tell whether one is running (see the header).
class WorkerSection
{
public:
    explicit WorkerSection(std::atomic<std::uint32_t> &sections) : sections(sections)
    {
        sections.fetch_add(1, std::memory_order_seq_cst);
    }
    ~WorkerSection() { sections.fetch_add(1, std::memory_order_release); }
    WorkerSection(const WorkerSection &) = delete;
    WorkerSection &operator=(const WorkerSection &) = delete;

private:
    std::atomic<std::uint32_t> &sections;
};

} // namespace

TerminalBuffer::TerminalBuffer(std::uint8_t *storage, std::size_t length, std::uint8_t gap, TerminalDirectionHook hook,
                               TerminalRequestHook requestHook)
    : gapTicks(gap == 0 ? 1 : gap),
      state(Listening),
      ignoreBurst(false),
      idleCountdown(0),
      base(storage),
      limit(storage + length),
      pos(storage),
      end(storage),
      directionHook(hook),
      requestHook(requestHook),
      workerSections(0)
{}

void TerminalBuffer::putReceived(std::uint8_t byte)
{
    // Every byte restarts the countdown, dropped ones too: the line was not idle.
    idleCountdown = gapTicks;
    if (ignoreBurst)
        return;

    WorkerSection section(workerSections);
    std::uint8_t current = state.load(std::memory_order_seq_cst);
    if (current >= FrameReady) {
        ignoreBurst = true;
        return;
    }
    if (pos < limit) {
        *pos++ = byte;
        // Fails only if the user-interface thread has claimed the storage meanwhile;
        // the byte then lies in storage it will overwrite.
        if (current == Listening)
            state.compare_exchange_strong(current, Receiving, std::memory_order_release, std::memory_order_relaxed);
        return;
    }
    // Storage full: the frame cannot be delivered whole, so none of it is.
    pos = base;
    ignoreBurst = true;
    if (current == Receiving)
        state.compare_exchange_strong(current, Listening, std::memory_order_release, std::memory_order_relaxed);
}

TerminalOutput TerminalBuffer::nextOutput()
{
    // Transmitting cannot be left by the other thread, so no section is needed here.
    if (state.load(std::memory_order_acquire) == Transmitting) {
        const std::uint8_t byte = *pos++;
        return TerminalOutput{byte, pos >= end};
    }
    if (idleCountdown > 0)
        --idleCountdown;
    return TerminalOutput{0, idleCountdown == 0};
}

void TerminalBuffer::onLineIdle()
{
    WorkerSection section(workerSections);
    std::uint8_t current = state.load(std::memory_order_seq_cst);

    if (current == Transmitting) {
        // Called straight after the frame was written, whatever the countdown says.
        if (directionHook)
            directionHook(this, false);
        pos = base;
        end = base;
        idleCountdown = gapTicks;
        state.store(Listening, std::memory_order_release);
        return;
    }
    if (idleCountdown != 0)
        return;

    ignoreBurst = false;
    if (current == Receiving) {
        end = pos;
        pos = base;
        state.compare_exchange_strong(current, FrameReady, std::memory_order_release, std::memory_order_relaxed);
    } else if (current == RequestReady) {
        // `pos` is `base` and `end` the request's end, from the claim and the commit.
        if (directionHook)
            directionHook(this, true);
        state.store(Transmitting, std::memory_order_release);
    }
}

void TerminalBuffer::releaseFrame()
{
    if (state.load(std::memory_order_acquire) != FrameReady)
        return;
    end = base;
    state.store(Listening, std::memory_order_release);
}

bool TerminalBuffer::claimForRequest()
{
    std::uint8_t current = state.load(std::memory_order_seq_cst);
    do {
        if (current >= RequestReady)
            return false;
    } while (!state.compare_exchange_weak(current, Composing, std::memory_order_seq_cst));

    // A worker operation that loaded the state before the swap may still be writing;
    // wait for that one to finish. Later ones see Composing and keep off the storage.
    const std::uint32_t sections = workerSections.load(std::memory_order_seq_cst);
    if (sections % 2 != 0) {
        while (workerSections.load(std::memory_order_acquire) == sections)
            std::this_thread::yield();
    }
    pos = base;
    return true;
}

bool TerminalBuffer::commitRequest(std::uint8_t n)
{
    // A request of 0 bytes would let the transmission run past its end, since the
    // last-byte test compares against `end` only after a byte has been sent.
    if (state.load(std::memory_order_acquire) != Composing || n == 0 || n > static_cast<std::size_t>(limit - base))
        return false;
    end = base + n;
    state.store(RequestReady, std::memory_order_release);
    if (requestHook)
        requestHook(this);
    return true;
}

bool TerminalBuffer::takeFrame(const std::uint8_t **bytes, std::size_t *length) const
{
    if (state.load(std::memory_order_acquire) != FrameReady)
        return false;
    *bytes = base;
    *length = static_cast<std::size_t>(end - base);
    return true;
}

bool TerminalBuffer::sendRequest(const std::uint8_t *bytes, std::uint8_t length)
{
    if (length == 0 || length > static_cast<std::size_t>(limit - base))
        return false;
    if (!claimForRequest())
        return false;
    std::memcpy(base, bytes, length);
    return commitRequest(length);
}
