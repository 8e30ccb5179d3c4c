// The event-log transfer client: request builder, reply handler, retries and deadlines.

#include "protocol/logtransfer.h"

#include "protocol/tickcount.h"

namespace {

std::uint16_t readLe16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t readLe32(const std::uint8_t *p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
        | (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void writeLe32(std::uint8_t *p, std::uint32_t value)
{
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
}

// Tick counts and indexes wrap at 2^32; their order is the sign of the difference.
std::int32_t signedDifference(std::uint32_t a, std::uint32_t b)
{
    return static_cast<std::int32_t>(a - b);
}

RequestResult callRequestBuilder(void *context, std::uint8_t *frame, std::uint8_t *length)
{
    return static_cast<LogTransfer *>(context)->buildRequest(frame, length);
}

ReplyResult callResponseHandler(void *context, const std::uint8_t *frame, std::uint8_t length)
{
    return static_cast<LogTransfer *>(context)->handleReply(frame, length);
}

// Reply lengths, CRC excluded.
constexpr std::uint8_t InfoReplyLength = 13;
constexpr std::uint8_t CaptionReplyMinLength = 10;
constexpr std::uint8_t RangeReplyLength = 11;
constexpr std::uint8_t ShortRecordReplyLength = 8;
constexpr std::uint8_t RecordReplyMinLength = 17;

} // namespace

ModbusFunctionHandler LogTransfer::functionHandler()
{
    return ModbusFunctionHandler{LogFunctionCode, callResponseHandler, callRequestBuilder, this};
}

void LogTransfer::stop()
{
    positionsLeft = 0;
    currentState = ReadInfo;
    pending = PendingNone;
}

void LogTransfer::startClear()
{
    // `replyDeadline` is left as it is: while it lies ahead, the last request's reply may
    // still come, and the clear waits for it (buildRequest) or for the deadline.
    positionsLeft = 0;
    currentState = ClearLog;
    if (pending != PendingClear)
        pending = PendingNone;
    // A deadline further ahead than any request sets is not one of ours (a transfer
    // that never sent anything): nothing is on the line then.
    const std::uint32_t now = tickCount();
    const std::int32_t ahead = signedDifference(replyDeadline, now);
    if (ahead > std::int32_t(replyTimeout > ClearTimeoutMs ? replyTimeout : ClearTimeoutMs))
        replyDeadline = now;
}

void LogTransfer::repoll()
{
    if (currentState == Idle)
        currentState = ReadRange;
}

RequestResult LogTransfer::buildRequest(std::uint8_t *frame, std::uint8_t *length)
{
    const std::uint32_t now = tickCount();
    // A clear waits until the line is free of the request it cut short: its reply
    // has come (which moves the deadline to now) or its reply time is over.
    if (currentState == ClearLog && pending != PendingClear && signedDifference(replyDeadline, now) > 0)
        return RequestWaiting;
    if (pending != PendingNone) {
        if (signedDifference(replyDeadline, now) > 0)
            return RequestWaiting;
        // Also when no attempt is left at all, so that a caller that goes on after
        // RequestNoReply hears it again rather than 255 more resends.
        if (attemptsRemaining <= 1) {
            attemptsRemaining = 0;
            return RequestNoReply;
        }
        --attemptsRemaining;
    }

    // Resting writes nothing and changes nothing: the master asks twice on such a tick.
    if (currentState == Idle)
        return RequestNone;

    frame[1] = LogFunctionCode;
    std::uint32_t parameter = 0;
    switch (currentState) {
    case ReadInfo:
        frame[2] = InfoFunction;
        *length = 3;
        break;
    case ReadCaptions:
        frame[2] = CaptionFunction;
        frame[3] = static_cast<std::uint8_t>(nextIndex);
        frame[4] = static_cast<std::uint8_t>(nextIndex >> 8);
        *length = 5;
        parameter = nextIndex;
        break;
    case ReadRange:
        frame[2] = RangeFunction;
        *length = 3;
        break;
    case ReadRecords:
        frame[2] = RecordFunction;
        writeLe32(frame + 3, nextIndex);
        *length = 7;
        parameter = nextIndex;
        break;
    case ClearLog:
        frame[2] = ClearFunction;
        writeLe32(frame + 3, ClearConfirmation);
        *length = 7;
        replyDeadline = now + ClearTimeoutMs;
        // An outstanding clear keeps its count: later ticks resend, never restart it.
        if (pending != PendingClear) {
            pending = PendingClear;
            attemptsRemaining = ClearAttempts;
        }
        return RequestSent;
    default:
        // Idle, or a value outside the six states written by a careless caller.
        return RequestNone;
    }

    replyDeadline = now + replyTimeout;
    const std::uint8_t kind = frame[2];
    if (pending != kind || lastParameter != parameter) {
        lastParameter = parameter;
        pending = kind;
        attemptsRemaining = requestAttempts;
    }
    return RequestSent;
}

ReplyResult LogTransfer::handleReply(const std::uint8_t *frame, std::uint8_t length)
{
    // A reply that does not answer the outstanding request still ends its wait: the
    // request goes out again on the next tick, as one more attempt.
    replyDeadline = tickCount();

    if (frame[1] & ExceptionFlag) {
        // Without its code byte the frame is no exception reply to act on.
        if (length < 3)
            return ReplyUnexpected;
        return exceptionResult(frame[2]);
    }
    if (length < 3)
        return ReplyUnexpected;

    const std::uint8_t subFunction = frame[2];
    switch (currentState) {
    case ReadInfo: {
        if (length != InfoReplyLength)
            return ReplyUnexpected;
        if (subFunction != InfoFunction)
            return ReplyAccepted;
        const std::uint16_t captionCount = readLe16(frame + 3);
        pending = PendingNone;
        currentState = ReadRange;
        positionsLeft = captionCount;
        deviceIdHash = readLe32(frame + 5);
        deviceCaptionHash = readLe32(frame + 9);
        const bool wantCaptions = callbacks.logInfo
            && callbacks.logInfo(callbacks.context, captionCount, deviceIdHash, deviceCaptionHash);
        if (currentState != ReadRange)
            return ReplyAccepted; // stopped from inside the callback
        if (wantCaptions && captionCount != 0) {
            currentState = ReadCaptions;
            nextIndex = 0;
        }
        return ReplyAccepted;
    }
    case ReadCaptions: {
        if (length < CaptionReplyMinLength)
            return ReplyUnexpected;
        const std::uint16_t position = readLe16(frame + 3);
        if (subFunction != CaptionFunction || position != static_cast<std::uint16_t>(nextIndex)
            || frame[length - 1] != 0)
            return ReplyAccepted;
        pending = PendingNone;
        if (callbacks.caption) {
            callbacks.caption(callbacks.context, position, readLe32(frame + 5),
                              reinterpret_cast<const char *>(frame + 9));
            if (currentState != ReadCaptions)
                return ReplyAccepted; // stopped from inside the callback
        }
        ++nextIndex;
        if (positionsLeft != 0)
            --positionsLeft;
        if (positionsLeft == 0)
            currentState = ReadRange;
        return ReplyAccepted;
    }
    case ReadRange: {
        if (length != RangeReplyLength)
            return ReplyUnexpected;
        if (subFunction != RangeFunction)
            return ReplyAccepted;
        pending = PendingNone;
        rangeFirst = readLe32(frame + 3);
        const std::uint32_t span = readLe32(frame + 7);
        const std::uint32_t end = rangeFirst + span;
        std::uint32_t start = rangeFirst;
        if (callbacks.range) {
            start = callbacks.range(callbacks.context, rangeFirst, span);
            if (currentState != ReadRange)
                return ReplyAccepted; // stopped from inside the callback
        }
        if (signedDifference(start, rangeFirst) < 0) {
            start = rangeFirst;
        } else if (signedDifference(start, end) > 0) {
            nextIndex = end;
            positionsLeft = 0;
            currentState = Idle;
            return ReplyAccepted;
        }
        nextIndex = start;
        positionsLeft = end - start;
        currentState = positionsLeft != 0 ? ReadRecords : Idle;
        return ReplyAccepted;
    }
    case ReadRecords: {
        if (length == ShortRecordReplyLength) {
            if (subFunction != RecordFunction)
                return ReplyUnexpected;
            pending = PendingNone;
            if (frame[7] == IndexNotInLog) {
                currentState = ReadRange;
                return ReplyAccepted;
            }
            // The position holds no record: step over it.
            ++nextIndex;
            if (positionsLeft != 0)
                --positionsLeft;
            if (positionsLeft == 0)
                currentState = Idle;
            return ReplyAccepted;
        }
        if (length < RecordReplyMinLength || subFunction != RecordFunction)
            return ReplyUnexpected;
        if (readLe32(frame + 3) != nextIndex)
            return ReplyAccepted;
        pending = PendingNone;
        // A record occupies at least its own position. Taking a count of 0 literally
        // would ask for the same index forever and store its record again each time.
        const std::uint8_t count = frame[12] != 0 ? frame[12] : 1;
        if (callbacks.record) {
            callbacks.record(callbacks.context, nextIndex, count, frame[7], readLe32(frame + 8), readLe32(frame + 13),
                             frame + 17, std::size_t(length - RecordReplyMinLength));
            if (currentState != ReadRecords)
                return ReplyAccepted; // stopped from inside the callback
        }
        nextIndex += count;
        positionsLeft = count > positionsLeft ? 0 : positionsLeft - count;
        if (positionsLeft == 0)
            currentState = Idle;
        return ReplyAccepted;
    }
    case Idle:
        return ReplyAccepted;
    case ClearLog:
        // Only the answer to the clear request itself: the late reply to a request
        // the clear cut short must not pass for it, or the clear would never be sent.
        if (pending != PendingClear || subFunction != ClearFunction)
            return ReplyUnexpected;
        positionsLeft = 0;
        currentState = ReadInfo;
        pending = PendingNone;
        return ReplyAccepted;
    }
    return ReplyAccepted;
}
