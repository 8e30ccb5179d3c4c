// A store whose statements run on a thread of their own, behind the calls of a download
// on the user-interface thread: a store across a slow network (a server a VPN away)
// costs the window no pause.
#pragma once

#include "store/logstore.h"

#include <QMutex>

#include <functional>
#include <memory>

class QObject;
class QThread;

/*
 *   download (window thread)          writer thread
 *   storeRecord, commitBatch ... ───► the same calls on the store, in order
 *        ▲ the first failure                │
 *        └──── every later call ◄───────────┘ (and the failure hook, at once)
 *
 * What a download asks before it writes (the fingerprints, where it resumes) is read
 * when the queue is made, on the thread that makes it, and kept up to date with what is
 * written since: the store's device is held by this download alone (its lock), so no
 * one else changes them. A call answers at once, with the first failure of a statement
 * queued before it, if there was one; from then on nothing more is written, and the
 * download that hears of it starts again where the store's records end.
 */
class QueuedLogStore final : public LogStore
{
public:
    // Reads, on the calling thread, what a download asks first of `store`; then hands the
    // store to a thread of its own with `handOver(thread)`, called on the calling thread.
    static StoreResult<std::shared_ptr<QueuedLogStore>> open(std::shared_ptr<LogStore> store,
                                                             const std::function<void(QThread *)> &handOver);
    // The statements queued are still carried out; the store is closed on its thread
    // once they are, without waiting here (finishAll waits, at the end of the program).
    ~QueuedLogStore() override;
    QueuedLogStore(const QueuedLogStore &) = delete;
    QueuedLogStore &operator=(const QueuedLogStore &) = delete;

    // Called on the writer thread with the first failure of a queued statement (at once,
    // on the calling thread, if it has failed already): it must only post.
    void setFailureHook(std::function<void(const StoreError &)> hook);
    // Waits for every queued store of the program to be written and closed.
    static void finishAll();

    StoreResult<StoredFingerprints> readFingerprints() override;
    StoreStatus writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash) override;
    StoreStatus storeCaption(std::uint32_t eventId, const char *text) override;
    StoreResult<std::uint32_t> resumePoint(std::uint32_t first) override;
    StoreStatus storeRecord(const DeviceRecord &record) override;
    bool beginBatch() override;
    StoreStatus commitBatch() override;

private:
    struct Shared;
    QueuedLogStore() = default;
    // Queues `statement` unless a statement before it failed; that failure otherwise.
    StoreStatus queue(std::function<StoreStatus(LogStore &)> statement);

    std::shared_ptr<Shared> shared;
    QThread *thread = nullptr;
    QObject *writer = nullptr;
    StoredFingerprints fingerprints;
    bool anyRecord = false;
    std::uint32_t nextIndex = 0;
};
