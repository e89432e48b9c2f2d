#include "app/termination.h"

#include "session/shutdown.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Write end of the socket pair, read by the async-signal-safe handler only.
volatile sig_atomic_t signalWriteFd = -1;

void signalHandler(int signum)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signum);
    // Nothing useful can be done about a failed write inside a signal handler;
    // the socket is non-blocking, so a full buffer (a signal storm) just drops
    // the extra bytes while the ones already queued still end the program.
    const ssize_t written = ::write(signalWriteFd, &byte, 1);
    (void)written;
    errno = savedErrno;
}

} // namespace

TerminationHandler::TerminationHandler(QObject *parent)
    : QObject(parent)
{
}

TerminationHandler::~TerminationHandler()
{
    // The handler stays installed until the process ends (a late signal must
    // not kill the process during the final unmount), so the socket pair stays
    // open too; a late byte is simply never read.
    delete m_notifier;
}

bool TerminationHandler::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, m_fds) == -1) {
        qCritical() << "socketpair failed:" << strerror(errno);
        return false;
    }
    signalWriteFd = m_fds[0];
    m_notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationHandler::readSignals);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = signalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signum : {SIGINT, SIGTERM}) {
        if (::sigaction(signum, &action, nullptr) == -1) {
            qCritical() << "sigaction failed for signal" << signum << strerror(errno);
            return false;
        }
    }
    return true;
}

void TerminationHandler::readSignals()
{
    unsigned char buffer[64];
    int first = 0;
    while (::read(m_fds[1], buffer, sizeof buffer) > 0) {
        if (first == 0)
            first = buffer[0];
    }
    // One shut-down is enough: further signals while it runs (it may wait for
    // rsync and umount, or show an error box) are drained and ignored.
    if (first == 0 || m_handling)
        return;
    m_handling = true;
    handleSignal(first);
}

void TerminationHandler::handleSignal(int signum)
{
    qInfo() << "Received signal:" << signum;
    shutDown();
}
