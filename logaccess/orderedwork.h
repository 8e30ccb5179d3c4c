// Work in numbered chunks, done by a few pool threads at once and handed back to its
// owner's thread in chunk order, until it ends or its token cancels it.
//
//   owner thread                 pool threads (each: startThread() once, then chunks)
//   runOrdered ──────────────►   chunk 0 ─┐   chunk 1 ─┐   chunk 2 ─┐ ...
//                                         ▼            ▼            ▼
//   deliver(0), deliver(1) ... ◄── queued to the owner, held back until in order
//   finish()                      after the last chunk, unless cancelled
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QRunnable>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>

// Shared by the owner and the work: cancel() on any thread stops the work at its next
// check and drops whatever it would still deliver.
class CancelToken
{
public:
    CancelToken() : flag(std::make_shared<std::atomic<bool>>(false)) {}
    void cancel() const { flag->store(true); }
    bool isCancelled() const { return flag->load(std::memory_order_relaxed); }

private:
    std::shared_ptr<std::atomic<bool>> flag;
};

template<typename Result> struct OrderedWork {
    int chunks = 1;
    // Called once on each pool thread that takes part, before its first chunk; the
    // function it returns does one chunk on that thread, and is destroyed there after
    // its last one (so a database connection it holds is closed where it was opened).
    std::function<std::function<Result(int chunk, const CancelToken &token)>()> startThread;
    // On the owner's thread, chunk after chunk in order.
    std::function<void(int chunk, Result &result)> deliver;
    // On the owner's thread, once the last chunk has been delivered.
    std::function<void()> finish;
};

// Starts `work` on `pool` with at most `threads` threads. The owner must cancel the
// token and wait for the pool before it goes away.
template<typename Result>
CancelToken runOrdered(QThreadPool &pool, QObject *owner, OrderedWork<Result> work, int threads)
{
    struct Shared {
        OrderedWork<Result> work;
        CancelToken token;
        std::atomic<int> nextChunk{0};
        // Touched on the owner's thread only.
        std::map<int, Result> waiting;
        int nextDelivery = 0;
    };
    auto shared = std::make_shared<Shared>();
    shared->work = std::move(work);
    const CancelToken token = shared->token;
    if (shared->work.chunks <= 0) {
        QMetaObject::invokeMethod(
            owner,
            [shared] {
                if (!shared->token.isCancelled() && shared->work.finish)
                    shared->work.finish();
            },
            Qt::QueuedConnection);
        return token;
    }

    const auto deliverInOrder = [shared](int chunk, Result result) {
        if (shared->token.isCancelled())
            return;
        shared->waiting.emplace(chunk, std::move(result));
        for (auto next = shared->waiting.find(shared->nextDelivery);
             !shared->token.isCancelled() && next != shared->waiting.end();
             next = shared->waiting.find(shared->nextDelivery)) {
            Result ready = std::move(next->second);
            shared->waiting.erase(next);
            shared->work.deliver(shared->nextDelivery, ready);
            if (++shared->nextDelivery == shared->work.chunks && !shared->token.isCancelled() && shared->work.finish)
                shared->work.finish();
        }
    };
    const int count = std::max(1, std::min(threads, shared->work.chunks));
    for (int t = 0; t < count; ++t) {
        pool.start(QRunnable::create([shared, deliverInOrder, owner] {
            if (shared->token.isCancelled())
                return;
            auto runChunk = shared->work.startThread();
            for (;;) {
                const int chunk = shared->nextChunk.fetch_add(1);
                if (chunk >= shared->work.chunks || shared->token.isCancelled())
                    break;
                Result result = runChunk(chunk, shared->token);
                if (shared->token.isCancelled())
                    break;
                QMetaObject::invokeMethod(
                    owner, [deliverInOrder, chunk, result]() mutable { deliverInOrder(chunk, std::move(result)); },
                    Qt::QueuedConnection);
            }
        }));
    }
    return token;
}
