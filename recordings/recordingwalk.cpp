#include "recordings/recordingwalk.h"

#include "platform/descriptor.h"
#include "platform/fileutil.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

RecordingWalk::RecordingWalk(const Options &options)
    : m_options(options)
{
}

bool RecordingWalk::cancelled() const
{
    return m_options.cancel && m_options.cancel->load(std::memory_order_relaxed);
}

bool RecordingWalk::walk(const QString &source, Visitor &visitor)
{
    m_ancestors.clear();
    Descriptor top(::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top.isValid()) {
        // The export directory must be a real directory of the drive, never a
        // link planted there; missing, everything is still to copy.
        const Descriptor target(m_options.target.isEmpty()
                                        ? -1
                                        : ::open(QFile::encodeName(m_options.target).constData(),
                                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        Place place;
        place.targetFd = target.get();
        walkDirectory(std::move(top), place, visitor);
    }
    return !cancelled();
}

bool RecordingWalk::isAncestor(const struct stat &st) const
{
    for (const auto &[device, inode] : m_ancestors) {
        if (device == st.st_dev && inode == st.st_ino)
            return true;
    }
    return false;
}

void RecordingWalk::walkDirectory(Descriptor directory, const Place &place, Visitor &visitor)
{
    struct stat self;
    if (::fstat(directory.get(), &self) == -1 || isAncestor(self))
        return;
    DIR *dir = ::fdopendir(directory.get());
    if (!dir)
        return;
    // The stream owns the descriptor from here on.
    directory.release();
    const std::unique_ptr<DIR, int (*)(DIR *)> closer(dir, ::closedir);
    const ExportSelection &selection = m_options.selection;
    const bool filesChosen = selection.cameras.isEmpty()
            || (!place.relative.empty() && selection.coversPath(QFile::decodeName(place.relative.c_str()), false));

    // The first recording after the span's end, which holds its last minutes.
    struct Candidate
    {
        std::string name;
        struct stat st;
    };
    std::unique_ptr<Candidate> afterEnd;
    // Subdirectories, and whether each is a real one (not reached by a link).
    std::vector<std::pair<std::string, bool>> subdirectories;
    size_t realSubdirectories = 0;
    while (const struct dirent *entry = ::readdir(dir)) {
        if (cancelled())
            break;
        if (isHiddenName(entry->d_name))
            continue; // hidden entries, "." and ".." alike
        if (entry->d_type == DT_DIR) {
            subdirectories.emplace_back(entry->d_name, true);
            ++realSubdirectories;
            continue;
        }
        struct stat st;
        bool isLink = false;
        if (entry->d_type == DT_LNK) {
            if (!m_options.followLinks)
                continue; // rsync -a copies a link as a link: no recording
            if (::fstatat(::dirfd(dir), entry->d_name, &st, 0) == -1)
                continue; // dangling
            isLink = true;
        } else {
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == -1)
                continue; // vanished since it was listed
            if (S_ISLNK(st.st_mode)) { // a file system that does not tell the type
                if (!m_options.followLinks || ::fstatat(::dirfd(dir), entry->d_name, &st, 0) == -1)
                    continue;
                isLink = true;
            }
        }
        if (S_ISDIR(st.st_mode)) {
            subdirectories.emplace_back(entry->d_name, !isLink);
            realSubdirectories += isLink ? 0 : 1;
        } else if (S_ISREG(st.st_mode)) {
            if (isLink || !place.real) {
                visitor.linkedFile(st);
            } else if (!filesChosen) {
                // another camera's
            } else if (selection.inSpan(st.st_mtime)) {
                visitor.recording(place, entry->d_name, st);
            } else if (st.st_mtime > selection.end
                       && (!afterEnd || st.st_mtime < afterEnd->st.st_mtime
                           || (st.st_mtime == afterEnd->st.st_mtime && afterEnd->name > entry->d_name))) {
                afterEnd = std::make_unique<Candidate>(Candidate{entry->d_name, st});
            }
        }
        // devices, FIFOs and sockets are no recordings
    }
    if (afterEnd && !cancelled())
        visitor.recording(place, afterEnd->name.c_str(), afterEnd->st);
    visitor.directoryDone();

    m_ancestors.emplace_back(self.st_dev, self.st_ino);
    // Below a chain of single folders the camera folders begin.
    const bool chainGoesOn = place.aboveCameras && realSubdirectories == 1;
    for (const auto &[name, real] : subdirectories) {
        if (cancelled() || !visitor.wantsMore())
            break;
        Place child;
        child.relative = place.relative.empty() ? name : place.relative + '/' + name;
        child.real = place.real && real;
        Descriptor target;
        if (child.real) {
            const QString relative = QFile::decodeName(child.relative.c_str());
            if (!selection.coversPath(relative, true))
                continue;
            child.aboveCameras = chainGoesOn;
            child.camera = place.aboveCameras && !chainGoesOn ? visitor.camera(relative) : place.camera;
            if (place.targetFd != -1)
                target.reset(::openat(place.targetFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!target.isValid())
                visitor.missingDirectory();
        } else {
            child.aboveCameras = false;
        }
        child.targetFd = target.get();
        // Only what a link leads to is followed, and only while links are.
        Descriptor childDirectory(::openat(::dirfd(dir), name.c_str(),
                                           O_RDONLY | O_DIRECTORY | O_CLOEXEC | (real ? O_NOFOLLOW : 0)));
        if (childDirectory.isValid())
            walkDirectory(std::move(childDirectory), child, visitor);
    }
    m_ancestors.pop_back();
}
