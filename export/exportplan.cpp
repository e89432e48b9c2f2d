#include "export/exportplan.h"

#include "export/exporttarget.h"

#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class PlanWalker
{
public:
    PlanWalker(const ExportPlan::Options &options, const std::atomic<bool> *cancel)
        : m_options(options)
        , m_cancel(cancel)
    {
    }

    // `sourceFd` and `targetFd` (-1 when the target has no such directory)
    // are owned by the walk and closed by it.
    void walk(int sourceFd, int targetFd)
    {
        DIR *dir = ::fdopendir(sourceFd);
        if (!dir) {
            ::close(sourceFd);
            closeTarget(targetFd);
            return;
        }
        std::vector<std::string> subdirectories;
        while (const struct dirent *entry = ::readdir(dir)) {
            if (cancelled())
                break;
            if (entry->d_name[0] == '.')
                continue; // hidden entries, "." and ".." alike
            struct stat st;
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == -1)
                continue; // vanished since it was listed
            if (S_ISDIR(st.st_mode))
                subdirectories.emplace_back(entry->d_name);
            else if (S_ISREG(st.st_mode))
                addFile(st, targetFd, entry->d_name);
        }

        for (const std::string &name : subdirectories) {
            if (cancelled())
                break;
            const int childSource = ::openat(::dirfd(dir), name.c_str(),
                                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childSource == -1)
                continue;
            int childTarget = -1;
            if (targetFd != -1)
                childTarget = ::openat(targetFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childTarget == -1)
                m_plan.spaceNeeded += m_options.blockSize; // a directory rsync creates
            walk(childSource, childTarget);
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
        if (m_options.maxFileSize >= 0 && source.st_size > m_options.maxFileSize) {
            ++m_plan.tooLargeFiles;
            m_plan.tooLargeBytes += source.st_size;
            return;
        }
        struct stat target;
        // rsync's quick check: a regular file of the same size whose time is
        // within the window is left as it is.
        if (targetFd != -1 && ::fstatat(targetFd, name, &target, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISREG(target.st_mode) && target.st_size == source.st_size
                && std::llabs(static_cast<long long>(target.st_mtime) - source.st_mtime) <= m_options.modifyWindowSeconds)
            return;
        ++m_plan.filesToCopy;
        m_plan.bytesToCopy += source.st_size;
        const qint64 block = m_options.blockSize > 0 ? m_options.blockSize : 1;
        m_plan.spaceNeeded += (source.st_size + block - 1) / block * block;
    }

    ExportPlan::Options m_options;
    const std::atomic<bool> *m_cancel;
    ExportPlan m_plan;
};

} // namespace

ExportPlan planExport(const QString &source, const QString &target, const ExportPlan::Options &options,
                      const std::atomic<bool> *cancel)
{
    PlanWalker walker(options, cancel);
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

bool PlannedExport::fits(qint64 freeSpace, qint64 capacity) const
{
    // The file system needs room of its own while it writes (its journal,
    // directory blocks, the metadata of a FUSE driver): one percent of the
    // drive, at least 1 MiB and at most 256 MiB, is kept out of the count.
    const qint64 margin = qBound<qint64>(1 << 20, capacity / 100, qint64(256) << 20);
    return spaceNeeded() + margin <= freeSpace;
}

PlannedExport planExportTo(const QString &mountPath, const QString &source, const QString &target,
                           const QString &databasePath, const std::atomic<bool> *cancel)
{
    PlannedExport planned;
    planned.mountPath = mountPath;
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
    planned.plan = planExport(source, target, options, cancel);

    const QString databaseCopy = target + QLatin1Char('/') + databasePath.mid(databasePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (ExportTarget::isFreeName(databaseCopy))
        planned.databaseBytes = QFileInfo(databasePath).size();
    return planned;
}
