#include "export/exportsession.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "device/writeback.h"
#include "export/backgroundjob.h"
#include "export/databasecopy.h"
#include "export/drivecapabilities.h"
#include "export/exporttarget.h"
#include "export/sizecount.h"
#include "sync/syncmanager.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QFile>
#include <QStorageInfo>
#include <QThread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How long a syncfs() of the drive may take when the drive is about to be
// unmounted: its dirty cache is bounded (WritebackLimit), 32 MiB at a slow
// stick's 5 MB/s.
constexpr int kWritebackStopMs = 10000;
constexpr int kWritebackEveryMs = 500;

// The kernel leaves what an export writes in the page cache until its
// background threshold or thirty seconds have passed; a stick that is not
// asked to write shows no progress for that long, and then all of it waits
// at the end. So while rsync copies, the drive is told to write what it has,
// twice a second: its progress is what it holds, as it goes. Each syncfs()
// holds the drive open only while it runs.
void keepWriting(const QString &mountPath, const std::atomic<bool> &cancelled)
{
    const QByteArray path = QFile::encodeName(mountPath);
    while (!cancelled.load()) {
        const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd == -1)
            return;
        ::syncfs(fd);
        ::close(fd);
        for (int waited = 0; waited < kWritebackEveryMs && !cancelled.load(); waited += 50)
            QThread::msleep(50);
    }
}

// A descriptor closed when the last copy of it goes, whichever of the
// writer's job and its owner that is.
std::shared_ptr<int> sharedDescriptor(int fd)
{
    return std::shared_ptr<int>(new int(fd), [](int *owned) {
        if (*owned >= 0)
            ::close(*owned);
        delete owned;
    });
}

ExportPlan::Options optionsFor(const QString &mountPath, const DriveCapabilities &drive)
{
    ExportPlan::Options options;
    options.maxFileSize = drive.maxFileSize;
    options.modifyWindowSeconds = drive.timeResolutionSeconds > 1 ? 1 : 0;
    const QStorageInfo storage(mountPath);
    if (storage.isValid() && storage.blockSize() > 0)
        options.blockSize = storage.blockSize();
    return options;
}

} // namespace

ExportSession::ExportSession(QObject *parent)
    : QObject(parent)
    , m_count(new SizeCount(this))
    , m_planJob(new BackgroundJob(this))
    , m_databaseJob(new BackgroundJob(this))
    , m_listJob(new BackgroundJob(this))
    , m_writebackJob(new BackgroundJob(this))
{
    qRegisterMetaType<ExportVerdict>();
    m_count->setObjectName(QStringLiteral("sizeCount"));
    m_planJob->setObjectName(QStringLiteral("planJob"));
    m_databaseJob->setObjectName(QStringLiteral("databaseJob"));
    m_listJob->setObjectName(QStringLiteral("fileListJob"));
    m_writebackJob->setObjectName(QStringLiteral("writebackJob"));
    connect(m_count, &SizeCount::counted, this, &ExportSession::onCounted);
    connect(m_planJob, &BackgroundJob::finished, this, &ExportSession::onPlanned);
    connect(m_databaseJob, &BackgroundJob::finished, this, &ExportSession::onDatabaseCopied);
    // Four times a second the window shows the progress: enough for a bar and
    // a speed over ten seconds, with one read of a small sysfs file each time.
    m_writtenTimer.setInterval(250);
    connect(&m_writtenTimer, &QTimer::timeout, this, &ExportSession::sampleWritten);

    // What still reads or writes the drive lets go before umount runs, or it
    // would find the drive busy. A copy is stopped by whoever unmounts.
    connect(&DeviceManager::instance(), &DeviceManager::aboutToUnmount, this, [this] {
        m_planJob->stop();
        m_listJob->cancel();
        // Its syncfs() holds the drive open; it ends once the cache, bounded
        // by the drive's write limit, is written.
        m_writebackJob->stop(kWritebackStopMs);
        if (m_databaseJob->isRunning()) {
            m_databaseJob->stop();
            m_exporting = false;
        }
    });
    SyncManager &sync = SyncManager::instance();
    connect(&sync, &SyncManager::syncStarted, this, &ExportSession::copyStarted);
    connect(&sync, &SyncManager::syncOutput, this, &ExportSession::onSyncOutput);
    connect(&sync, &SyncManager::syncFinished, this, &ExportSession::onSyncFinished);
    connect(&sync, &SyncManager::syncError, this, &ExportSession::error);
    readHostname();
}

ExportSession::~ExportSession() = default;

void ExportSession::readHostname()
{
    if (ExportTarget::readHostname(QStringLiteral("/etc/hostname"), &m_hostname)) {
        qInfo() << "getHostname:" << m_hostname;
    } else {
        qCritical() << "无法打开 /etc/hostname 文件";
        m_hostname = QStringLiteral("ORVELD-ffff");
    }
}

