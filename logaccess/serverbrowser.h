// The errands of the window to servers, run off its thread: the devices a server has,
// and a device's log opened for the view.
#pragma once

#include "logaccess/orderedwork.h"
#include "logaccess/serverlogsource.h"
#include "serverstore/serverlogstore.h"

#include <QObject>
#include <QThreadPool>

#include <functional>

/*
 * Each errand runs on a pool thread of this object's and its answer comes back on this
 * object's thread, to a `context` object: dropped when the context has gone, or when
 * the same errand was asked again (or cancelled) since. Nothing waits for a server
 * here; one that does not answer keeps a pool thread until libpq gives up on it (the
 * URL's connect_timeout, 10 seconds unless given), and the destructor waits for that.
 */
using ServerStoreOpening = StoreResult<std::shared_ptr<ServerLogStore>>;

class ServerBrowser : public QObject
{
    Q_OBJECT

public:
    explicit ServerBrowser(QObject *parent = nullptr);
    ~ServerBrowser() override;

    void listDevices(const ServerUrl &url, QObject *context, std::function<void(const ServerDeviceList &)> done);
    void cancelListing();
    // The source, when `done` gets one, reads on this object's thread.
    void openDevice(const ServerUrl &url, const QString &device, QObject *context,
                    std::function<void(const ServerSourceOpening &)> done);
    void cancelOpening();
    // A store for a download into `device`, opened with `settings` (its lock taken);
    // when `done` gets one, it is used on this object's thread.
    void openStore(const ServerUrl &url, const QString &device, const ServerStoreSettings &settings, QObject *context,
                   std::function<void(const ServerStoreOpening &)> done);
    void cancelStoreOpening();

private:
    QThreadPool pool;
    CancelToken listing;
    CancelToken opening;
    CancelToken storeOpening;
};
