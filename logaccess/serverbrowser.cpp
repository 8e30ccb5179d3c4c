// Errands to servers on pool threads.

#include "logaccess/serverbrowser.h"

#include <QPointer>
#include <QThread>

namespace {

// Runs `errand` once on a thread of `pool`; `done` gets its answer on `owner`'s thread
// while `context` lives and `token` has not been cancelled.
template<typename Answer>
CancelToken runErrand(QThreadPool &pool, QObject *owner, QObject *context, std::function<Answer()> errand,
                      std::function<void(const Answer &)> done)
{
    OrderedWork<Answer> work;
    work.chunks = 1;
    work.startThread = [errand] { return [errand](int, const CancelToken &) { return errand(); }; };
    work.deliver = [guard = QPointer<QObject>(context), done](int, Answer &answer) {
        if (guard)
            done(answer);
    };
    return runOrdered(pool, owner, std::move(work), 1);
}

} // namespace

ServerBrowser::ServerBrowser(QObject *parent) : QObject(parent)
{
    // A listing and an open, and the ones a user asked for meanwhile, left to end.
    pool.setMaxThreadCount(4);
}

ServerBrowser::~ServerBrowser()
{
    listing.cancel();
    opening.cancel();
    storeOpening.cancel();
    pool.waitForDone();
}

void ServerBrowser::listDevices(const ServerUrl &url, QObject *context,
                                std::function<void(const ServerDeviceList &)> done)
{
    listing.cancel();
    listing = runErrand<ServerDeviceList>(
        pool, this, context, [url] { return listServerDevicesAt(url); }, std::move(done));
}

void ServerBrowser::cancelListing()
{
    listing.cancel();
}

void ServerBrowser::openDevice(const ServerUrl &url, const QString &device, QObject *context,
                               std::function<void(const ServerSourceOpening &)> done)
{
    opening.cancel();
    QThread *viewThread = thread();
    opening = runErrand<ServerSourceOpening>(
        pool, this, context, [url, device, viewThread] { return openServerLogSource(url, device, viewThread); },
        std::move(done));
}

void ServerBrowser::cancelOpening()
{
    opening.cancel();
}

void ServerBrowser::openStore(const ServerUrl &url, const QString &device, const ServerStoreSettings &settings,
                              QObject *context, std::function<void(const ServerStoreOpening &)> done)
{
    storeOpening.cancel();
    QThread *downloadThread = thread();
    storeOpening = runErrand<ServerStoreOpening>(
        pool, this, context,
        [url, device, settings, downloadThread] {
            auto store = std::make_shared<ServerLogStore>();
            const StoreStatus opened = store->open(url, device, settings);
            if (!opened)
                return ServerStoreOpening(Failure(opened.error()));
            store->moveToThread(downloadThread);
            return ServerStoreOpening(std::move(store));
        },
        std::move(done));
}

void ServerBrowser::cancelStoreOpening()
{
    storeOpening.cancel();
}
