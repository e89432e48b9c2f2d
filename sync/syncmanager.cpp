#include "sync/syncmanager.h"

#include "config/settings.h"
#include "platform/command.h"
#include "platform/descriptor.h"
#include "platform/fileutil.h"
#include "platform/priority.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kStartTimeoutMs = 3000;
constexpr int kStopTimeoutMs = 5000;

// rsync forks a generator and a receiver that keep files open on the drive for
// a moment after the main process has gone; the drive cannot be unmounted
// until they end too. Started as the leader of a process group of its own,
// the whole copy can be waited for and killed as one. (Qt 5 offers no other
// hook into the child between fork and exec than this override.)
//
// rsync's standard output goes to a pipe of the engine's own rather than to
// QProcess's, whose notifier would wake the GUI thread for every chunk (one
// per progress report, thousands a second on small files); the engine reads
// that pipe on a timer instead.
//
// The export must never hold up the recording on the same disk: the child (rsync
// and later the flush) runs at nice 10 and in the lowest level of the
// best-effort I/O class. Both are set in the child alone, with plain system
// calls that are safe between fork and exec; the tool itself keeps its own
// priorities, so the window stays responsive.
class RsyncProcess : public QProcess
{
public:
    // Write end of the output pipe for the next child, or -1.
    int outputFd = -1;
    // The list of files to copy, read end, for the next child, or -1.
    int inputFd = -1;

protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        Priority::lowerToBackground();
        if (outputFd >= 0)
            ::dup2(outputFd, STDOUT_FILENO);
        if (inputFd >= 0)
            ::dup2(inputFd, STDIN_FILENO);
    }
};

// Output beyond this much without a line end is not kept for the log.
constexpr int kMaxPendingLine = 4096;
// Lines of rsync's output other than progress reports logged for one batch.
constexpr int kLoggedLinesPerBatch = 10;

// The white space QByteArray::trimmed() removes.
bool isSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// True once no process of the group is left, within `timeoutMs`.
bool waitForGroup(pid_t group, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (::kill(-group, 0) == 0 || errno != ESRCH) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

SyncManager::SyncManager(QObject *parent)
    : QObject(parent)
{
    m_process = std::make_unique<RsyncProcess>();
    // QProcess keeps no pipe for standard output; the child's goes to ours.
    m_process->setStandardOutputFile(QProcess::nullDevice());
    connect(m_process.get(), &QProcess::readyReadStandardError, this, &SyncManager::handleRsyncError);
    m_outputTimer.setInterval(kOutputIntervalMs);
    connect(&m_outputTimer, &QTimer::timeout, this, &SyncManager::handleRsyncOutput);
    connect(m_process.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
            this, &SyncManager::handleSyncFinished);
}

SyncManager::~SyncManager()
{
    closeOutputPipe();
}

bool SyncManager::startSync(const QString &source, const QString &destination, const QStringList &driveOptions,
                            Descriptor fileList)
{
    if (m_isSyncing) {
        qWarning() << "正在同步中";
        emit syncError(tr("正在同步中"));
        return false;
    }
    if (!QDir(source).exists()) {
        qCritical() << "源目录不存在：" << source;
        emit syncError(tr("源目录不存在"));
        return false;
    }

    // A child killed by stopSync is reaped only when the event loop delivers
    // its end. Until then QProcess refuses a new start yet reports the old
    // child as started, whose end would then close the new copy; so the old
    // end is taken in (and reported) first.
    if (m_process->state() != QProcess::NotRunning && !m_process->waitForFinished(kStopTimeoutMs)) {
        qCritical() << "启动同步进程失败：" << "上一个同步进程仍未结束";
        emit syncError(tr("启动同步进程失败"));
        return false;
    }

    QStringList arguments = QStringList{QStringLiteral("-av")} + driveOptions
            + QStringList{QStringLiteral("--progress"), QLatin1String(kExcludeHidden)};
    if (fileList.isValid())
        arguments << QStringLiteral("--from0") << QStringLiteral("--files-from=-");
    arguments << source + QLatin1Char('/') << destination;
    qInfo() << "开始同步，执行命令：" << Settings::rsyncPathValue() << arguments.join(QLatin1Char(' '));

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) == -1) {
        qCritical() << "启动同步进程失败：" << strerror(errno);
        emit syncError(tr("启动同步进程失败"));
        return false;
    }
    Descriptor outputRead(pipeFds[0]);
    const Descriptor outputWrite(pipeFds[1]);
    // Room for about a second of reports on small files, so that rsync does
    // not wait on the reader between two reads.
    ::fcntl(outputWrite.get(), F_SETPIPE_SZ, 1 << 20);
    ::fcntl(outputRead.get(), F_SETFL, O_NONBLOCK);

    m_destination = destination;
    m_errorLines.clear();
    m_outputLines.clear();
    m_errorCount = 0;
    m_vanishedCount = 0;
    m_vanishedLines = 0;
    m_firstErrors.clear();
    m_stopRequested = false;
    auto *rsync = static_cast<RsyncProcess *>(m_process.get());
    rsync->outputFd = outputWrite.get();
    rsync->inputFd = fileList.get();
    m_process->start(Settings::rsyncPathValue(), arguments, QIODevice::ReadWrite);
    const bool started = m_process->waitForStarted(kStartTimeoutMs);
    rsync->outputFd = -1;
    rsync->inputFd = -1;
    // The child has its own copies of the pipe's write end and of the list.
    m_output = std::move(outputRead);
    if (!started) {
        closeOutputPipe();
        qCritical() << "启动同步进程失败：" << m_process->errorString();
        emit syncError(tr("启动同步进程失败"));
        return false;
    }
    m_outputTimer.start();
    m_processGroup = static_cast<pid_t>(m_process->processId());
    m_isSyncing = true;
    emit syncStarted();
    return true;
}

