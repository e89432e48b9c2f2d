#include "export/exportplan.h"

#include "export/exporttarget.h"

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class PlanWalker
{
public:
    PlanWalker(const ExportPlan::Options &options, const std::atomic<bool> *cancel, const ExportSelection &selection,
               RecordingIndex *index, const RecordingVisitor &visit)
        : m_options(options)
        , m_cancel(cancel)
        , m_selection(selection)
        , m_index(index)
        , m_visit(visit)
    {
    }

    // `sourceFd` and `targetFd` (-1 when the target has no such directory)
    // are owned by the walk and closed by it. m_path holds the directory's
    // path relative to the source while it is walked.
    void walk(int sourceFd, int targetFd)
    {
        DIR *dir = ::fdopendir(sourceFd);
        if (!dir) {
            ::close(sourceFd);
            closeTarget(targetFd);
            return;
        }
        const QString here = QFile::decodeName(m_path.c_str());
        const bool filesChosen = m_selection.cameras.isEmpty() || (!m_path.empty() && m_selection.coversPath(here, false));
        // The first recording after the span's end, which holds its last minutes.
        struct Candidate
        {
            std::string name;
            struct stat st;
        };
        std::unique_ptr<Candidate> afterEnd;
        std::vector<std::string> subdirectories;
        while (const struct dirent *entry = ::readdir(dir)) {
            if (cancelled())
                break;
            if (entry->d_name[0] == '.')
                continue; // hidden entries, "." and ".." alike
            struct stat st;
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == -1)
                continue; // vanished since it was listed
            if (S_ISDIR(st.st_mode)) {
                subdirectories.emplace_back(entry->d_name);
            } else if (S_ISREG(st.st_mode) && filesChosen) {
                if (m_selection.inSpan(st.st_mtime)) {
                    addFile(st, targetFd, entry->d_name);
                } else if (st.st_mtime > m_selection.end
                           && (!afterEnd || st.st_mtime < afterEnd->st.st_mtime
                               || (st.st_mtime == afterEnd->st.st_mtime && afterEnd->name > entry->d_name))) {
                    afterEnd = std::make_unique<Candidate>(Candidate{entry->d_name, st});
                }
            }
        }
        if (afterEnd && !cancelled())
            addFile(afterEnd->st, targetFd, afterEnd->name.c_str());
        if (m_index)
            m_index->endDirectory();

        for (const std::string &name : subdirectories) {
            if (cancelled() || m_stopped)
                break;
            const size_t length = m_path.size();
            if (!m_path.empty())
                m_path += '/';
            m_path += name;
            if (m_selection.coversPath(QFile::decodeName(m_path.c_str()), true)) {
                const int childSource = ::openat(::dirfd(dir), name.c_str(),
                                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (childSource != -1) {
                    int childTarget = -1;
                    if (targetFd != -1)
                        childTarget = ::openat(targetFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                    if (childTarget == -1)
                        m_plan.spaceNeeded += m_options.blockSize; // a directory rsync creates
                    walk(childSource, childTarget);
                }
            }
            m_path.resize(length);
        }
        ::closedir(dir);
        closeTarget(targetFd);
    }

    ExportPlan result()
    {
        m_plan.complete = !cancelled();
        return m_plan;
    }

private:
    bool cancelled() const { return m_cancel && m_cancel->load(std::memory_order_relaxed); }

    static void closeTarget(int fd)
    {
        if (fd != -1)
            ::close(fd);
    }

    void addFile(const struct stat &source, int targetFd, const char *name)
    {
        if (m_stopped)
            return;
        if (m_options.maxFileSize >= 0 && source.st_size > m_options.maxFileSize) {
            ++m_plan.tooLargeFiles;
            m_plan.tooLargeBytes += source.st_size;
            return;
        }
        const RecordingSizes sizes = sizesOnDrive(source, targetFd, name, m_options);
        if (m_index)
            m_index->addFile(RecordingIndex::kCameraLoose, source.st_mtime, sizes);
        if (m_visit) {
            const size_t length = m_path.size();
            if (!m_path.empty())
                m_path += '/';
            m_path += name;
            m_stopped = !m_visit(m_path.c_str(), m_path.size());
            m_path.resize(length);
        }
        m_plan.filesToCopy += sizes.filesToCopy;
        m_plan.bytesToCopy += sizes.bytesToCopy;
        m_plan.spaceNeeded += sizes.spaceNeeded;
    }

    ExportPlan::Options m_options;
    const std::atomic<bool> *m_cancel;
    const ExportSelection &m_selection;
    RecordingIndex *m_index;
    const RecordingVisitor &m_visit;
    ExportPlan m_plan;
    std::string m_path;
    bool m_stopped = false;
};

} // namespace

