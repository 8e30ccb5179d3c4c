// A store written on a thread of its own.

#include "store/queuedlogstore.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QObject>
#include <QThread>

#include <optional>
#include <vector>

// What the calling thread and the writer thread share.
struct QueuedLogStore::Shared {
    QMutex lock;
    std::optional<StoreError> failure;
    std::function<void(const StoreError &)> hook;
    std::shared_ptr<LogStore> store; // touched on the writer thread only, once handed over
};

namespace {

// The writer threads of queues let go of, until they have written what was queued.
QMutex drainingLock;
std::vector<QThread *> draining;

// Deletes the writer threads that are done; all of them, waiting, with `wait`.
void reap(bool wait)
{
    QMutexLocker locked(&drainingLock);
    for (auto thread = draining.begin(); thread != draining.end();) {
        if (wait)
            (*thread)->wait();
        if ((*thread)->isFinished()) {
            delete *thread;
            thread = draining.erase(thread);
        } else {
            ++thread;
        }
    }
}

} // namespace

StoreResult<std::shared_ptr<QueuedLogStore>> QueuedLogStore::open(std::shared_ptr<LogStore> store,
                                                                  const std::function<void(QThread *)> &handOver)
{
    reap(false);
    std::shared_ptr<QueuedLogStore> queued(new QueuedLogStore);
    const StoreResult<StoredFingerprints> known = store->readFingerprints();
    if (!known)
        return Failure(known.error());
    queued->fingerprints = *known;
    // A store answers its first index for an empty log: asked with two different ones, it
    // gives the same answer only when it holds a record.
    const StoreResult<std::uint32_t> resume = store->resumePoint(0);
    if (!resume)
        return Failure(resume.error());
    const StoreResult<std::uint32_t> again = store->resumePoint(1);
    if (!again)
        return Failure(again.error());
    queued->anyRecord = *resume == *again;
    queued->nextIndex = *resume;

    queued->shared = std::make_shared<Shared>();
    queued->shared->store = std::move(store);
    queued->thread = new QThread;
    queued->thread->setObjectName(QStringLiteral("khronar-store-writer"));
    queued->writer = new QObject;
    queued->writer->moveToThread(queued->thread);
    handOver(queued->thread);
    queued->thread->start();
    return queued;
}

QueuedLogStore::~QueuedLogStore()
{
    if (thread == nullptr)
        return;
    const std::shared_ptr<Shared> leaving = shared;
    QObject *done = writer;
    QMetaObject::invokeMethod(
        writer,
        [leaving, done] {
            // The store closes here, on the thread its connection belongs to.
            leaving->store.reset();
            done->deleteLater();
            QThread::currentThread()->quit();
        },
        Qt::QueuedConnection);
    QMutexLocker locked(&drainingLock);
    draining.push_back(thread);
}

void QueuedLogStore::finishAll()
{
    reap(true);
}

void QueuedLogStore::setFailureHook(std::function<void(const StoreError &)> hook)
{
    QMutexLocker locked(&shared->lock);
    shared->hook = std::move(hook);
    if (shared->failure && shared->hook)
        shared->hook(*shared->failure);
}

StoreStatus QueuedLogStore::queue(std::function<StoreStatus(LogStore &)> statement)
{
    {
        QMutexLocker locked(&shared->lock);
        if (shared->failure)
            return Failure(*shared->failure);
    }
    const std::shared_ptr<Shared> writing = shared;
    QMetaObject::invokeMethod(
        writer,
        [writing, statement] {
            {
                QMutexLocker locked(&writing->lock);
                if (writing->failure)
                    return;
            }
            const StoreStatus done = statement(*writing->store);
            if (done)
                return;
            QMutexLocker locked(&writing->lock);
            writing->failure = done.error();
            if (writing->hook)
                writing->hook(done.error());
        },
        Qt::QueuedConnection);
    return {};
}

StoreResult<StoredFingerprints> QueuedLogStore::readFingerprints()
{
    QMutexLocker locked(&shared->lock);
    if (shared->failure)
        return Failure(*shared->failure);
    return fingerprints;
}

StoreStatus QueuedLogStore::writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash)
{
    const StoreStatus queued = queue(
        [idHash, captionHash](LogStore &store) { return store.writeFingerprints(idHash, captionHash); });
    if (queued) {
        fingerprints.known = true;
        fingerprints.idHash = idHash;
        fingerprints.captionHash = captionHash;
    }
    return queued;
}

StoreStatus QueuedLogStore::storeCaption(std::uint32_t eventId, const char *text)
{
    // The text is the device's, in a buffer that is reused once this returns.
    const QByteArray copy(text);
    return queue([eventId, copy](LogStore &store) { return store.storeCaption(eventId, copy.constData()); });
}

StoreResult<std::uint32_t> QueuedLogStore::resumePoint(std::uint32_t first)
{
    QMutexLocker locked(&shared->lock);
    if (shared->failure)
        return Failure(*shared->failure);
    return anyRecord ? nextIndex : first;
}

StoreStatus QueuedLogStore::storeRecord(const DeviceRecord &record)
{
    const StoreStatus queued = queue([record](LogStore &store) { return store.storeRecord(record); });
    if (queued) {
        // As the store itself answers: after the newest record by arrival.
        anyRecord = true;
        nextIndex = std::uint32_t(record.index + record.count);
    }
    return queued;
}

bool QueuedLogStore::beginBatch()
{
    // A batch the store cannot open leaves its statements to commit alone, which is as
    // sound: nothing to tell the download.
    return queue([](LogStore &store) {
               store.beginBatch();
               return StoreStatus();
           })
        .ok();
}

StoreStatus QueuedLogStore::commitBatch()
{
    return queue([](LogStore &store) { return store.commitBatch(); });
}
