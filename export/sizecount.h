#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <thread>

// The recordings count (directorySize()) on a thread of its own, at the
// background priorities of platform/priority.h, so that the window is shown
// and painted while a large tree on a busy disk is walked.
// The result reaches the owner's thread as the signal `finished`, through its
// event loop. One count at a time: starting another, cancel() and the
// destructor abandon the running one, whose result is then never delivered;
// its walker stops within one system call.
class SizeCount : public QObject
{
    Q_OBJECT
public:
    explicit SizeCount(QObject *parent = nullptr);
    // Cancels the count and waits for its walker at most kJoinTimeoutMs. A
    // walker stuck longer in one system call (a disk that does not answer) is
    // left to end by itself: it touches nothing but its own shared state, and
    // the end of the process ends it.
    ~SizeCount() override;
    SizeCount(const SizeCount &) = delete;
    SizeCount &operator=(const SizeCount &) = delete;

    static constexpr int kJoinTimeoutMs = 1000;

    void start(const QString &path);
    void cancel();
    // True from start() until a result was delivered or the count cancelled.
    bool isCounting() const;
    // True while the walker of the latest count still runs, cancelled or not.
    bool isWalking() const;

signals:
    void finished(const QString &path, qint64 bytes);

private:
    struct Walk;
    void launch(const std::shared_ptr<Walk> &walk, const QString &path);
    void deliver(const std::shared_ptr<Walk> &walk, const QString &path, qint64 bytes);
    void release();

    std::shared_ptr<Walk> m_walk;
    std::thread m_thread;
};
