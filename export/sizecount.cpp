#include "export/sizecount.h"

#include "export/dirsize.h"

SizeCount::SizeCount(QObject *parent)
    : BackgroundJob(parent)
{
    connect(this, &BackgroundJob::finished, this, [this] { emit counted(m_path, *m_bytes); });
}

void SizeCount::start(const QString &path)
{
    m_path = path;
    m_bytes = std::make_shared<qint64>(-1);
    BackgroundJob::start([path, bytes = m_bytes](const std::atomic<bool> &cancelled) {
        *bytes = directorySize(path, cancelled);
    });
}
