#include "export/exportsession.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "device/writeback.h"
#include "platform/backgroundjob.h"
#include "export/databasecopy.h"
#include "device/drivecapabilities.h"
#include "export/exporttarget.h"
#include "proof/ledger.h"
#include "proof/manifest.h"
#include "recordings/sizecount.h"
#include "device/stickidentity.h"
#include "platform/clocksync.h"
#include "platform/sha256.h"
#include "platform/descriptor.h"
#include "session/shutdown.h"
#include "sync/syncmanager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <mutex>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
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

// The SHA-256 of a file of the export directory, read through O_NOFOLLOW.
QByteArray hashOnStick(const QString &dir, const QString &name, struct stat *st)
{
    const Descriptor directory(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const Descriptor file(directory.isValid() ? ::openat(directory.get(), QFile::encodeName(name).constData(),
                                                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                              : -1);
    if (!file.isValid() || ::fstat(file.get(), st) != 0 || !S_ISREG(st->st_mode))
        return {};
    Sha256 sha;
    char buffer[65536];
    for (ssize_t n; (n = ::read(file.get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {};
        sha.update(buffer, size_t(n));
    }
    return sha.finish();
}

} // namespace

// The names of the files rsync has handed over, from the window's thread to
// the hasher's.
struct ExportSession::HashQueue
{
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<QByteArray> names;
    bool closed = false;

    // The names of one batch of rsync's output at once: one wake-up of the
    // hasher twenty times a second, not one per small recording.
    void push(std::vector<QByteArray> *batch)
    {
        if (batch->empty())
            return;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            for (QByteArray &name : *batch)
                names.push_back(std::move(name));
        }
        batch->clear();
        ready.notify_one();
    }
    void close()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            closed = true;
        }
        ready.notify_one();
    }
    // The next name; false once closed and empty, or cancelled.
    bool pop(QByteArray *name, const std::atomic<bool> &cancelled)
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (names.empty() && !closed && !cancelled.load())
            ready.wait_for(lock, std::chrono::milliseconds(50));
        if (names.empty() || cancelled.load())
            return false;
        *name = std::move(names.front());
        names.pop_front();
        return true;
    }
};

