#include "export/exportsession.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "device/writeback.h"
#include "export/backgroundjob.h"
#include "export/databasecopy.h"
#include "export/drivecapabilities.h"
#include "export/exporttarget.h"
#include "export/sizecount.h"
#include "platform/descriptor.h"
#include "session/shutdown.h"
#include "sync/syncmanager.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
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
// How long a way out waits for a copy it had to kill, and for its helpers,
// before it unmounts.
constexpr int kKilledCopyMs = 5000;

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
        const Descriptor drive(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!drive.isValid())
            return;
        ::syncfs(drive.get());
        for (int waited = 0; waited < kWritebackEveryMs && !cancelled.load(); waited += 50)
            QThread::msleep(50);
    }
}

} // namespace

ExportSession::State ExportSession::next(State state, Event event)
{
    // Whatever the session was doing, it ends with the drive.
    if (event == Event::Unmounted)
        return Idle;
    switch (state) {
    case Idle:
        return event == Event::Mounted ? Counting : Idle;
    case Counting:
        return event == Event::Counted ? Ready : Counting;
    case Ready:
    case Done:
        return event == Event::Start ? Planning : state;
    case Planning:
        switch (event) {
        case Event::Fits: return Database;
        case Event::Ask: return Asking;
        case Event::Refused:
        case Event::Stop: return Ready;
        default: return Planning;
        }
    case Asking:
        switch (event) {
        case Event::Yes: return Database;
        case Event::No:
        case Event::Stop: return Ready;
        default: return Asking;
        }
    case Database:
        switch (event) {
        case Event::DatabaseDone: return Copying;
        case Event::Refused: return Ready;
        case Event::Stop: return Stopping;
        default: return Database;
        }
    case Copying:
        switch (event) {
        case Event::FlushStarted: return Flushing;
        case Event::CopyEnded: return Done;
        case Event::Stop: return Stopping;
        default: return Copying;
        }
    case Flushing:
        switch (event) {
        case Event::CopyEnded: return Done;
        case Event::Stop: return Stopping;
        default: return Flushing;
        }
    case Stopping:
        return event == Event::CopyEnded || event == Event::Stopped ? Done : Stopping;
    }
    return state;
}

ExportSession::ExportSession(QObject *parent)
    : QObject(parent)
    , m_device(DeviceManager::instance())
    , m_sync(SyncManager::instance())
    , m_count(new SizeCount(this))
    , m_planJob(new BackgroundJob(this))
    , m_databaseJob(new BackgroundJob(this))
    , m_listJob(new BackgroundJob(this))
    , m_writebackJob(new BackgroundJob(this))
{
    qRegisterMetaType<ExportVerdict>();
    qRegisterMetaType<FitQuestion>();
    qRegisterMetaType<ExportSession::State>();
    m_count->setObjectName(QStringLiteral("sizeCount"));
    m_planJob->setObjectName(QStringLiteral("planJob"));
    m_databaseJob->setObjectName(QStringLiteral("databaseJob"));
    m_listJob->setObjectName(QStringLiteral("fileListJob"));
    m_writebackJob->setObjectName(QStringLiteral("writebackJob"));
    connect(m_count, &SizeCount::counted, this, &ExportSession::onCounted);
    connect(m_planJob, &BackgroundJob::finished, this, &ExportSession::onPlanned);
    connect(m_databaseJob, &BackgroundJob::finished, this, [this] { advance(Event::DatabaseDone); });
    // Four times a second the window shows the progress: enough for a bar and
    // a speed over ten seconds, with one read of a small sysfs file each time.
    m_writtenTimer.setInterval(250);
    connect(&m_writtenTimer, &QTimer::timeout, this, &ExportSession::sampleWritten);

    connect(&m_device, &DeviceManager::deviceMounted, this, [this] { advance(Event::Mounted); });
    connect(&m_device, &DeviceManager::aboutToUnmount, this, &ExportSession::releaseDrive);
    connect(&m_device, &DeviceManager::deviceUnmounted, this, [this] { advance(Event::Unmounted); });
    connect(&m_device, &DeviceManager::error, this, [this](const QString &message) {
        if (!m_quiet)
            emit error(message);
    });
    connect(&m_sync, &SyncManager::syncStarted, this, [this] {
        if (m_state == Copying)
            emit copyStarted();
    });
    connect(&m_sync, &SyncManager::syncOutput, this, [this](const QByteArray &batch) {
        // The window hears of it with the next reading of the drive: a bar
        // and a line a person reads are new enough four times a second, and
        // painting them is most of what the tool spends while rsync copies.
        if (m_state == Copying || m_state == Flushing)
            m_progress.feed(batch, elapsedMs());
    });
    connect(&m_sync, &SyncManager::flushStarted, this, [this] { advance(Event::FlushStarted); });
    connect(&m_sync, &SyncManager::syncFinished, this, &ExportSession::onSyncFinished);
    connect(&m_sync, &SyncManager::syncError, this, [this](const QString &message) {
        if (!m_quiet)
            emit error(message);
    });
    registerShutdown(this, [this](bool quietly) { shutDown(quietly); });
    readHostname();
}

