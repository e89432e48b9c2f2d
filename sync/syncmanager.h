#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>
#include <sys/types.h>

// Runs rsync as a child process that copies the contents of one directory into
// another, and reports the copy through four signals. Only one copy runs at a
// time. A copy that rsync finishes successfully is reported as such only after
// the destination's file system has been flushed ("sync -f"), so that a drive
// pulled after the success message holds everything.
class SyncManager : public QObject
{
    Q_OBJECT
public:
    static SyncManager &instance()
    {
        static SyncManager manager(nullptr);
        return manager;
    }
    ~SyncManager() override;

    bool startSync(const QString &source, const QString &destination);
    void stopSync();
    bool isSyncing() const { return m_isSyncing; }

    // Hands one decoded chunk of rsync's standard output to the progress
    // parser; emits syncProgress and returns true when it held a percentage.
    bool parseRsyncProgress(const QString &output);

signals:
    void syncStarted();
    void syncProgress(int percentage);
    void syncFinished(bool success);
    void syncError(const QString &message);

private slots:
    void handleRsyncOutput();
    void handleRsyncError();

private:
    explicit SyncManager(QObject *parent);
    Q_DISABLE_COPY(SyncManager)

    void handleSyncFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void startFlush();
    void handleFlushFinished(int exitCode, QProcess::ExitStatus exitStatus);
    // Waits (bounded) until no process of the child's group is left, killing
    // what remains after the wait.
    void waitForHelpers();

    std::unique_ptr<QProcess> m_process;
    bool m_isSyncing = false;
    // Set while the child is "sync -f" on the destination rather than rsync.
    bool m_flushing = false;
    // Set while stopSync waits: a copy that ends successfully during a stop
    // request is not flushed and is reported as stopped.
    bool m_stopping = false;
    QString m_destination;
    // The child runs as the leader of its own process group; its id, or 0.
    pid_t m_processGroup = 0;
};
