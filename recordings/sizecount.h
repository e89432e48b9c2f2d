#pragma once

#include "platform/backgroundjob.h"
#include "recordings/dirsize.h"

#include <QString>

#include <memory>

// The recordings count (countRecordings()) as a background job, so that the
// window is shown and painted while a large tree on a busy disk is walked.
// A cancelled count (the session ends) is never reported; its walker stops
// within one system call.
class SizeCount : public BackgroundJob
{
    Q_OBJECT
public:
    explicit SizeCount(QObject *parent = nullptr);

    // Counts `path`, comparing with the export directory `target` on the
    // drive, the sizes by time counted back from `now`.
    void start(const QString &path, const QString &target, const ExportPlan::Options &options, qint64 now);
    // True from start() until a result was delivered or the count cancelled.

    // The result of the count that counted() reported, handed over once:
    // its index is the largest thing the tool holds, and is held once.
    RecordingCount takeCount();

signals:
    void counted(const QString &path);

private:
    // Of the latest count: only its end is ever delivered.
    QString m_path;
    std::shared_ptr<RecordingCount> m_count;
};
