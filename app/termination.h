#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into an orderly shut-down on the GUI thread.
//
// The C handler only writes the signal number to a socket pair, which is all
// that is safe inside an asynchronous signal handler; a QSocketNotifier then
// runs the shut-down (log, stop a running copy, unmount, quit) from the event
// loop. A signal that arrives before the loop runs waits in the socket and is
// handled as soon as the loop starts.
class TerminationHandler : public QObject
{
    Q_OBJECT
public:
    explicit TerminationHandler(QObject *parent = nullptr);
    ~TerminationHandler() override;

    // Creates the socket pair and the notifier and installs the handler for
    // SIGINT and SIGTERM. Returns false (after logging why) if any step fails.
    bool install();

    // The shut-down for one received signal; runs on the GUI thread.
    static void handleSignal(int signum);

private:
    void readSignals();

    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
    bool m_handling = false;
};