void SyncManager::stopSync()
{
    if (!m_isSyncing)
        return;
    qInfo() << "正在停止同步进程";
    m_stopRequested = true;
    m_process->terminate();
    // An end within the wait is handled inside it, helpers included.
    if (!m_process->waitForFinished(kStopTimeoutMs)) {
        qWarning() << "同步进程未能正常终止，强制结束进程";
        // The whole group at once; the main process is reaped, and its
        // helpers waited for, when its end arrives from the event loop.
        if (m_processGroup > 0)
            ::kill(-m_processGroup, SIGKILL);
        else
            m_process->kill();
    }
    m_isSyncing = false;
}

void SyncManager::waitForEnd(int timeoutMs)
{
    if (m_process->state() != QProcess::NotRunning)
        m_process->waitForFinished(timeoutMs);
}

void SyncManager::handleSyncFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    waitForHelpers();
    if (m_flushing) {
        handleFlushFinished(exitCode, exitStatus);
        return;
    }
    // rsync and its helpers are gone: what they wrote is all there is.
    handleRsyncOutput();
    closeOutputPipe();
    handleRsyncError();
    flushErrorTail();
    if (exitStatus == QProcess::CrashExit) {
        m_isSyncing = false;
        qCritical() << "同步进程崩溃";
        emit syncFinished(false);
        return;
    }
    // Exit code 24 with nothing but vanished files reported: the recorder
    // deleted recordings (its rotation of the oldest ones) while they were
    // listed; everything that still exists was copied. Standard error of
    // rsync 3.5.0 (protocol 32, Debian 12), as in tests/data/rsync/:
    //   "file has vanished: \"/media/zozadoz/record/record/ch01/0800.mp4\""
    //   "rsync warning: some files vanished before they could be transferred (code 24) at main.c(1338) [sender=3.5.0]"
    // A stop that had to kill the copy is over before its end arrives here;
    // that end is still the end of a stopped copy.
    if (exitCode == 24 && onlyVanished() && !m_stopRequested) {
        qWarning() << "复制期间源文件被删除，数量：" << m_vanishedCount;
    } else if (exitCode != 0) {
        m_isSyncing = false;
        qCritical() << "同步进程失败，退出代码：" << exitCode;
        emit syncFinished(false);
        return;
    }
    if (m_stopRequested) {
        // rsync got to the end just as it was asked to stop; the caller is
        // about to unmount, which writes the data out, so no flush is started
        // that would keep the drive busy.
        m_isSyncing = false;
        qWarning() << "同步在停止请求时结束，未刷新U盘缓存";
        emit syncFinished(false);
        return;
    }
    startFlush();
}

void SyncManager::startFlush()
{
    // rsync's writes may still sit in the page cache; "sync -f" writes out the
    // whole file system that holds the destination and reports write errors.
    // It runs as the same asynchronous child, so the window keeps painting and
    // the stop button still works.
    qInfo() << "正在写入U盘缓存:" << m_destination;
    m_flushing = true;
    emit flushStarted();
    m_process->start(QStringLiteral("sync"), {QStringLiteral("-f"), m_destination}, QIODevice::ReadWrite);
    if (m_process->waitForStarted(kStartTimeoutMs)) {
        m_processGroup = static_cast<pid_t>(m_process->processId());
    } else {
        m_flushing = false;
        m_isSyncing = false;
        qCritical() << "写入U盘缓存失败：" << m_process->errorString();
        emit syncFinished(false);
    }
}