RecordingSizes sizesOnDrive(const struct stat &source, int targetFd, const char *name,
                            const ExportPlan::Options &options)
{
    RecordingSizes sizes;
    sizes.files = 1;
    sizes.bytes = source.st_size;
    struct stat target;
    // rsync's quick check: a regular file of the same size whose time is
    // within the window is left as it is.
    if (targetFd != -1 && ::fstatat(targetFd, name, &target, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(target.st_mode) && target.st_size == source.st_size
            && std::llabs(static_cast<long long>(target.st_mtime) - source.st_mtime) <= options.modifyWindowSeconds)
        return sizes;
    const qint64 block = options.blockSize > 0 ? options.blockSize : 1;
    sizes.filesToCopy = 1;
    sizes.bytesToCopy = source.st_size;
    sizes.spaceNeeded = (source.st_size + block - 1) / block * block;
    return sizes;
}

ExportPlan planExport(const QString &source, const QString &target, const ExportPlan::Options &options,
                      const std::atomic<bool> *cancel, const ExportSelection &selection, RecordingIndex *index,
                      const RecordingVisitor &visit)
{
    PlanWalker walker(options, cancel, selection, index, visit);
    // The source's own path may hold links (it is the recorder's); below it
    // nothing is followed.
    const int sourceFd = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sourceFd == -1)
        return walker.result();
    // The target's parent is the mount point, checked by the caller; the
    // target itself must be a real directory, never a link planted there.
    const int targetFd = ::open(QFile::encodeName(target).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    walker.walk(sourceFd, targetFd);
    return walker.result();
}

bool writeRecordingList(int fd, const QString &source, const ExportSelection &selection,
                        const std::atomic<bool> &cancelled)
{
    constexpr size_t kChunk = size_t(64) * 1024;
    std::string pending;
    pending.reserve(kChunk + 4096);
    bool readerThere = true;
    const auto send = [&] {
        size_t done = 0;
        while (done < pending.size()) {
            // MSG_NOSIGNAL: a reader that has gone is an EPIPE here, not a
            // SIGPIPE for the whole tool.
            const ssize_t n = ::send(fd, pending.data() + done, pending.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        pending.clear();
        return true;
    };
    const RecordingVisitor visit = [&](const char *path, size_t length) {
        pending.append(path, length).push_back('\0');
        if (pending.size() >= kChunk)
            readerThere = send();
        return readerThere && !cancelled.load(std::memory_order_relaxed);
    };
    // Nothing on the drive is looked at: rsync compares for itself.
    planExport(source, QString(), ExportPlan::Options(), &cancelled, selection, nullptr, visit);
    return readerThere && !cancelled.load() && send();
}

bool PlannedExport::fits(qint64 freeSpace, qint64 capacity) const
{
    return spaceNeeded() + fileSystemMargin(capacity) <= freeSpace;
}

PlannedExport PlannedExport::newestThatFits(qint64 freeSpace, qint64 capacity) const
{
    PlannedExport part = *this;
    const qint64 budget = freeSpace - fileSystemMargin(capacity) - databaseBytes;
    const qint64 cut = index.newestCut(QStringList(), budget);
    if (cut == ExportSelection::kNoStart)
        return part;
    part.selection.start = qMax(selection.start, cut);
    // The index holds exactly the selection's recordings, by time; from a
    // stretch boundary on its sums are exact. Directories rsync creates stay
    // counted in full.
    const RecordingSizes kept = cut == ExportSelection::kNoEnd ? RecordingSizes() : index.sizesFrom(QStringList(), cut);
    const qint64 directories = plan.spaceNeeded - index.sizes(QStringList()).spaceNeeded;
    part.plan.filesToCopy = kept.filesToCopy;
    part.plan.bytesToCopy = kept.bytesToCopy;
    part.plan.spaceNeeded = kept.spaceNeeded + directories;
    part.index = RecordingIndex();
    return part;
}

PlannedExport planExportTo(const QString &mountPath, const QString &source, const QString &target,
                           const QString &databasePath, const ExportSelection &selection,
                           const std::atomic<bool> *cancel)
{
    PlannedExport planned;
    planned.mountPath = mountPath;
    planned.selection = selection;
    // What the stick's file system can hold decides rsync's options: owners,
    // modes and links only where they can be kept (or every file would be an
    // error), times to the drive's resolution (or every export would copy
    // everything again), and no file larger than its largest.
    planned.drive = probeDrive(mountPath);
    planned.rsyncOptions = rsyncOptions(planned.drive);
    if (planned.drive.maxFileSize >= 0)
        planned.rsyncOptions << QStringLiteral("--max-size=%1").arg(planned.drive.maxFileSize);

    ExportPlan::Options options;
    options.maxFileSize = planned.drive.maxFileSize;
    options.modifyWindowSeconds = planned.drive.timeResolutionSeconds > 1 ? 1 : 0;
    const QStorageInfo storage(mountPath);
    if (storage.isValid() && storage.blockSize() > 0)
        options.blockSize = storage.blockSize();
    planned.plan = planExport(source, target, options, cancel, selection, &planned.index);
    planned.index.finish();
    // Every export takes a new snapshot of the alarm database; an earlier
    // copy on the drive stays beside it.
    planned.databaseBytes = QFileInfo(databasePath).size();
    return planned;
}
