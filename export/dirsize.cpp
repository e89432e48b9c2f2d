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
// subdirectories are entered, so a deep tree holds one descriptor at a time.
class SizeWalker
{
public:
    explicit SizeWalker(const std::atomic<bool> *cancelled)
        : m_cancelled(cancelled)
    {
    }

    bool wasCancelled() const { return m_cancelled && m_cancelled->load(std::memory_order_relaxed); }

    qint64 walk(const std::string &path)
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
        std::vector<std::string> subdirectories;
        while (const struct dirent *entry = ::readdir(dir)) {
            if (wasCancelled())
                break;
            if (entry->d_name[0] == '.')
                continue; // hidden entries, "." and ".." alike
            if (entry->d_type == DT_DIR) {
                subdirectories.emplace_back(entry->d_name);
                continue;
            }
            // Regular files, links (followed) and unknown types.
            struct stat entryStat;
            if (::fstatat(::dirfd(dir), entry->d_name, &entryStat, 0) == -1)
                continue; // vanished, dangling link or unreadable
            if (S_ISREG(entryStat.st_mode))
                total += entryStat.st_size;
            else if (S_ISDIR(entryStat.st_mode))
                subdirectories.emplace_back(entry->d_name);
            // devices, FIFOs and sockets add nothing
        }
        ::closedir(dir);

        m_ancestors.emplace_back(st.st_dev, st.st_ino);
        for (const std::string &name : subdirectories) {
            if (wasCancelled())
                break;
            total += walk(std::string(path).append(1, '/').append(name));
        }
        m_ancestors.pop_back();
        return total;
    }

private:
    bool isAncestor(const struct stat &st) const
    {
        for (const DirectoryId &id : m_ancestors) {
            if (id.first == st.st_dev && id.second == st.st_ino)
                return true;
        }
        return false;
    }

    const std::atomic<bool> *m_cancelled;
    std::vector<DirectoryId> m_ancestors;
};

} // namespace

qint64 directorySize(const QString &path)
{
    return SizeWalker(nullptr).walk(QFile::encodeName(path).toStdString());
}

qint64 directorySize(const QString &path, const std::atomic<bool> &cancelled)
{
    SizeWalker walker(&cancelled);
    const qint64 total = walker.walk(QFile::encodeName(path).toStdString());
    return walker.wasCancelled() ? -1 : total;
}
