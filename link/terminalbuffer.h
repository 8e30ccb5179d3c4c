// The half-duplex frame buffer through which the serial worker thread and the
// user-interface thread hand received frames and requests to each other.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct TerminalBuffer;

// Called on the worker thread with true when a transmission starts and with false
// when it has ended.
using TerminalDirectionHook = void (*)(TerminalBuffer *buffer, bool transmitting);

// Called on the user-interface thread right after a request has been handed over
// (RequestReady published), so that a worker asleep may start sending at once.
using TerminalRequestHook = void (*)(TerminalBuffer *buffer);

// What nextOutput hands the worker: while transmitting, the next frame byte and
// whether it is the last one; otherwise `byte` means nothing and `flag` says that
// the idle countdown is at zero.
struct TerminalOutput {
    std::uint8_t byte;
    bool flag;
};

/*
 * Ownership and handover
 * ----------------------
 * One storage area serves both directions. `state` says who owns the storage and
 * the positions `pos` and `end`:
 *
 *   Listening, Receiving, RequestReady, Transmitting   worker thread
 *   FrameReady, Composing                               user-interface thread
 *
 * `gapTicks` never changes; `ignoreBurst` and `idleCountdown` belong to the worker
 * in every state. A side that hands the storage over (Receiving -> FrameReady,
 * FrameReady -> Listening, Composing -> RequestReady, Transmitting -> Listening)
 * writes the storage and the positions first and `state` last, with release
 * semantics; the other side loads `state` with acquire semantics before it looks
 * at the positions or the storage.
 *
 *   worker:  putReceived ... onLineIdle ──FrameReady──► UI: read base..end, releaseFrame
 *   UI:      claimForRequest, write base.., commitRequest ──RequestReady──► worker:
 *            onLineIdle (line idle) ─► Transmitting ─► nextOutput... ─► onLineIdle ─► Listening
 *
 * The claim
 * ---------
 * claimForRequest is the one transition the user-interface thread makes while the
 * worker owns the storage (Listening, Receiving). A worker operation may have read
 * Listening or Receiving an instant earlier and be about to store a byte, move
 * `pos`, or publish a frame. Two rules keep them apart without a lock:
 *
 * 1. Every worker operation that may write `pos`, `end` or the storage
 *    (putReceived, onLineIdle) runs inside a section: it increments
 *    `workerSections` (odd = inside) before it loads `state`, and increments it again
 *    when it is done. Its own state changes out of Listening and Receiving are
 *    compare-and-swaps against the state it read, so they cannot overwrite a claim.
 * 2. The claim swaps `state` to Composing first, then reads `workerSections`; if a
 *    section is open, it waits until that one section has closed (a few
 *    instructions on the time-critical worker; the worker itself never waits).
 *    Only then does it set `pos`.
 *
 * Both the section entry and the state swap are sequentially consistent, so
 * either the worker's load of `state` comes after the swap and sees Composing
 * (and then touches only its own countdown and burst flag), or it comes before,
 * and then the claim sees the open section and waits for it to close; closing it
 * is a release that the claim's load acquires, so whatever that operation wrote
 * happens before the user-interface thread writes its request. A partial frame
 * in Receiving is thereby dropped: its bytes stay in storage that now belongs to
 * the request.
 *
 * The claim is refused in RequestReady and Transmitting: there the worker may be
 * reading the request at that moment, and a request already handed over is sent.
 *
 * Waking the other side
 * ---------------------
 * Neither side has to look at `state` in a loop. After the commit has published
 * RequestReady, `requestHook` runs on the user-interface thread: the terminal wakes
 * its worker from a wait on the port. The terminal in turn wakes a user-interface
 * thread waiting for a frame after onLineIdle has published FrameReady. A wake-up
 * only ends a wait; what it is about is always read from `state` afterwards, and it is
 * raised after the state it announces is stored, so it cannot overtake it.
 */
struct TerminalBuffer {
    enum State : std::uint8_t {
        Listening = 0,
        Receiving = 1,
        FrameReady = 2,
        Composing = 3,
        RequestReady = 4,
        Transmitting = 5,
    };

    // `length` bytes at `storage`, owned by the caller and outliving the buffer.
    // A gap of 0 is taken as 1.
    TerminalBuffer(std::uint8_t *storage, std::size_t length, std::uint8_t gap, TerminalDirectionHook hook,
                   TerminalRequestHook requestHook = nullptr);
    TerminalBuffer(const TerminalBuffer &) = delete;
    TerminalBuffer &operator=(const TerminalBuffer &) = delete;

    // Worker side.
    void putReceived(std::uint8_t byte);
    TerminalOutput nextOutput();
    void onLineIdle();

    // User-interface side.
    State currentState() const { return static_cast<State>(state.load(std::memory_order_acquire)); }
    // In FrameReady: the received frame, valid until releaseFrame. False otherwise.
    bool takeFrame(const std::uint8_t **bytes, std::size_t *length) const;
    // Gives a consumed frame back; does nothing outside FrameReady.
    void releaseFrame();
    // Claims the storage, copies the request into it and hands it to the worker,
    // which sends it once the line is idle. False, with nothing sent, while a
    // request is still waiting or being sent, or when `length` is 0 or does not fit.
    bool sendRequest(const std::uint8_t *bytes, std::uint8_t length);

private:
    // Tests look at the positions and drive the claim and commit one at a time.
    friend struct TerminalBufferProbe;

    // Takes the storage to write a request at `base`. False, with nothing changed,
    // in RequestReady and Transmitting.
    bool claimForRequest();
    // Hands over `n` bytes written at `base`. False, with nothing changed, outside
    // Composing or when `n` is 0 or larger than the storage.
    bool commitRequest(std::uint8_t n);

    std::uint8_t gapTicks;
    std::atomic<std::uint8_t> state;
    bool ignoreBurst;
    std::uint8_t idleCountdown;
    std::uint8_t *base;
    std::uint8_t *limit;
    std::uint8_t *pos;
    std::uint8_t *end;
    TerminalDirectionHook directionHook;
    TerminalRequestHook requestHook;
    // Odd while a worker operation that may write positions or storage runs.
    std::atomic<std::uint32_t> workerSections;
};
