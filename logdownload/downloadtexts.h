// The words a download's front ends show: why a download ended, and the one question
// a download asks. Each text is written here once, for the window and the command
// line alike.
#pragma once

#include "protocol/modbusmaster.h"
#include "store/storeerror.h"

#include <QString>

#include <cstdint>

// Why a download ended by itself.
enum class FailureKind : std::uint8_t {
    NoReply,         // a request went out the allowed number of times, unanswered
    DeviceException, // the device answered with an exception that has a message
    StoreFailed,     // a statement of the store failed
};

struct DownloadFailure {
    FailureKind kind = FailureKind::NoReply;
    ReplyResult exception = ReplyAccepted; // DeviceException: the exception reply
    StoreError store;                      // StoreFailed: the store's own error
};

// What the user is told: "Устройство не отвечает", the exception's text, or the store's.
QString failureText(const DownloadFailure &failure);

// The configuration question: the device's event set differs from the log's.
QString configurationQuestionTitle();
QString configurationQuestionText(); // two lines: the difference, then the question