ExportSession::~ExportSession()
{
    unregisterShutdown(this);
}

bool ExportSession::advance(Event event)
{
    const State to = next(m_state, event);
    if (to == m_state)
        return false;
    m_state = to;
    emit stateChanged(to);
    enter(to);
    return true;
}

// What each state does as it begins. A step that cannot go on moves the
// session on from inside, so a caller returns right after advance().
void ExportSession::enter(State state)
{
    switch (state) {
    case Idle:
        // Whatever unmounted the drive (the "remove" event, a termination
        // signal, 退出), a count still running is not waited for.
        m_count->cancel();
        m_planning.reset();
        m_planned.reset();
        break;
    case Counting: {
        QString mediaRoot = Settings::readMediaServerValue(QStringLiteral("mp4_save_path"));
        if (mediaRoot.isEmpty())
            mediaRoot = QStringLiteral("/media/zozadoz/record");
        m_sourcePath = mediaRoot + QLatin1String("/record");
        m_totalBytes = -1;
        m_index = RecordingIndex();
        // What the drive already holds of the recordings is looked up on the
        // way, without writing to it; under a host name that would climb out
        // of the mount point nothing is looked at.
        const QString mountPath = Settings::usbMountPathValue();
        const QString target = ExportTarget::isSafeName(m_hostname) ? mountPath + QLatin1Char('/') + m_hostname
                                                                    : QString();
        m_count->start(m_sourcePath, target, driveRules(typeCapabilities(mountPath), mountPath),
                       QDateTime::currentSecsSinceEpoch());
        break;
    }
    case Planning: {
        // One look at the drive and at the chosen recordings before anything
        // is written, in the background: on a slow stick it takes seconds,
        // during which the window keeps painting and a "remove", a signal or
        // 退出 is not held up.
        m_planned.reset();
        m_exported.reset();
        auto planning = std::make_shared<PlannedExport>();
        m_planning = planning;
        m_planJob->start([planning, mountPath = Settings::usbMountPathValue(), selection = selection(),
                          source = m_sourcePath, target = m_targetPath,
                          database = Settings::dbPathValue()](const std::atomic<bool> &cancelled) {
            *planning = planExportTo(mountPath, source, target, database, selection, &cancelled);
        });
        break;
    }
    case Asking:
        emit question(m_question);
        break;
    case Database:
        beginExport();
        break;
    case Copying:
        startRecordings();
        break;
    case Done:
        emit finished(m_verdict);
        break;
    case Ready:
    case Flushing:
    case Stopping:
        break;
    }
}

void ExportSession::readHostname()
{
    if (ExportTarget::readHostname(QStringLiteral("/etc/hostname"), &m_hostname)) {
        qInfo() << "getHostname:" << m_hostname;
    } else {
        qCritical() << "无法打开 /etc/hostname 文件";
        m_hostname = QStringLiteral("ORVELD-ffff");
    }
}

bool ExportSession::isExporting() const
{
    return m_state == Database || m_state == Copying || m_state == Flushing || m_state == Stopping;
}

void ExportSession::handleDeviceEvent(const QString &device, const QString &action)
{
    qInfo() << "Device event - Device:" << device << "Action:" << action;
    if (action == QLatin1String("add")) {
        if (isExporting()) {
            qDebug() << "Already syncing, ignoring new device";
            requestQuit();
            return;
        }
        m_device.mountDevice(device);
    } else if (action == QLatin1String("remove")) {
        shutDown();
    }
}