// What the verification's thread reports.
struct ExportSession::Verification
{
    std::atomic<qint64> doneBytes{0};
    ExportLedger::Result result;
    QString problem;
    QString record;  // what the record's writing found, for the log
};

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
        case Event::Flushed: return Verifying;
        case Event::CopyEnded: return Done;
        case Event::Stop: return Stopping;
        default: return Flushing;
        }
    case Verifying:
        switch (event) {
        case Event::Verified: return Done;
        case Event::Stop: return Stopping;
        default: return Verifying;
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
    , m_hashJob(new BackgroundJob(this))
    , m_verifyJob(new BackgroundJob(this))
    , m_recordJob(new BackgroundJob(this))
{
    qRegisterMetaType<ExportVerdict>();
    qRegisterMetaType<FitQuestion>();
    qRegisterMetaType<ExportSession::State>();
    m_count->setObjectName(QStringLiteral("sizeCount"));
    m_planJob->setObjectName(QStringLiteral("planJob"));
    m_databaseJob->setObjectName(QStringLiteral("databaseJob"));
    m_listJob->setObjectName(QStringLiteral("fileListJob"));
    m_writebackJob->setObjectName(QStringLiteral("writebackJob"));
    m_hashJob->setObjectName(QStringLiteral("hashJob"));
    m_verifyJob->setObjectName(QStringLiteral("verifyJob"));
    m_recordJob->setObjectName(QStringLiteral("recordJob"));
    connect(m_hashJob, &BackgroundJob::finished, this, &ExportSession::startVerifyJob);
    connect(m_verifyJob, &BackgroundJob::finished, this, &ExportSession::onVerified);
    connect(m_recordJob, &BackgroundJob::finished, this, &ExportSession::onRecorded);
    // Every file rsync has read whole is hashed while it is still in the page
    // cache, on the hasher's thread.
    m_progress.onFileDone([this](const QByteArray &path) { m_doneFiles.push_back(path); });
    connect(m_count, &SizeCount::counted, this, &ExportSession::onCounted);
    connect(m_planJob, &BackgroundJob::finished, this, &ExportSession::onPlanned);
    connect(m_databaseJob, &BackgroundJob::finished, this, [this] { advance(Event::DatabaseDone); });
    // Four times a second the window shows the progress: enough for a bar and
    // a speed over ten seconds, with one read of a small sysfs file each time.
    m_writtenTimer.setInterval(250);
    connect(&m_writtenTimer, &QTimer::timeout, this, &ExportSession::sampleWritten);

    connect(&m_device, &DeviceManager::deviceMounted, this, [this] { advance(Event::Mounted); });
    connect(&m_device, &DeviceManager::aboutToUnmount, this, &ExportSession::releaseDrive);
    connect(&m_device, &DeviceManager::deviceUnmounted, this, [this] {
        // The stick did not mount again for its read-back: the copy is on it
        // but nothing could be verified, and the person must hear so.
        if (m_state == Verifying && m_verification) {
            m_verdict.success = false;
            m_verdict.verificationProblem = tr("U盘卸载后无法再次挂载，无法读回文件（U盘可能已损坏）");
            m_verdict.elapsedMs = elapsedMs();
            emit finished(m_verdict);
        }
        advance(Event::Unmounted);
    });
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
        if (m_state == Copying || m_state == Flushing) {
            m_progress.feed(batch, elapsedMs());
            if (m_hashQueue)
                m_hashQueue->push(&m_doneFiles);
        }
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
    case Verifying:
        startVerification();
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
    return m_state == Database || m_state == Copying || m_state == Flushing || m_state == Verifying
            || m_state == Stopping;
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
    // The verification left the drive mounted read-only.
    if (m_device.isReadOnly() && !m_device.remount(false)) {
        emit error(tr("创建主机名目录失败"));
        return;
    }
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
    m_leaving = false;
    m_clock.start();
    m_started = QDateTime::currentDateTime();
    m_ledger = exported.ledger ? exported.ledger : std::make_shared<ExportLedger>();
    // The database first, in the background: a snapshot of a busy database
    // may wait for its writer, and a stop must not wait for that.
    auto problem = std::make_shared<QString>();
    auto record = std::make_shared<QString>();
    m_databaseProblem = problem;
    m_databaseRecord = record;
    m_databaseJob->start([problem, record, ledger = m_ledger, database = Settings::dbPathValue(),
                          target = m_targetPath](const std::atomic<bool> &cancelled) {
        const DatabaseCopy::Result result = DatabaseCopy::copy(database, target, 5000, &cancelled);
        const QString name = database.mid(database.lastIndexOf(QLatin1Char('/')) + 1);
        if (result.outcome == DatabaseCopy::Result::Failed) {
            *problem = result.error;
            *record = result.error;
            return;
        }
        *record = name + (result.outcome == DatabaseCopy::Result::Unchanged
                                  ? QStringLiteral("（与U盘上已有的副本相同）")
                                  : QStringLiteral("（新快照）"));
        if (!result.keptAs.isEmpty())
            *record += QStringLiteral("，原副本保留为 ") + result.keptAs;
        // What lies on the stick now, from the page cache: the snapshot as
        // it was written, which the verification reads back from the stick.
        struct stat st;
        const QByteArray sha = hashOnStick(target, name, &st);
        if (!sha.isEmpty())
            ledger->addDatabase(QFile::encodeName(name), sha, st.st_size, st.st_mtime);
    });
}

void ExportSession::startRecordings()
{
    const PlannedExport &exported = *m_exported;
    m_verdict.databaseProblem = *m_databaseProblem;
    m_progress.start(exported.plan.bytesToCopy, elapsedMs());
    // The hasher follows rsync from file to file.
    auto queue = std::make_shared<HashQueue>();
    m_hashQueue = queue;
    m_hashJob->start([queue, ledger = m_ledger, source = m_sourcePath](const std::atomic<bool> &cancelled) {
        const Descriptor recordings(::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        QByteArray name;
        while (queue->pop(&name, cancelled)) {
            if (recordings.isValid())
                ledger->hashSource(recordings.get(), name, cancelled);
        }
    });
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
    m_hashJob->cancel();
    const QString database = m_verdict.databaseProblem;
    m_verdict = ExportVerdict();
    m_verdict.databaseProblem = database;
    advance(Event::CopyEnded);
}

void ExportSession::sampleWritten()
{
    if (m_state == Verifying) {
        if (m_verification)
            m_verifyProgress.advanceTo(m_verification->doneBytes.load(), elapsedMs());
        emit progressChanged();
        return;
    }
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
    m_verdict.copied = success;
    m_verdict.stopped = m_sync.wasStopped();
    m_verdict.errorCount = m_sync.errorCount();
    m_verdict.firstErrors = m_sync.firstErrors();
    m_verdict.vanished = m_sync.vanishedCount();
    m_verdict.bytesDone = m_progress.bytesDone();
    m_verdict.elapsedMs = elapsedMs();
    // The proof follows a copy that ended well, unless it is switched off.
    const QString verify = Settings::readMonitorValue(QStringLiteral("System/VerifyExport"), QStringLiteral("true"));
    if (success && m_state == Flushing && verify != QLatin1String("false") && verify != QLatin1String("0")) {
        m_verdict.success = false;
        advance(Event::Flushed);
        return;
    }
    m_hashJob->cancel();
    advance(Event::CopyEnded);
}

// After the flush: the stick is unmounted and mounted again read-only, so
// that every file comes back from the stick itself and not from the page
// cache (for the FUSE drivers, not from the block device's cache either),
// and read back once the hasher has caught up with rsync.
void ExportSession::startVerification()
{
    m_hashQueue->close();
    m_writebackJob->stop(kWritebackStopMs);
    auto verification = std::make_shared<Verification>();
    m_verification = verification;
    m_verifyProgress.start(m_ledger->totalBytes(), elapsedMs());
    if (!m_device.remount(true)) {
        if (m_state != Verifying)
            return; // the drive is gone
        verification->problem = tr("无法重新挂载U盘以读回文件");
        onRecorded();
        return;
    }
    m_writtenTimer.start();
    // The hasher's end starts it otherwise.
    if (!m_hashJob->isRunning())
        startVerifyJob();
}

void ExportSession::startVerifyJob()
{
    if (m_state != Verifying || m_verifyJob->isRunning() || !m_verification || m_verification->result.complete)
        return;
    m_verifyJob->start([verification = m_verification, ledger = m_ledger, source = m_sourcePath, target = m_targetPath,
                        window = m_exported->rules.modifyWindowSeconds](const std::atomic<bool> &cancelled) {
        const Descriptor recordings(::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const Descriptor exported(::open(QFile::encodeName(target).constData(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!exported.isValid()) {
            verification->problem = tr("无法读取U盘上的导出目录");
            return;
        }
        verification->result = ledger->verify(recordings.get(), exported.get(), window, cancelled,
                                              &verification->doneBytes);
    });
}

void ExportSession::onVerified()
{
    if (m_state != Verifying)
        return;
    m_writtenTimer.stop();
    const ExportLedger::Result &result = m_verification->result;
    qInfo() << "校验:" << result.verified << "个文件一致," << result.mismatched << "个不一致,"
            << result.changed << "个在导出期间被录像机改动或删除";
    // The manifest and the record go onto the stick after the verification,
    // with the stick writable again.
    if (!m_device.remount(false)) {
        m_verification->record = QStringLiteral("the stick could not be mounted writable again");
        if (m_state == Verifying)
            onRecorded();
        return;
    }
    ExportRecord record;
    record.hostname = m_hostname;
    record.version = QCoreApplication::applicationVersion();
    record.start = m_started;
    record.span = spanText();
    record.cameras = m_choice.everyCamera ? QStringList() : m_choice.cameras;
    record.database = m_databaseRecord ? *m_databaseRecord : QString();
    if (!m_verification->problem.isEmpty())
        record.verification = tr("未能校验：") + m_verification->problem;
    else if (result.mismatched == 0)
        record.verification = tr("全部 %1 个文件与录像一致").arg(result.verified);
    else
        record.verification = tr("校验失败：%1 个文件与录像不一致").arg(result.mismatched)
                + (result.counterfeit() ? tr("；U盘的实际容量可能小于其标称容量") : QString());
    record.fileSystem = m_exported->drive.fileSystem;
    record.stickSize = m_device.deviceSize();
    m_recordJob->start([verification = m_verification, ledger = m_ledger, record, device = m_device.currentDevice(),
                        target = m_targetPath, mountPath = m_exported->mountPath](const std::atomic<bool> &) mutable {
        const StickIdentity stick = stickIdentity(device);
        record.stickVendor = stick.vendor;
        record.stickModel = stick.model;
        record.stickSerial = stick.serial;
        switch (clockSynchronisation()) {
        case ClockSync::Synchronised: record.clock = QStringLiteral("已同步"); break;
        case ClockSync::NotSynchronised: record.clock = QStringLiteral("未同步"); break;
        case ClockSync::Unknown: record.clock = QStringLiteral("未知"); break;
        }
        record.end = QDateTime::currentDateTime();
        const Descriptor dir(::open(QFile::encodeName(target).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.isValid()) {
            verification->record = QStringLiteral("the export directory cannot be opened");
            return;
        }
        const StickFile::Placed manifest = writeManifest(dir.get(), *ledger);
        const StickFile::Placed written = appendRecord(dir.get(), recordSection(record, *ledger));
        if (manifest.outcome == StickFile::Placed::Failed || manifest.outcome == StickFile::Placed::NotRegular)
            verification->record += QStringLiteral("SHA256SUMS: ") + manifest.detail;
        if (written.outcome == StickFile::Placed::Failed || written.outcome == StickFile::Placed::NotRegular)
            verification->record += QStringLiteral(" 导出记录: ") + written.detail;
        const Descriptor drive(::open(QFile::encodeName(mountPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (drive.isValid())
            ::syncfs(drive.get());
    });
}

// The end of the proof, with or without the record on the stick.
void ExportSession::onRecorded()
{
    if (m_state != Verifying)
        return;
    const ExportLedger::Result &result = m_verification->result;
    if (!m_verification->record.isEmpty())
        qWarning() << "校验文件未能写入U盘:" << m_verification->record;
    m_verdict.verified = m_verification->problem.isEmpty() && result.complete;
    m_verdict.verificationProblem = m_verification->problem;
    m_verdict.recordFailed = !m_verification->record.isEmpty();
    m_verdict.verifiedFiles = result.verified;
    m_verdict.mismatched = result.mismatched;
    m_verdict.firstMismatched = result.firstMismatched;
    m_verdict.counterfeit = result.counterfeit();
    m_verdict.changed = result.changed;
    m_verdict.firstChanged = result.firstChanged;
    m_verdict.success = m_verdict.verified && result.mismatched == 0;
    m_verdict.elapsedMs = elapsedMs();
    m_verifyProgress.finish();
    advance(Event::Verified);
}

QString ExportSession::spanText() const
{
    const auto time = [](qint64 seconds) {
        return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    };
    const ExportSelection &selection = m_exported->selection;
    QString text;
    switch (m_choice.span) {
    case Span::All: text = tr("全部录像"); break;
    case Span::LastHour: text = tr("最近 1 小时"); break;
    case Span::Last24Hours: text = tr("最近 24 小时"); break;
    case Span::Last3Days: text = tr("最近 3 天"); break;
    case Span::Last7Days: text = tr("最近 7 天"); break;
    case Span::Custom: text = tr("自定义时间段"); break;
    case Span::NewestThatFit: text = tr("能放进U盘的最新录像"); break;
    }
    if (selection.start != ExportSelection::kNoStart && selection.end != ExportSelection::kNoEnd)
        text += tr("（%1 至 %2）").arg(time(selection.start), time(selection.end));
    else if (selection.start != ExportSelection::kNoStart)
        text += tr("（%1 起）").arg(time(selection.start));
    if (m_cut)
        text += tr("，U盘放不下的更早录像未导出");
    return text;
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
        m_hashJob->cancel();
        // Its end arrives within the stop's wait, or later from the event
        // loop when the copy had to be killed.
        m_sync.stopSync();
        break;
    case Verifying:
        // Copied, not verified: the read-back and the record stop within one
        // read of the stick.
        advance(Event::Stop);
        m_writtenTimer.stop();
        m_hashJob->stop();
        m_verifyJob->stop();
        m_recordJob->stop();
        m_verdict.success = false;
        m_verdict.verificationStopped = true;
        m_verdict.elapsedMs = elapsedMs();
        advance(Event::Stopped);
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
    // Nobody waits for a box about an export that a way out stopped.
    m_leaving = true;
    m_verdict.leaving = true;
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
    if (m_state == Database || m_state == Verifying)
        stop();
    m_planJob->stop();
    m_count->stop();
    m_databaseJob->stop();
    m_listJob->cancel();
    m_hashJob->stop();
    m_verifyJob->stop();
    m_recordJob->stop();
    // Its syncfs() holds the drive open; it ends once the cache, bounded by
    // the drive's write limit, is written.
    m_writebackJob->stop(kWritebackStopMs);
}
