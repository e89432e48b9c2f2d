#include "export/copyphase.h"

#include "device/devicemanager.h"
#include "device/writeback.h"
#include "platform/backgroundjob.h"
#include "platform/descriptor.h"
#include "platform/fileutil.h"
#include "proof/ledger.h"
#include "recordings/exportplan.h"
#include "sync/syncmanager.h"

#include <QDebug>
#include <QFile>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <mutex>

#include <fcntl.h>
#include <sys/socket.h>

namespace {

// How long the drive's writer may take to let go once rsync is done: the
// drive's dirty cache is bounded (WritebackLimit), 32 MiB at a slow stick's
// 5 MB/s.
constexpr int kWritebackStopMs = 10000;
constexpr int kWritebackEveryMs = 500;

// The kernel leaves what an export writes in the page cache until its
// background threshold or thirty seconds have passed; a stick that is not
// asked to write shows no progress for that long, and then all of it waits
// at the end. So while rsync copies, the drive is told to write what it has,
// twice a second: its progress is what it holds, as it goes. Each flush
// holds the drive open only while it runs.
void keepWriting(const QString &mountPath, const std::atomic<bool> &cancelled)
{
    while (!cancelled.load() && flushFileSystem(mountPath)) {
        for (int waited = 0; waited < kWritebackEveryMs && !cancelled.load(); waited += 50)
            QThread::msleep(50);
    }
}

} // namespace

// The names of the files rsync has handed over, from the window's thread to
// the hasher's.
struct CopyPhase::HashQueue
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