void ExportSession::onCounted()
{
    RecordingCount count = m_count->takeCount();
    m_totalBytes = count.totalBytes;
    m_index = std::move(count.index);
    // All the recordings when the drive takes what it lacks of them, else the
    // newest that fit.
    m_choice.span = m_index.newestCut(QStringList(), budget()) == ExportSelection::kNoStart ? Span::All
                                                                                            : Span::NewestThatFit;
    advance(Event::Counted);
    emit countFinished();
}

qint64 ExportSession::budget() const
{
    return m_device.freeSpace() - fileSystemMargin(m_device.deviceSize()) - QFileInfo(Settings::dbPathValue()).size();
}

qint64 ExportSession::newestCut(const QStringList &cameras) const
{
    return m_index.newestCut(cameras, budget());
}

bool ExportSession::somethingFits(const QStringList &cameras) const
{
    return m_index.newestFits(cameras, budget());
}

qint64 ExportSession::newestBucket(const QStringList &cameras) const
{
    return m_index.newestBucket(cameras);
}

RecordingSizes ExportSession::sizes(Span span, const QStringList &cameras) const
{
    switch (span) {
    case Span::All:
        return m_index.sizes(cameras);
    case Span::Custom:
        return m_index.approximateSizes(cameras, m_choice.customStart, m_choice.customEnd + 59);
    case Span::NewestThatFit: {
        const qint64 cut = newestCut(cameras);
        if (cut != ExportSelection::kNoEnd)
            return m_index.sizesFrom(cameras, cut);
        // Part of the newest half hour: about as much as the drive takes.
        RecordingSizes part;
        if (somethingFits(cameras)) {
            m_index.newestBucket(cameras, &part);
            part.bytes = qMin(part.bytes, budget());
        }
        return part;
    }
    default:
        return m_index.sizes(cameras, span);
    }
}

ExportSelection ExportSession::selection() const
{
    ExportSelection selection;
    // Every camera: the whole recordings directory, loose files included.
    if (!m_choice.everyCamera)
        selection.cameras = m_choice.cameras;
    switch (m_choice.span) {
    case Span::All:
        break;
    case Span::LastHour:
    case Span::Last24Hours:
    case Span::Last3Days:
    case Span::Last7Days:
        selection.start = QDateTime::currentSecsSinceEpoch() - spanSeconds(m_choice.span);
        break;
    case Span::Custom:
        selection.start = m_choice.customStart;
        // The whole last minute the person chose.
        selection.end = m_choice.customEnd + 59;
        break;
    case Span::NewestThatFit:
        // The cut itself is made, to the recording, when 开始复制 has looked
        // at the drive again.
        if (!somethingFits(selection.cameras))
            selection.start = ExportSelection::kNoEnd;
        break;
    }
    return selection;
}

bool ExportSession::canStart() const
{
    return m_device.isMounted() && (m_state == Ready || m_state == Done)
            && (m_choice.everyCamera || !m_choice.cameras.isEmpty()) && selection().start != ExportSelection::kNoEnd;
}

void ExportSession::start()
{
    if (!m_device.isMounted()) {
        emit error(tr("没有检测到U盘"));
        return;
    }
    if (m_state != Ready && m_state != Done)
        return;
    const QString mountPath = Settings::usbMountPathValue();
    m_targetPath = mountPath + QLatin1Char('/') + m_hostname;
    // Nothing is looked at under a host name that would climb out of the
    // mount point, nor on a mount point that the drive has left.
    if (!ExportTarget::isSafeName(m_hostname) || !ExportTarget::isMountedAt(mountPath)) {
        emit error(tr("创建主机名目录失败"));
        return;
    }
    advance(Event::Start);
}

void ExportSession::onPlanned()
{
    const std::shared_ptr<PlannedExport> planning = std::move(m_planning);
    if (!planning || m_state != Planning)
        return;
    m_planned = std::make_unique<PlannedExport>(*planning);
    qInfo() << "U盘文件系统:" << describe(m_planned->drive);
    qInfo() << "待复制:" << m_planned->plan.filesToCopy << "个文件," << m_planned->plan.bytesToCopy << "字节";
    emit planFinished();
    decide();
}

