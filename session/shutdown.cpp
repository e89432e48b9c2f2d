#include "session/shutdown.h"

#include "device/devicemanager.h"
#include "sync/syncmanager.h"

#include <QCoreApplication>

namespace {

bool quitWasRequested = false;

} // namespace

void shutDown()
{
    if (SyncManager::instance().isSyncing())
        SyncManager::instance().stopSync();
    DeviceManager::instance().unmountDevice();
    requestQuit();
}

void requestQuit()
{
    quitWasRequested = true;
    // After the loop has ended (the last caller of shutDown()) there is no
    // loop left to end, and the queued request is simply never delivered.
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
}

bool quitRequested()
{
    return quitWasRequested;
}
