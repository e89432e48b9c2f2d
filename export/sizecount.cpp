#include "export/sizecount.h"

#include "export/dirsize.h"
#include "platform/priority.h"

#include <QDebug>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// What the walker thread and the owner share; it outlives whichever of the two
// ends last.
struct SizeCount::Walk {
    std::atomic<bool> cancelled{false};
    std::mutex mutex;
    std::condition_variable ended;
    bool walking = false; // guarded by mutex once the thread runs
};

SizeCount::SizeCount(QObject *parent)
    : QObject(parent)
{
}

SizeCount::~SizeCount()
{
    cancel();
    release();
}

void SizeCount::start(const QString &path)
{
    cancel();
    release();
    auto walk = std::make_shared<Walk>();
    m_walk = walk;
    // The walk begins once the event loop runs: a window shown right after
    // start() is mapped and painted first, without the walk competing with it
    // for the processor and the disk.
    QMetaObject::invokeMethod(this, [this, walk, path] { launch(walk, path); }, Qt::QueuedConnection);
}

void SizeCount::launch(const std::shared_ptr<Walk> &walk, const QString &path)
{
    if (walk != m_walk || walk->cancelled.load())
        return; // cancelled or replaced before it began
    walk->walking = true;
    m_thread = std::thread([this, walk, path] {
        // The walk reads the disk the recorder writes to.
        Priority::lowerToBackground(static_cast<pid_t>(::syscall(SYS_gettid)));
        const qint64 bytes = directorySize(path, walk->cancelled);
        std::lock_guard<std::mutex> lock(walk->mutex);
        walk->walking = false;
        // Under the lock: once cancel() has set the flag (the destructor does
        // so first) nothing more is posted to this object; what was posted
        // before goes with the object's posted events.
        if (!walk->cancelled.load())
            QMetaObject::invokeMethod(this, [this, walk, path, bytes] { deliver(walk, path, bytes); },
                                      Qt::QueuedConnection);
        walk->ended.notify_all();
    });
}

void SizeCount::cancel()
{
    if (!m_walk)
        return;
    std::lock_guard<std::mutex> lock(m_walk->mutex);
    m_walk->cancelled.store(true);
}

bool SizeCount::isCounting() const
{
    return m_walk && !m_walk->cancelled.load();
}

bool SizeCount::isWalking() const
{
    if (!m_walk)
        return false;
    std::lock_guard<std::mutex> lock(m_walk->mutex);
    return m_walk->walking;
}

void SizeCount::deliver(const std::shared_ptr<Walk> &walk, const QString &path, qint64 bytes)
{
    // A count cancelled or replaced after its walker ended is not reported.
    if (walk != m_walk || walk->cancelled.load())
        return;
    m_walk.reset();
    if (m_thread.joinable())
        m_thread.join(); // it posted this as its last act
    emit finished(path, bytes);
}

// Lets go of a cancelled walker: joined once it has stopped, which it does
// within one system call; after kJoinTimeoutMs it is detached.
void SizeCount::release()
{
    if (m_thread.joinable()) {
        std::unique_lock<std::mutex> lock(m_walk->mutex);
        const bool stopped = m_walk->ended.wait_for(lock, std::chrono::milliseconds(kJoinTimeoutMs),
                                                    [this] { return !m_walk->walking; });
        lock.unlock();
        if (stopped) {
            m_thread.join();
        } else {
            qWarning() << "目录大小统计未能及时停止";
            m_thread.detach();
        }
    }
    m_walk.reset();
}
