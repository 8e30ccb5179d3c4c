// A blocking call that cannot be interrupted (a host name lookup), run where its owner
// can stop waiting for it.
#pragma once

#include "link/portwake.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

// Runs `work` on a thread of its own and waits for its result until `deadline` or
// until `cancel` (may be null) is signalled. True with `*result` set when the call
// finished in time. Otherwise the call is given up: its thread goes on alone, and when
// it is done it hands its result to `discard` and ends. Where no thread can be had,
// `work` runs on the caller's, and then it cannot be given up.
template<typename Result, typename Work, typename Discard>
bool callAbandonably(Work work, Discard discard, std::chrono::steady_clock::time_point deadline, const PortWake *cancel,
                     Result *result)
{
    // Shared with the thread, which may outlive the caller.
    struct Call {
        std::mutex lock;
        std::condition_variable finished;
        bool done = false;
        bool abandoned = false;
        Result value{};
    };
    auto call = std::make_shared<Call>();
    try {
        std::thread([call, work, discard]() mutable {
            Result value = work();
            std::unique_lock<std::mutex> hold(call->lock);
            if (call->abandoned) {
                hold.unlock();
                discard(std::move(value));
                return;
            }
            call->value = std::move(value);
            call->done = true;
            call->finished.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        *result = work();
        return true;
    }
    // A wake-up cannot be waited for together with a condition variable: the cancel
    // is looked at every few milliseconds.
    constexpr auto CancelLook = std::chrono::milliseconds(10);
    std::unique_lock<std::mutex> hold(call->lock);
    while (!call->done) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || (cancel != nullptr && cancel->signalled())) {
            call->abandoned = true;
            return false;
        }
        call->finished.wait_until(hold, std::min(deadline, now + CancelLook));
    }
    *result = std::move(call->value);
    return true;
}
