#pragma once

#include "platform/descriptor.h"
#include "sync/rsynclines.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <sys/types.h>

// Runs rsync as a child process that copies the contents of one directory into
// another, or the files named on a list, and reports the copy through its
// signals. Only one copy runs at a
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

    // Copies `source` into `destination` with "-av", and `driveOptions` after
    // it for a drive whose file system
    // cannot hold all that "-a" asks for (owners, modes, links, exact times),
    // and, when `fileList` is valid, for the files named on it, relative to
    // `source` and NUL-separated: it becomes rsync's standard input
    // ("--from0 --files-from=-"). Whoever writes the other end does so while
    // rsync reads, so no list is ever held whole in memory.
    bool startSync(const QString &source, const QString &destination, const QStringList &driveOptions,
                   Descriptor fileList);
    void stopSync();
    // Waits at most `timeoutMs` for a child that stopSync() had to kill, so
    // that its end (and its helpers') is taken in before the drive is let go.
    void waitForEnd(int timeoutMs);
    bool isSyncing() const { return m_isSyncing; }

    // What rsync wrote to standard error during the current (or last) copy:
    // every line is logged; the number of lines, the first few of them and
    // the files it reported as vanished are kept.
    int errorCount() const { return m_errorCount; }
    QStringList firstErrors() const { return m_firstErrors; }
    int vanishedCount() const { return m_vanishedCount; }

    // How often rsync's standard output is read while a copy runs.
    static constexpr int kOutputIntervalMs = 50;
    // How many error lines are kept in memory for the report.
    static constexpr int kKeptErrors = 10;

signals:
    void syncStarted();
    // Everything rsync wrote to standard output since the last emission, at
    // most once every kOutputIntervalMs.
    void syncOutput(const QByteArray &batch);
    // rsync is done; what it wrote is being written out to the drive.
    void flushStarted();
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
    void handleErrorLine(const QString &line);
    // Takes a piece of standard error that never got its line end as a line.
    void flushErrorTail();
    // True when everything rsync reported on standard error was a file that
    // vanished before it could be sent ("file has vanished", exit code 24).
    bool onlyVanished() const { return m_errorCount > 0 && m_errorCount == m_vanishedLines; }
    void closeOutputPipe();

    std::unique_ptr<QProcess> m_process;
    bool m_isSyncing = false;
    // Set while the child is "sync -f" on the destination rather than rsync.
    bool m_flushing = false;
    QString m_destination;
    // The child runs as the leader of its own process group; its id, or 0.
    pid_t m_processGroup = 0;
    // Read end of the pipe that holds rsync's standard output. rsync writes
    // to it without waking the GUI thread; m_outputTimer reads it.
    Descriptor m_output;
    QTimer m_outputTimer;
    // Standard error in lines, as standard output; a line that never ends
    // is taken as it is when the copy has ended.
    RsyncLines m_errorLines{4096};
    // Output beyond 4096 bytes without a line end is not kept for the log.
    RsyncLines m_outputLines{4096};
    int m_errorCount = 0;
    int m_vanishedCount = 0;
    int m_vanishedLines = 0;
    QStringList m_firstErrors;
    // Set by stopSync() until the next start: a copy that ends during or
    // after a stop request (successfully, or with vanished files) is not
    // flushed and is reported as stopped, and what rsync says about the
    // signal is no error to report.
    bool m_stopRequested = false;
};
