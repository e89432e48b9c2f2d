#include "session/shutdown.h"

#include <QCoreApplication>
#include <QPointer>

namespace {

bool quitWasRequested = false;

struct Registered
{
    QPointer<QObject> owner;
    std::function<void(bool)> end;
};

Registered &registered()
{
    static Registered session;
    return session;
}

} // namespace

void registerShutdown(QObject *owner, std::function<void(bool quietly)> end)
{
    registered() = Registered{owner, std::move(end)};
}

void unregisterShutdown(QObject *owner)
{
    if (registered().owner == owner)
        registered() = Registered();
}

void shutDown(bool quietly)
{
    // A copy of the handler: the session may go while it ends.
    const Registered session = registered();
    if (session.owner && session.end)
        session.end(quietly);
    else
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
