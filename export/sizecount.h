#pragma once

#include "export/backgroundjob.h"

#include <QString>

#include <memory>

// The recordings count (directorySize()) as a background job, so that the
// window is shown and painted while a large tree on a busy disk is walked.
// A cancelled count (the session ends) is never reported; its walker stops
// within one system call.
class SizeCount : public BackgroundJob
{
    Q_OBJECT
public:
    explicit SizeCount(QObject *parent = nullptr);

    void start(const QString &path);
    // True from start() until a result was delivered or the count cancelled.
    bool isCounting() const { return isRunning(); }

signals:
    void counted(const QString &path, qint64 bytes);

private:
    // Of the latest count: only its end is ever delivered.
    QString m_path;
    std::shared_ptr<qint64> m_bytes;
};
