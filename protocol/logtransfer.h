// The event-log transfer client: reads the device's info, captions, range and records
// over function code 0x42, one request at a time, and hands them to four callbacks.
#pragma once

#include "protocol/modbusmaster.h"

#include <cstddef>
#include <cstdint>

// Callbacks through which the transfer hands over what it read, each called with the
// transfer's callback context first, so that several transfers in one process each
// reach their own owner. Each may be absent. A callback may stop the transfer from
// inside (state ReadInfo, remaining 0, nothing pending); the reply is then taken and
// the transfer stays stopped.
//
// The info reply: return true to download the captions.
using LogInfoCallback = bool (*)(void *context, std::uint16_t captionCount, std::uint32_t idHash,
                                 std::uint32_t captionHash);
// One caption; `text` is 0-terminated, in the device's 8-bit code page.
using CaptionCallback = void (*)(void *context, std::uint16_t position, std::uint32_t eventId, const char *text);
// The range reply: return the index to resume at. An index before `first` starts at
// `first`; one at or past the end (first + span, modulo 2^32) reads nothing.
using RangeCallback = std::uint32_t (*)(void *context, std::uint32_t first, std::uint32_t span);
// One record. `count` is the number of index positions it occupies, at least 1.
// `data` points into the reply frame and is valid only during the call.
using RecordCallback = void (*)(void *context, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                                std::uint32_t time, std::uint32_t eventId, const std::uint8_t *data,
                                std::size_t dataLength);

// One request at a time; a reply that answers it moves the state on:
//
//   ReadInfo ─► ReadCaptions ─► ReadRange ─► ReadRecords ─► Idle
//       │        (if wanted)      ▲   │           │           │
//       └─────────────────────────┘   └─► Idle    │           │ re-poll by the owner
//                                     ▲           │ 0x84      │
//                                     └───────────┴───────────┘
//   ClearLog ─► ReadInfo        (the owner calls stop() to start or stop, startClear())
class LogTransfer
{
public:
    enum State : std::uint8_t {
        ReadInfo = 0,
        ReadCaptions = 1,
        ReadRange = 2,
        ReadRecords = 3,
        Idle = 4,
        ClearLog = 5,
    };

    // pendingKind() values beside the sub-functions 0..3 of an outstanding request.
    static constexpr std::uint8_t PendingNone = 4;
    static constexpr std::uint8_t PendingClear = 5;

    // Sub-functions of function 0x42.
    static constexpr std::uint8_t InfoFunction = 0x00;
    static constexpr std::uint8_t CaptionFunction = 0x01;
    static constexpr std::uint8_t RangeFunction = 0x02;
    static constexpr std::uint8_t RecordFunction = 0x03;
    static constexpr std::uint8_t ClearFunction = 0x80;

    // The device clears its log only when the clear request carries this value.
    static constexpr std::uint32_t ClearConfirmation = 0x5AC3003C;
    static constexpr std::uint16_t ClearTimeoutMs = 3000;
    static constexpr std::uint8_t ClearAttempts = 2;
    // Status of a short record reply: the index is not in the device log.
    static constexpr std::uint8_t IndexNotInLog = 0x84;

    // Where the transfer hands over what it reads; each callback may be absent.
    struct Callbacks {
        LogInfoCallback logInfo = nullptr;
        CaptionCallback caption = nullptr;
        RangeCallback range = nullptr;
        RecordCallback record = nullptr;
        void *context = nullptr;
    };
    void setCallbacks(const Callbacks &to) { callbacks = to; }
    // How long a reply is waited for, and how often a request goes out before the
    // device counts as silent. Takes effect from the next new request.
    void setReplyTiming(std::uint16_t replyTimeoutMs, std::uint8_t attempts)
    {
        replyTimeout = replyTimeoutMs;
        requestAttempts = attempts;
    }

    // Ends whatever runs: back to the first state, nothing left to read, nothing
    // pending. A reply still on its way is taken as a stray one.
    void stop();
    // Clears the device's log next. A request whose reply may still be on the line is
    // waited out first (its reply, or its reply time), so that the clear never meets
    // that reply on the half-duplex line and that reply is never taken for the
    // clear's answer.
    void startClear();
    // Resting: ask for the range again, to find new records. Does nothing otherwise.
    void repoll();

    State state() const { return currentState; }
    bool isIdle() const { return currentState == Idle; }
    bool isClearing() const { return currentState == ClearLog; }
    // A request has gone out and its answer is still awaited.
    bool requestOutstanding() const { return pending != PendingNone; }
    // The sub-function of the request awaited, or PendingNone, or PendingClear.
    std::uint8_t pendingKind() const { return pending; }
    // Captions or index positions left to read: the progress.
    std::uint32_t remaining() const { return positionsLeft; }
    // The caption position or record index asked for next.
    std::uint32_t index() const { return nextIndex; }
    // The first index of the device's log, from its last range reply.
    std::uint32_t firstIndex() const { return rangeFirst; }
    // The fingerprints from the last info reply.
    std::uint32_t idHash() const { return deviceIdHash; }
    std::uint32_t captionHash() const { return deviceCaptionHash; }
    // Sends left for the outstanding request, this one included.
    std::uint8_t attemptsLeft() const { return attemptsRemaining; }
    // The tick count at which the outstanding request's reply time is over; a
    // driver that waits on the line waits until then.
    std::uint32_t deadline() const { return replyDeadline; }

    // Writes the request of the current state from frame offset 1 on; resends an
    // outstanding request once its reply time is over, up to its number of attempts.
    RequestResult buildRequest(std::uint8_t *frame, std::uint8_t *length);

    // Digests a reply (`length` without CRC, at least 2) and advances the state.
    // Exception replies return their code and leave the request outstanding.
    ReplyResult handleReply(const std::uint8_t *frame, std::uint8_t length);

    // The master's table entry for function 0x42 with this transfer as its context.
    ModbusFunctionHandler functionHandler();

private:
    // Tests place the transfer in a state mid-download without a device.
    friend struct LogTransferProbe;

    Callbacks callbacks;
    std::uint32_t replyDeadline = 0; // tick count; compared by signed difference
    State currentState = ReadInfo;
    std::uint8_t attemptsRemaining = 0;
    std::uint8_t requestAttempts = 10;
    std::uint8_t pending = PendingNone;
    std::uint16_t replyTimeout = 1000;
    std::uint32_t nextIndex = 0;
    std::uint32_t positionsLeft = 0;
    std::uint32_t rangeFirst = 0;
    std::uint32_t deviceIdHash = 0;
    std::uint32_t deviceCaptionHash = 0;
    std::uint32_t lastParameter = 0; // index of the last request built
};