void ExportSession::startCount()
{
    QString mediaRoot = Settings::readMediaServerValue(QStringLiteral("mp4_save_path"));
    if (mediaRoot.isEmpty())
        mediaRoot = QStringLiteral("/media/zozadoz/record");
    m_sourcePath = mediaRoot + QLatin1String("/record");
    m_totalBytes = -1;
    m_index = RecordingIndex();
    // What the drive already holds of the recordings is looked up on the way,
    // without writing to it; under a host name that would climb out of the
    // mount point nothing is looked at.
    const QString mountPath = Settings::usbMountPathValue();
    const QString target = ExportTarget::isSafeName(m_hostname) ? mountPath + QLatin1Char('/') + m_hostname : QString();
    m_count->start(m_sourcePath, target, optionsFor(mountPath, typeCapabilities(mountPath)),
                   QDateTime::currentSecsSinceEpoch());
}

void ExportSession::cancelCount()
{
    m_count->cancel();
}

bool ExportSession::isCounting() const
{
    return m_count->isCounting();
}

void ExportSession::onCounted()
{
    RecordingCount count = m_count->takeCount();
    m_totalBytes = count.totalBytes;
    m_index = std::move(count.index);
    emit countFinished();
}

qint64 ExportSession::budget() const
{
    const DeviceManager &device = DeviceManager::instance();
    return device.freeSpace() - fileSystemMargin(device.deviceSize())
            - QFileInfo(Settings::dbPathValue()).size();
}

bool ExportSession::plan(const ExportSelection &selection)
{
    if (!DeviceManager::instance().isMounted()) {
        emit error(tr("没有检测到U盘"));
        return false;
    }
    if (isPlanning() || m_exporting)
        return false;
    const QString mountPath = Settings::usbMountPathValue();
    m_targetPath = mountPath + QLatin1Char('/') + m_hostname;
    // Nothing is looked at under a host name that would climb out of the
    // mount point, nor on a mount point that the drive has left.
    if (!ExportTarget::isSafeName(m_hostname) || !ExportTarget::isMountedAt(mountPath)) {
        emit error(tr("创建主机名目录失败"));
        return false;
    }
    // One look at the drive and at the chosen recordings before anything is
    // written, in the background: on a slow stick it takes seconds, during
    // which the window keeps painting and a "remove", a signal or 退出 is not
    // held up.
    m_planned.reset();
    auto planning = std::make_shared<PlannedExport>();
    m_planning = planning;
    m_planJob->start([planning, mountPath, selection, source = m_sourcePath, target = m_targetPath,
                      database = Settings::dbPathValue()](const std::atomic<bool> &cancelled) {
        *planning = planExportTo(mountPath, source, target, database, selection, &cancelled);
    });
    return true;
}

bool ExportSession::isPlanning() const
{
    return m_planJob->isRunning();
}

void ExportSession::onPlanned()
{
    const std::shared_ptr<PlannedExport> planning = std::move(m_planning);
    if (!planning || !DeviceManager::instance().isMounted())
        return;
    m_planned = std::make_unique<PlannedExport>(*planning);
    qInfo() << "U盘文件系统:" << describe(m_planned->drive);
    qInfo() << "待复制:" << m_planned->plan.filesToCopy << "个文件," << m_planned->plan.bytesToCopy << "字节";
    emit planFinished();
}

bool ExportSession::plannedFits() const
{
    const DeviceManager &device = DeviceManager::instance();
    return m_planned && m_planned->fits(device.freeSpace(), device.deviceSize());
}

PlannedExport ExportSession::newestPartThatFits() const
{
    const DeviceManager &device = DeviceManager::instance();
    return m_planned ? m_planned->newestThatFits(device.freeSpace(), device.deviceSize()) : PlannedExport();
}

void ExportSession::copy(bool newestPartOnly)
{
    if (!m_planned || m_exporting)
        return;
    m_exported = std::make_unique<PlannedExport>(newestPartOnly ? newestPartThatFits() : *m_planned);
    m_planned.reset();
    if (newestPartOnly)
        qInfo() << "只复制能放进U盘的最新录像，起始时间:" << m_exported->selection.start << "待复制:"
                << m_exported->plan.bytesToCopy << "字节";
    // The drive is untrusted: the target must be a real directory of the
    // drive itself, never a link planted there that leads back into the
    // recorder, and the host name must not climb out of the mount point.
    if (!DeviceManager::instance().isMounted() || !ExportTarget::prepare(m_exported->mountPath, m_hostname)) {
        emit error(tr("创建主机名目录失败"));
        return;
    }
    m_exporting = true;
    m_clock.start();
    // The database first, in the background: a snapshot of a busy database
    // may wait for its writer.
    auto problem = std::make_shared<QString>();
    m_databaseProblem = problem;
    m_databaseJob->start([problem, database = Settings::dbPathValue(),
                          target = m_targetPath](const std::atomic<bool> &) {
        const DatabaseCopy::Result result = DatabaseCopy::copy(database, target);
        if (result.outcome == DatabaseCopy::Result::Failed)
            *problem = result.error;
    });
}

