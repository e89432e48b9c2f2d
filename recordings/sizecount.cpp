#include "recordings/sizecount.h"

SizeCount::SizeCount(QObject *parent)
    : BackgroundJob(parent)
{
    connect(this, &BackgroundJob::finished, this, [this] { emit counted(m_path); });
}

void SizeCount::start(const QString &path, const QString &target, const ExportPlan::Options &options, qint64 now)
{
    m_path = path;
    m_count = std::make_shared<RecordingCount>();
    BackgroundJob::start([path, target, options, now, count = m_count](const std::atomic<bool> &cancelled) {
        *count = countRecordings(path, target, options, now, cancelled);
    });
}

RecordingCount SizeCount::takeCount()
{
    RecordingCount count;
    if (m_count)
        count = std::move(*m_count);
    m_count.reset();
    return count;
}
