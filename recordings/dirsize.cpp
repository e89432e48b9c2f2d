#include "recordings/dirsize.h"

#include "recordings/recordingwalk.h"

#include <sys/stat.h>

namespace {

// The count: every regular file adds its size; the recordings among them go
// into the index with what the drive still lacks of them.
class Counter : public RecordingWalk::Visitor
{
public:
    Counter(RecordingIndex *index, const ExportPlan::Options &options)
        : m_index(index)
        , m_options(options)
    {
    }

    qint64 total() const { return m_total; }

    void recording(const RecordingWalk::Place &place, const char *name, const struct stat &st) override
    {
        m_total += st.st_size;
        // rsync leaves out what the stick's file system cannot hold.
        if (m_index && (m_options.maxFileSize < 0 || st.st_size <= m_options.maxFileSize))
            m_index->addFile(place.camera, st.st_mtime, sizesOnDrive(st, place.targetFd, name, m_options));
    }
    void linkedFile(const struct stat &st) override { m_total += st.st_size; }
    int camera(const QString &relative) override
    {
        return m_index ? m_index->addCamera(relative) : RecordingIndex::kCameraLoose;
    }
    void missingDirectory() override
    {
        if (m_index)
            m_index->addDirectory(m_options.blockSize);
    }
    void directoryDone() override
    {
        if (m_index)
            m_index->endDirectory();
    }

private:
    RecordingIndex *m_index;
    ExportPlan::Options m_options;
    qint64 m_total = 0;
};

} // namespace

qint64 directorySize(const QString &path)
{
    RecordingWalk::Options options;
    options.followLinks = true;
    Counter counter(nullptr, ExportPlan::Options());
    RecordingWalk(options).walk(path, counter);
    return counter.total();
}

RecordingCount countRecordings(const QString &path, const QString &target, const ExportPlan::Options &options,
                               qint64 now, const std::atomic<bool> &cancelled)
{
    RecordingCount count;
    count.index = RecordingIndex(now);
    RecordingWalk::Options walk;
    walk.followLinks = true;
    walk.target = target;
    walk.cancel = &cancelled;
    Counter counter(&count.index, options);
    const bool complete = RecordingWalk(walk).walk(path, counter);
    count.totalBytes = complete ? counter.total() : -1;
    count.index.finish();
    return count;
}