void ExportSession::onDatabaseCopied()
{
    if (!m_exporting)
        return;
    startRecordings();
}

void ExportSession::startRecordings()
{
    SyncManager &sync = SyncManager::instance();
    const PlannedExport &exported = *m_exported;
    m_progress.start(exported.plan.bytesToCopy, elapsedMs());
    // What the stick holds, not what the page cache took, is the progress.
    m_written = std::make_unique<DeviceWriteCounter>(DeviceManager::instance().currentDevice());
    m_writtenAtStart = m_written->bytesWritten();
    if (m_writtenAtStart >= 0)
        m_progress.setWritten(0, elapsedMs());
    m_writtenTimer.start();
    m_writebackJob->start([mountPath = exported.mountPath](const std::atomic<bool> &cancelled) {
        keepWriting(mountPath, cancelled);
    });
    bool started = false;
    if (exported.selection.isEverything()) {
        // All of it: the command line the export has always had.
        started = sync.startSync(m_sourcePath, m_targetPath, exported.rsyncOptions);
    } else {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == -1) {
            qCritical() << "启动同步进程失败：" << "socketpair";
        } else {
            // rsync reads the list from one end while the writer walks the
            // recordings and fills the other; the socket's buffer is all
            // of the list there ever is in memory.
            const std::shared_ptr<int> writeEnd = sharedDescriptor(ends[1]);
            m_listJob->start([writeEnd, selection = exported.selection,
                              source = m_sourcePath](const std::atomic<bool> &cancelled) {
                writeRecordingList(*writeEnd, source, selection, cancelled);
                // rsync's end of the list comes with the writer's end.
                ::shutdown(*writeEnd, SHUT_WR);
            });
            started = sync.startSync(m_sourcePath, m_targetPath, exported.rsyncOptions, ends[0]);
        }
    }
    if (!started) {
        m_writebackJob->cancel();
        m_writtenTimer.stop();
        m_listJob->cancel();
        m_exporting = false;
        ExportVerdict verdict;
        verdict.databaseProblem = *m_databaseProblem;
        emit finished(verdict);
    }
}

void ExportSession::onSyncOutput(const QByteArray &batch)
{
    // The window hears of it with the next reading of the drive: a bar and
    // a line a person reads are new enough four times a second, and painting
    // them is most of what the tool spends while rsync copies.
    m_progress.feed(batch, elapsedMs());
}

void ExportSession::sampleWritten()
{
    if (m_writtenAtStart >= 0) {
        const qint64 now = m_written ? m_written->bytesWritten() : -1;
        // A count that went back belongs to another device: no longer known.
        m_progress.setWritten(now >= m_writtenAtStart ? now - m_writtenAtStart : -1, elapsedMs());
    }
    emit progressChanged();
}

void ExportSession::onSyncFinished(bool success)
{
    const SyncManager &sync = SyncManager::instance();
    m_writtenTimer.stop();
    m_listJob->cancel();
    m_writebackJob->cancel();
    if (!m_exporting)
        return; // a copy not started here (or one whose session already ended)
    m_exporting = false;
    if (success)
        m_progress.finish();
    ExportVerdict verdict;
    verdict.success = success;
    verdict.stopped = sync.wasStopped();
    verdict.errorCount = sync.errorCount();
    verdict.firstErrors = sync.firstErrors();
    verdict.vanished = sync.vanishedCount();
    verdict.databaseProblem = m_databaseProblem ? *m_databaseProblem : QString();
    verdict.bytesDone = m_progress.bytesDone();
    verdict.elapsedMs = elapsedMs();
    emit finished(verdict);
}

bool ExportSession::isFlushing() const
{
    return SyncManager::instance().isFlushing();
}

int ExportSession::errorCount() const
{
    return SyncManager::instance().errorCount();
}

void ExportSession::stop()
{
    SyncManager &sync = SyncManager::instance();
    if (sync.isSyncing()) {
        sync.stopSync();
        return;
    }
    if (m_exporting && m_databaseJob->isRunning()) {
        // Stopped before the recordings' copy began.
        m_databaseJob->stop();
        m_exporting = false;
        ExportVerdict verdict;
        verdict.stopped = true;
        emit finished(verdict);
    }
}