// The fit policy: a plan that fits is copied; one that does not is cut to
// its newest part, without a question when "the newest that fit" is what was
// chosen; recordings larger than the drive's largest file are asked about.
void ExportSession::decide()
{
    const qint64 freeSpace = m_device.freeSpace();
    const qint64 capacity = m_device.deviceSize();
    const PlannedExport &planned = *m_planned;
    const bool fits = planned.fits(freeSpace, capacity);
    m_cut = false;
    if (fits && planned.plan.tooLargeFiles == 0) {
        m_exported = std::move(m_planned);
        advance(Event::Fits);
        return;
    }
    PlannedExport newest = fits ? PlannedExport() : planned.newestThatFits(freeSpace, capacity);
    if (!fits && newest.selection.start == ExportSelection::kNoEnd) {
        qWarning() << "U盘空间不足，放不下任何所选录像";
        m_planned.reset();
        advance(Event::Refused);
        emit nothingFits(freeSpace);
        return;
    }
    // "The newest that fit" asks nothing about the space: it is what was chosen.
    const bool askAboutSpace = !fits && m_choice.span != Span::NewestThatFit;
    m_cut = !fits;
    if (!askAboutSpace && planned.plan.tooLargeFiles == 0) {
        m_exported = std::make_unique<PlannedExport>(std::move(newest));
        m_planned.reset();
        advance(Event::Fits);
        return;
    }
    FitQuestion question;
    question.tooMuch = askAboutSpace;
    question.bytesToCopy = planned.bytesToCopy();
    question.freeSpace = freeSpace;
    question.newestStart = newest.selection.start;
    question.newestBytes = newest.plan.bytesToCopy;
    question.tooLargeFiles = planned.plan.tooLargeFiles;
    question.tooLargeBytes = planned.plan.tooLargeBytes;
    question.maxFileSize = planned.drive.maxFileSize;
    if (askAboutSpace)
        qWarning() << "U盘空间不足，需要:" << planned.spaceNeeded() << "可用:" << freeSpace;
    if (planned.plan.tooLargeFiles > 0)
        qWarning() << "录像大于U盘文件系统的单个文件上限:" << planned.plan.tooLargeFiles << "个,"
                   << planned.drive.maxFileSize;
    m_question = question;
    m_pending = fits ? std::move(m_planned) : std::make_unique<PlannedExport>(std::move(newest));
    m_planned.reset();
    advance(Event::Ask);
}

void ExportSession::answer(bool yes)
{
    // The drive may have gone, or the export been stopped, while the
    // question was open.
    if (m_state != Asking)
        return;
    if (yes) {
        m_exported = std::move(m_pending);
        advance(Event::Yes);
    } else {
        m_pending.reset();
        advance(Event::No);
    }
}

void ExportSession::beginExport()
{
    const PlannedExport &exported = *m_exported;
    if (m_cut)
        qInfo() << "只复制能放进U盘的最新录像，起始时间:" << exported.selection.start << "待复制:"
                << exported.plan.bytesToCopy << "字节";
    // The drive is untrusted: the target must be a real directory of the
    // drive itself, never a link planted there that leads back into the
    // recorder, and the host name must not climb out of the mount point.
    if (!m_device.isMounted() || !ExportTarget::prepare(exported.mountPath, m_hostname)) {
        emit error(tr("创建主机名目录失败"));
        advance(Event::Refused);
        return;
    }
    m_verdict = ExportVerdict();
    m_clock.start();
    // The database first, in the background: a snapshot of a busy database
    // may wait for its writer, and a stop must not wait for that.
    auto problem = std::make_shared<QString>();
    m_databaseProblem = problem;
    m_databaseJob->start([problem, database = Settings::dbPathValue(),
                          target = m_targetPath](const std::atomic<bool> &cancelled) {
        const DatabaseCopy::Result result = DatabaseCopy::copy(database, target, 5000, &cancelled);
        if (result.outcome == DatabaseCopy::Result::Failed)
            *problem = result.error;
    });
}

