#include "sync/syncmanager.h"

#include "config/settings.h"
#include "platform/command.h"
#include "platform/priority.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <cerrno>
#include <csignal>
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
// The export must never hold up the recording on the same disk: the child (rsync
// and later the flush) runs at nice 10 and in the lowest level of the
// best-effort I/O class. Both are set in the child alone, with plain system
// calls that are safe between fork and exec; the tool itself keeps its own
// priorities, so the window stays responsive.
class RsyncProcess : public QProcess
{
protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        Priority::lowerToBackground();
    }
};

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
    connect(m_process.get(), &QProcess::readyReadStandardOutput, this, &SyncManager::handleRsyncOutput);
    connect(m_process.get(), &QProcess::readyReadStandardError, this, &SyncManager::handleRsyncError);
    connect(m_process.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
            this, &SyncManager::handleSyncFinished);
}

SyncManager::~SyncManager() = default;

bool SyncManager::startSync(const QString &source, const QString &destination)
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

    const QStringList arguments{
        QStringLiteral("-av"),
        QStringLiteral("--progress"),
        QStringLiteral("--exclude=.*"),
        source + QLatin1Char('/'),
        destination,
    };
    qInfo() << "开始同步，执行命令：" << Settings::rsyncPathValue() << arguments.join(QLatin1Char(' '));

    m_destination = destination;
    m_process->start(Settings::rsyncPathValue(), arguments, QIODevice::ReadWrite);
    if (!m_process->waitForStarted(kStartTimeoutMs)) {
        qCritical() << "启动同步进程失败：" << m_process->errorString();
        emit syncError(tr("启动同步进程失败"));
        return false;
    }
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
    m_stopping = true;
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
    m_stopping = false;
    m_isSyncing = false;
}

void SyncManager::handleSyncFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    waitForHelpers();
    if (m_flushing) {
        handleFlushFinished(exitCode, exitStatus);
        return;
    }
    if (exitStatus == QProcess::CrashExit) {
        m_isSyncing = false;
        qCritical() << "同步进程崩溃";
        emit syncFinished(false);
        return;
    }
    if (exitCode != 0) {
        m_isSyncing = false;
        qCritical() << "同步进程失败，退出代码：" << exitCode;
        emit syncFinished(false);
        return;
    }
    if (m_stopping) {
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

void SyncManager::handleRsyncError()
{
    const QString message = QString::fromUtf8(m_process->readAllStandardError()).trimmed();
    qWarning() << "Rsync错误：" << message;
    // While a stop is under way rsync reports the signal it was sent; that is
    // no news for the user, and a box opened here would hold up a shut-down
    // by SIGTERM that nobody is there to answer.
    if (!m_stopping)
        emit syncError(message);
}

void SyncManager::handleRsyncOutput()
{
    const QString output = QString::fromUtf8(m_process->readAllStandardOutput());
    if (!parseRsyncProgress(output))
        qDebug() << "Rsync输出：" << output.trimmed();
}

bool SyncManager::parseRsyncProgress(const QString &output)
{
    // A progress report of "rsync --progress" looks like
    //   "      1,048,576  45%  102.40MB/s    0:00:00\r"
    // and the percentage is the first number followed by "%" and white space.
    static const QRegularExpression progressRegex(QStringLiteral("\\s*(\\d+)%\\s+"));
    const QRegularExpressionMatch match = progressRegex.match(output);
    if (!match.hasMatch())
        return false;
    emit syncProgress(match.captured(1).toInt());
    return true;
}
