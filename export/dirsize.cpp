#include "export/dirsize.h"

#include <QFile>

#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using DirectoryId = std::pair<dev_t, ino_t>;

// Files are examined with fstatat relative to their directory's descriptor, so
// no path is resolved per file, and the type that readdir reports saves the
// stat of every plain subdirectory. A directory is closed before its
// subdirectories are entered, so a deep tree holds one descriptor of the
// recordings at a time (and, while an index is kept, one of the drive's per
// level).
class SizeWalker
{
public:
    explicit SizeWalker(const std::atomic<bool> *cancelled, RecordingIndex *index = nullptr,
                        const ExportPlan::Options &options = ExportPlan::Options())
        : m_cancelled(cancelled)
        , m_index(index)
        , m_options(options)
    {
    }

    bool wasCancelled() const { return m_cancelled && m_cancelled->load(std::memory_order_relaxed); }

    // Where a directory stands for the index: the folders above the camera
    // folders (a chain of single folders from the top), a camera folder or
    // below one, or reached through a link, which rsync does not follow.
    struct Place
    {
        bool indexed = false;
        bool aboveCameras = false;
        int camera = RecordingIndex::kCameraLoose;
        int targetFd = -1;          // the same directory in the export on the drive, or -1
        std::string relative;       // path below the recordings directory
    };

    qint64 walk(const std::string &path, const Place &place)
    {
        if (wasCancelled())
            return 0;
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd == -1)
            return 0;
        struct stat st;
        if (::fstat(fd, &st) == -1 || isAncestor(st)) {
            ::close(fd);
            return 0;
        }
        DIR *dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return 0;
        }

        qint64 total = 0;
        // Subdirectories, and whether each is a real one (not reached by a link).
        std::vector<std::pair<std::string, bool>> subdirectories;
        size_t realSubdirectories = 0;
        while (const struct dirent *entry = ::readdir(dir)) {
            if (wasCancelled())
                break;
            if (entry->d_name[0] == '.')
                continue; // hidden entries, "." and ".." alike
            if (entry->d_type == DT_DIR) {
                subdirectories.emplace_back(entry->d_name, true);
                ++realSubdirectories;
                continue;
            }
            // Regular files, links (followed) and unknown types.
            struct stat entryStat;
            bool isLink = entry->d_type == DT_LNK;
            if (entry->d_type == DT_UNKNOWN && m_index) {
                if (::fstatat(::dirfd(dir), entry->d_name, &entryStat, AT_SYMLINK_NOFOLLOW) == -1)
                    continue;
                isLink = S_ISLNK(entryStat.st_mode);
            }
            if (::fstatat(::dirfd(dir), entry->d_name, &entryStat, 0) == -1)
                continue; // vanished, dangling link or unreadable
            if (S_ISREG(entryStat.st_mode)) {
                total += entryStat.st_size;
                if (place.indexed && !isLink)
                    indexFile(place, entryStat, entry->d_name);
            } else if (S_ISDIR(entryStat.st_mode)) {
                subdirectories.emplace_back(entry->d_name, !isLink);
                realSubdirectories += isLink ? 0 : 1;
            }
            // devices, FIFOs and sockets add nothing
        }
        ::closedir(dir);
        if (m_index)
            m_index->endDirectory();

        m_ancestors.emplace_back(st.st_dev, st.st_ino);
        // Below a chain of single folders the camera folders begin.
        const bool chainGoesOn = place.aboveCameras && realSubdirectories == 1;
        for (const auto &[name, real] : subdirectories) {
            if (wasCancelled())
                break;
            Place child;
            if (place.indexed && real) {
                child.indexed = true;
                child.relative = place.relative.empty() ? name : place.relative + '/' + name;
                child.aboveCameras = chainGoesOn;
                child.camera = place.camera;
                if (place.aboveCameras && !chainGoesOn)
                    child.camera = m_index->addCamera(QFile::decodeName(child.relative.c_str()));
                if (place.targetFd != -1)
                    child.targetFd = ::openat(place.targetFd, name.c_str(),
                                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child.targetFd == -1)
                    m_index->addDirectory(m_options.blockSize);
            }
            total += walk(std::string(path).append(1, '/').append(name), child);
            if (child.targetFd != -1)
                ::close(child.targetFd);
        }
        m_ancestors.pop_back();
        return total;
    }

private:
    void indexFile(const Place &place, const struct stat &st, const char *name)
    {
        if (!m_index)
            return;
        // rsync leaves out what the stick's file system cannot hold.
        if (m_options.maxFileSize >= 0 && st.st_size > m_options.maxFileSize)
            return;
        m_index->addFile(place.camera, st.st_mtime, sizesOnDrive(st, place.targetFd, name, m_options));
    }

    bool isAncestor(const struct stat &st) const
    {
        for (const DirectoryId &id : m_ancestors) {
            if (id.first == st.st_dev && id.second == st.st_ino)
                return true;
        }
        return false;
    }

    const std::atomic<bool> *m_cancelled;
    RecordingIndex *m_index;
    ExportPlan::Options m_options;
    std::vector<DirectoryId> m_ancestors;
};

} // namespace

qint64 directorySize(const QString &path)
{
    return SizeWalker(nullptr).walk(QFile::encodeName(path).toStdString(), SizeWalker::Place());
}

qint64 directorySize(const QString &path, const std::atomic<bool> &cancelled)
{
    SizeWalker walker(&cancelled);
    const qint64 total = walker.walk(QFile::encodeName(path).toStdString(), SizeWalker::Place());
    return walker.wasCancelled() ? -1 : total;
}

RecordingCount countRecordings(const QString &path, const QString &target, const ExportPlan::Options &options,
                               qint64 now, const std::atomic<bool> &cancelled)
{
    RecordingCount count;
    count.index = RecordingIndex(now);
    SizeWalker walker(&cancelled, &count.index, options);
    SizeWalker::Place top;
    top.indexed = true;
    top.aboveCameras = true;
    // The export directory must be a real directory of the drive, never a
    // link planted there; missing, everything is still to copy.
    top.targetFd = ::open(QFile::encodeName(target).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const qint64 total = walker.walk(QFile::encodeName(path).toStdString(), top);
    if (top.targetFd != -1)
        ::close(top.targetFd);
    count.totalBytes = walker.wasCancelled() ? -1 : total;
    count.index.finish();
    return count;
}