void ExportSession::startRecordings()
{
    const PlannedExport &exported = *m_exported;
    m_verdict.databaseProblem = *m_databaseProblem;
    m_progress.start(exported.plan.bytesToCopy, elapsedMs());
    // What the stick holds, not what the page cache took, is the progress.
    m_written = std::make_unique<DeviceWriteCounter>(m_device.currentDevice());
    m_writtenAtStart = m_written->bytesWritten();
    if (m_writtenAtStart >= 0)
        m_progress.setWritten(0, elapsedMs());
    m_writtenTimer.start();
    m_writebackJob->start([mountPath = exported.mountPath](const std::atomic<bool> &cancelled) {
        keepWriting(mountPath, cancelled);
    });
    Descriptor list;
    if (!exported.selection.isEverything()) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == -1) {
            qCritical() << "启动同步进程失败：" << "socketpair";
            copyNotStarted();
            return;
        }
        // rsync reads the list from one end while the writer walks the
        // recordings and fills the other; the socket's buffer is all of the
        // list there ever is in memory. The writer's end closes with the
        // last of the job and its owner to let go of it.
        list.reset(ends[0]);
        const auto writeEnd = std::make_shared<Descriptor>(ends[1]);
        m_listJob->start([writeEnd, selection = exported.selection,
                          source = m_sourcePath](const std::atomic<bool> &cancelled) {
            writeRecordingList(writeEnd->get(), source, selection, cancelled);
            // rsync's end of the list comes with the writer's end.
            ::shutdown(writeEnd->get(), SHUT_WR);
        });
    }
    // All of it: the command line the export has always had.
    if (!m_sync.startSync(m_sourcePath, m_targetPath, exported.rules.rsyncOptions, std::move(list)))
        copyNotStarted();
}

// rsync did not start (the copy engine has said why): the export ends with
// nothing but the database's verdict.
void ExportSession::copyNotStarted()
{
    m_writtenTimer.stop();
    m_listJob->cancel();
    m_writebackJob->cancel();
    const QString database = m_verdict.databaseProblem;
    m_verdict = ExportVerdict();
    m_verdict.databaseProblem = database;
    advance(Event::CopyEnded);
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
    // A copy not started here, or one whose session already ended.
    if (m_state != Copying && m_state != Flushing && m_state != Stopping)
        return;
    m_writtenTimer.stop();
    m_listJob->cancel();
    m_writebackJob->cancel();
    if (success)
        m_progress.finish();
    m_verdict.success = success;
    m_verdict.stopped = m_sync.wasStopped();
    m_verdict.errorCount = m_sync.errorCount();
    m_verdict.firstErrors = m_sync.firstErrors();
    m_verdict.vanished = m_sync.vanishedCount();
    m_verdict.bytesDone = m_progress.bytesDone();
    m_verdict.elapsedMs = elapsedMs();
    advance(Event::CopyEnded);
}

int ExportSession::errorCount() const
{
    return m_sync.errorCount();
}

void ExportSession::stop()
{
    switch (m_state) {
    case Planning:
        m_planJob->stop();
        m_planning.reset();
        advance(Event::Stop);
        break;
    case Asking:
        m_pending.reset();
        advance(Event::Stop);
        break;
    case Database:
        // Stopped before the recordings' copy began: the snapshot sees its
        // cancel within milliseconds, also while it waits for a locked
        // database.
        advance(Event::Stop);
        m_databaseJob->stop();
        m_verdict.stopped = true;
        m_verdict.elapsedMs = elapsedMs();
        advance(Event::Stopped);
        break;
    case Copying:
    case Flushing:
        advance(Event::Stop);
        m_listJob->cancel();
        // Its end arrives within the stop's wait, or later from the event
        // loop when the copy had to be killed.
        m_sync.stopSync();
        break;
    case Idle:
    case Counting:
    case Ready:
    case Done:
    case Stopping:
        break;
    }
}

void ExportSession::shutDown(bool quietly)
{
    m_quiet = m_quiet || quietly;
    stop();
    // A copy that had to be killed is reaped, helpers and all, before the
    // drive is let go: they may still hold files open on it.
    m_sync.waitForEnd(kKilledCopyMs);
    m_device.unmountDevice();
    requestQuit();
}

// Whatever still reads or writes the drive lets go before umount runs, or it
// would find the drive busy.
void ExportSession::releaseDrive()
{
    if (m_state == Database)
        stop();
    m_planJob->stop();
    m_count->stop();
    m_databaseJob->stop();
    m_listJob->cancel();
    // Its syncfs() holds the drive open; it ends once the cache, bounded by
    // the drive's write limit, is written.
    m_writebackJob->stop(kWritebackStopMs);
}