CopyPhase::CopyPhase(DeviceManager &device, SyncManager &sync, const QElapsedTimer &clock, QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_sync(sync)
    , m_clock(clock)
    , m_listJob(new BackgroundJob(this))
    , m_writebackJob(new BackgroundJob(this))
    , m_hashJob(new BackgroundJob(this))
{
    m_listJob->setObjectName(QStringLiteral("fileListJob"));
    m_writebackJob->setObjectName(QStringLiteral("writebackJob"));
    m_hashJob->setObjectName(QStringLiteral("hashJob"));
    // Every file rsync has read whole is hashed while it is still in the page
    // cache, on the hasher's thread.
    m_progress.onFileDone([this](const QByteArray &path) { m_doneFiles.push_back(path); });
    // Four times a second the window shows the progress: enough for a bar and
    // a speed over ten seconds, with one read of a small sysfs file each time.
    m_sampleTimer.setInterval(250);
    connect(&m_sampleTimer, &QTimer::timeout, this, &CopyPhase::sampleWritten);
    connect(&m_sync, &SyncManager::syncStarted, this, [this] {
        if (m_running)
            emit started();
    });
    connect(&m_sync, &SyncManager::syncOutput, this, [this](const QByteArray &batch) {
        // The window hears of it with the next reading of the drive: a bar
        // and a line a person reads are new enough four times a second, and
        // painting them is most of what the tool spends while rsync copies.
        if (!m_running)
            return;
        m_progress.feed(batch, m_clock.elapsed());
        if (m_hashQueue)
            m_hashQueue->push(&m_doneFiles);
    });
    connect(&m_sync, &SyncManager::flushStarted, this, [this] {
        if (m_running)
            emit flushing();
    });
    connect(&m_sync, &SyncManager::syncFinished, this, &CopyPhase::onSyncFinished);
    // A copy that succeeded ends once the hasher has caught up with it.
    connect(m_hashJob, &BackgroundJob::finished, this, [this] {
        if (m_running && m_result.copied)
            end();
    });
}

CopyPhase::~CopyPhase() = default;

void CopyPhase::start(const PlannedExport &exported, const QString &source, const QString &target,
                      const std::shared_ptr<ExportLedger> &ledger)
{
    m_running = true;
    m_result = Result();
    m_doneFiles.clear();
    m_progress.start(exported.plan.bytesToCopy, m_clock.elapsed());
    // The hasher follows rsync from file to file.
    auto queue = std::make_shared<HashQueue>();
    m_hashQueue = queue;
    m_hashJob->start([queue, ledger, source](const std::atomic<bool> &cancelled) {
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
        m_progress.setWritten(0, m_clock.elapsed());
    m_sampleTimer.start();
    m_writebackJob->start([mountPath = exported.mountPath](const std::atomic<bool> &cancelled) {
        keepWriting(mountPath, cancelled);
    });
    Descriptor list;
    if (!exported.selection.isEverything()) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == -1) {
            qCritical() << "启动同步进程失败：" << "socketpair";
            end();
            return;
        }
        // rsync reads the list from one end while the writer walks the
        // recordings and fills the other; the socket's buffer is all of the
        // list there ever is in memory. The writer's end closes with the
        // last of the job and its owner to let go of it.
        list.reset(ends[0]);
        const auto writeEnd = std::make_shared<Descriptor>(ends[1]);
        m_listJob->start([writeEnd, selection = exported.selection, source](const std::atomic<bool> &cancelled) {
            writeRecordingList(writeEnd->get(), source, selection, cancelled);
            // rsync's end of the list comes with the writer's end.
            ::shutdown(writeEnd->get(), SHUT_WR);
        });
    }
    // All of it: the command line the export has always had.
    if (!m_sync.startSync(source, target, exported.rules.rsyncOptions, std::move(list)))
        end();
}

void CopyPhase::Result::applyTo(ExportVerdict *verdict, bool stopped) const
{
    verdict->copied = copied;
    verdict->errorCount = errorCount;
    verdict->firstErrors = firstErrors;
    verdict->vanished = vanished;
    verdict->bytesDone = bytesDone;
    if (!stopped)
        verdict->setOutcome(copied ? ExportVerdict::Outcome::Completed : ExportVerdict::Outcome::CopyFailed);
}

void CopyPhase::cancel()
{
    if (!m_running) {
        // What an ended copy may still run: the drive's writer, whose flush
        // holds the drive open until the cache it bounds is written.
        m_listJob->cancel();
        m_hashJob->stop();
        m_writebackJob->stop(kWritebackStopMs);
        return;
    }
    m_listJob->cancel();
    m_hashJob->cancel();
    // Its end arrives within the stop's wait, or later from the event loop
    // when the copy had to be killed.
    if (m_sync.isSyncing())
        m_sync.stopSync();
    else
        end();
}

void CopyPhase::sampleWritten()
{
    if (m_writtenAtStart >= 0) {
        const qint64 now = m_written ? m_written->bytesWritten() : -1;
        // A count that went back belongs to another device: no longer known.
        m_progress.setWritten(now >= m_writtenAtStart ? now - m_writtenAtStart : -1, m_clock.elapsed());
    }
    emit progressChanged();
}

void CopyPhase::onSyncFinished(bool success)
{
    if (!m_running)
        return;
    m_sampleTimer.stop();
    m_listJob->cancel();
    if (success)
        m_progress.finish();
    m_result.copied = success;
    m_result.errorCount = m_sync.errorCount();
    m_result.firstErrors = m_sync.firstErrors();
    m_result.vanished = m_sync.vanishedCount();
    m_result.bytesDone = m_progress.bytesDone();
    if (!success) {
        end();
        return;
    }
    // What rsync wrote is on the drive; the writer's flush lets go of it
    // before the drive is mounted again for the read-back.
    m_hashQueue->push(&m_doneFiles);
    m_hashQueue->close();
    m_writebackJob->stop(kWritebackStopMs);
    if (!m_hashJob->isRunning())
        end();
}

void CopyPhase::end()
{
    m_running = false;
    m_sampleTimer.stop();
    m_listJob->cancel();
    m_writebackJob->cancel();
    if (!m_result.copied)
        m_hashJob->cancel();
    m_hashQueue.reset();
    m_written.reset();
    emit finished(m_result);
}
