#include "platform/backgroundjob.h"

#include "platform/priority.h"

#include <QDebug>

#include <chrono>
#include <condition_variable>
#include <mutex>

// What the worker thread and the owner share; it outlives whichever of the
// two ends last.
struct BackgroundJob::Walk {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool walking = false; // guarded by mutex once the thread runs
};

BackgroundJob::BackgroundJob(QObject *parent)
    : QObject(parent)
{
}

BackgroundJob::~BackgroundJob()
{
    cancel();
    release();
}

void BackgroundJob::start(Work work)
{
    cancel();
    release();
    auto walk = std::make_shared<Walk>();
    m_walk = walk;
    QMetaObject::invokeMethod(this, [this, walk, work = std::move(work)] { launch(walk, work); },
                              Qt::QueuedConnection);
}

void BackgroundJob::launch(const std::shared_ptr<Walk> &walk, const Work &work)
{
    if (walk != m_walk || walk->cancelled.load())
        return; // cancelled or replaced before it began
    walk->walking = true;
    m_thread = std::thread([this, walk, work] {
        // The work reads the disk the recorder writes to.
        Priority::lowerToBackground(static_cast<pid_t>(::syscall(SYS_gettid)));
        work(walk->cancelled);
        std::lock_guard<std::mutex> lock(walk->mutex);
        walk->walking = false;
        // Under the lock: once cancel() has set the flag (the destructor does
        // so first) nothing more is posted to this object; what was posted
        // before goes with the object's posted events.
        if (!walk->cancelled.load())
            QMetaObject::invokeMethod(this, [this, walk] { deliver(walk); }, Qt::QueuedConnection);
        walk->ended.notify_all();
    });
}

void BackgroundJob::cancel()
{
    if (!m_walk)
        return;
    std::lock_guard<std::mutex> lock(m_walk->mutex);
    m_walk->cancelled.store(true);
}

void BackgroundJob::stop(int timeoutMs)
{
    cancel();
    release(timeoutMs);
}

bool BackgroundJob::isRunning() const
{
    return m_walk && !m_walk->cancelled.load();
}

void BackgroundJob::deliver(const std::shared_ptr<Walk> &walk)
{
    // A job cancelled or replaced after its work ended is not reported.
    if (walk != m_walk || walk->cancelled.load())
        return;
    m_walk.reset();
    if (m_thread.joinable())
        m_thread.join(); // it posted this as its last act
    emit finished();
}

// Lets go of a cancelled job: joined once its work has stopped, which it does
// within one system call; after `timeoutMs` it is detached.
void BackgroundJob::release(int timeoutMs)
{
    if (m_thread.joinable()) {
        std::unique_lock<std::mutex> lock(m_walk->mutex);
        const bool stopped = m_walk->ended.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                    [this] { return !m_walk->walking; });
        lock.unlock();
        if (stopped) {
            m_thread.join();
        } else {
            qWarning() << "后台任务未能及时停止:" << objectName();
            m_thread.detach();
        }
    }
    m_walk.reset();
}