void SyncManager::waitForHelpers()
{
    // After a normal end rsync has already waited for its helpers; after a
    // crash, a kill from outside or an exit on SIGTERM they may still be
    // writing to the drive and keep it busy for a moment.
    const pid_t group = std::exchange(m_processGroup, 0);
    if (group <= 0 || waitForGroup(group, kStopTimeoutMs))
        return;
    ::kill(-group, SIGKILL);
    waitForGroup(group, kStopTimeoutMs);
}

void SyncManager::handleFlushFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_flushing = false;
    m_isSyncing = false;
    if (Command::exitedCleanly(exitCode, exitStatus)) {
        qInfo() << "同步成功完成";
        emit syncFinished(true);
        return;
    }
    if (exitStatus == QProcess::CrashExit)
        qCritical() << "同步进程崩溃";
    else
        qCritical() << "写入U盘缓存失败，退出代码：" << exitCode;
    emit syncFinished(false);
}

void SyncManager::closeOutputPipe()
{
    m_outputTimer.stop();
    m_output.reset();
}

void SyncManager::handleRsyncError()
{
    // Every line goes to the log, however many there are; the user sees them
    // once, in one report when the copy has ended, never a box per line.
    const QByteArray chunk = m_process->readAllStandardError();
    m_errorLines.feed(chunk.constData(), int(chunk.size()), [this](const char *line, int length, bool tooLong, char) {
        handleErrorLine(tooLong ? QStringLiteral("(an error line of over %1 bytes)").arg(kMaxPendingLine)
                                : QString::fromUtf8(line, length).trimmed());
    });
}

void SyncManager::flushErrorTail()
{
    handleErrorLine(QString::fromUtf8(m_errorLines.takeTail()).trimmed());
}

void SyncManager::handleErrorLine(const QString &line)
{
    if (line.isEmpty())
        return;
    qWarning() << "Rsync错误：" << line;
    // Once a stop was asked for, rsync reports the signal it was sent; that is
    // no news for the user.
    if (m_stopRequested)
        return;
    ++m_errorCount;
    if (m_firstErrors.size() < kKeptErrors)
        m_firstErrors.append(line);
    if (line.startsWith(QLatin1String("file has vanished: "))) {
        ++m_vanishedCount;
        ++m_vanishedLines;
    } else if (line.startsWith(QLatin1String("rsync warning: some files vanished before they could be transferred (code 24)"))) {
        ++m_vanishedLines;
    }
}

void SyncManager::handleRsyncOutput()
{
    if (!m_output.isValid())
        return;
    QByteArray batch;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_output.get(), buffer, sizeof buffer);
        if (n > 0) {
            batch.append(buffer, int(n));
            continue;
        }
        if (n == -1 && errno == EINTR)
            continue;
        break; // drained (EAGAIN), or every writer is gone (0)
    }
    if (batch.isEmpty())
        return;
    emit syncOutput(batch);

    // The progress reports are the export's progress model's (syncOutput); of
    // what is not a report (file names, rsync's summary) the first few lines
    // go to the log, as one line per batch.
    QByteArray logged;
    int lines = 0;
    m_outputLines.feed(batch.constData(), int(batch.size()), [&](const char *segment, int length, bool, char) {
        if (length == 0 || std::memchr(segment, '%', size_t(length)))
            return;
        // The white space at both ends is stepped over, as
        // QByteArray::trimmed() would remove it; only the few lines that are
        // logged are copied.
        const char *first = segment;
        const char *last = segment + length;
        while (first < last && isSpace(*first))
            ++first;
        while (last > first && isSpace(last[-1]))
            --last;
        if (first < last && ++lines <= kLoggedLinesPerBatch)
            logged.append(first, int(last - first)).append('\n');
    });
    if (lines == 0)
        return;
    logged.chop(1);
    QString message = QString::fromUtf8(logged);
    if (lines > kLoggedLinesPerBatch)
        message += QStringLiteral("\n(另有 %1 行)").arg(lines - kLoggedLinesPerBatch);
    qDebug() << "Rsync输出：" << message;
}
