#pragma once

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// Work of the export that reads a disk for a while (walking the recordings,
// looking at the drive) on a thread of its own, at the background priorities
// of platform/priority.h, so that the window is painted and answers meanwhile.
// The end reaches the owner's thread as the signal `finished`, through its
// event loop. One job at a time: starting another, cancel() and the
// destructor abandon the running one, whose end is then never delivered; the
// work must look at its `cancelled` flag at least once per system call that
// can wait (each directory entry, each step of a copy, each wait for a lock),
// so that stop() can join it before the drive is unmounted.
class BackgroundJob : public QObject
{
    Q_OBJECT
public:
    using Work = std::function<void(const std::atomic<bool> &cancelled)>;

    explicit BackgroundJob(QObject *parent = nullptr);
    // Cancels the job and waits for its thread at most kJoinTimeoutMs. A
    // thread stuck longer in one system call (a disk that does not answer) is
    // left to end by itself: it touches nothing but its own shared state, and
    // the end of the process ends it.
    ~BackgroundJob() override;
    BackgroundJob(const BackgroundJob &) = delete;
    BackgroundJob &operator=(const BackgroundJob &) = delete;

    static constexpr int kJoinTimeoutMs = 1000;

    // Runs `work` once the event loop has finished its current turn, so that
    // a window shown right after start() is painted first.
    void start(Work work);
    void cancel();
    // Cancels and waits (at most `timeoutMs`) until the work has stopped,
    // for a caller that needs what it had open (a drive about to be unmounted).
    void stop(int timeoutMs = kJoinTimeoutMs);
    // True from start() until the end was delivered or the job cancelled.
    bool isRunning() const;

signals:
    void finished();

private:
    struct Walk;
    void launch(const std::shared_ptr<Walk> &walk, const Work &work);
    void deliver(const std::shared_ptr<Walk> &walk);
    void release(int timeoutMs = kJoinTimeoutMs);

    std::shared_ptr<Walk> m_walk;
    std::thread m_thread;
};
