#include "proof/stickfile.h"

#include "platform/fileutil.h"
#include "platform/sha256.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace StickFile {

namespace {

constexpr size_t kChunk = size_t(1) << 20; // 1 MiB

// Renames `from` to `to` in the directory unless `to` exists; 0 or an errno.
// RENAME_NOREPLACE makes that one step where the driver knows it; FUSE
// drivers such as exfat-fuse and ntfs-3g do not, and there a look just
// before the plain rename has to do.
int renameNoReplace(int dirFd, const char *from, const char *to)
{
    if (::renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    struct stat st;
    if (::fstatat(dirFd, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return ::renameat(dirFd, from, dirFd, to) == 0 ? 0 : errno;
}

Placed failed(int error, const QString &detail, Placed::Outcome outcome = Placed::Failed)
{
    Placed placed;
    placed.outcome = outcome;
    placed.error = error;
    placed.detail = detail;
    return placed;
}

} // namespace

TempFile::TempFile(int dirFd)
    : m_dirFd(dirFd)
{
}

TempFile::~TempFile()
{
    m_fd.reset();
    if (!m_name.isEmpty())
        ::unlinkat(m_dirFd, m_name.constData(), 0);
}

int TempFile::create(const QByteArray &finalName)
{
    // O_EXCL and O_NOFOLLOW make sure it is a new file of this directory and
    // nothing a link points to.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QByteArray name = '.' + finalName + ".corvalet-"
                + QByteArray::number(QRandomGenerator::global()->generate64(), 36).right(8);
        const int fd = ::openat(m_dirFd, name.constData(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
        if (fd >= 0) {
            m_fd.reset(fd);
            m_name = name;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : ENOSPC;
        data += put;
        size -= size_t(put);
    }
    return 0;
}

ssize_t readAt(int fd, char *data, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, data + done, size - done, offset + off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += size_t(got);
    }
    return ssize_t(done);
}

QString datedName(const QString &name, time_t modified, int number)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    QString dated = base + QLatin1Char('-')
            + QDateTime::fromSecsSinceEpoch(modified, Qt::LocalTime).toString(QStringLiteral("yyyyMMdd-HHmmss"));
    if (number > 0)
        dated += QLatin1Char('-') + QString::number(number);
    return dated + extension;
}

Same sameBytes(int newFd, int earlierFd, off_t size, int *error, const Mask &mask)
{
    std::vector<char> a(kChunk);
    std::vector<char> b(kChunk);
    for (off_t offset = 0; offset < size;) {
        const size_t want = size_t(std::min<off_t>(off_t(kChunk), size - offset));
        const ssize_t gotA = readAt(newFd, a.data(), want, offset);
        const ssize_t gotB = gotA < 0 ? -1 : readAt(earlierFd, b.data(), want, offset);
        if (gotA < 0 || gotB < 0) {
            *error = errno;
            return Same::Unreadable;
        }
        if (gotA != gotB || gotA == 0)
            return Same::No;
        if (offset == 0 && mask) {
            mask(a.data(), size_t(gotA));
            mask(b.data(), size_t(gotB));
        }
        if (std::memcmp(a.data(), b.data(), size_t(gotA)) != 0)
            return Same::No;
        offset += gotA;
    }
    return Same::Yes;
}

Placed check(int dirFd, const QByteArray &name)
{
    struct stat st;
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode))
            return failed(0, QFile::decodeName(name) + QStringLiteral(" on the drive is not a regular file"),
                          Placed::NotRegular);
    } else if (errno != ENOENT) {
        const int error = errno;
        return failed(error, QFile::decodeName(name) + QStringLiteral(" on the drive: ") + errnoText(error));
    }
    Placed fine;
    fine.outcome = Placed::Written;
    return fine;
}

Placed putInPlace(int dirFd, TempFile &temp, const QByteArray &name, const Comparison &same)
{
    const QString shown = QFile::decodeName(name);
    // The look of check() was a while ago; O_NOFOLLOW refuses a link planted
    // since (ELOOP), O_NONBLOCK keeps a FIFO from blocking the open.
    const Descriptor earlier(::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    bool hasEarlier = earlier.isValid();
    struct stat earlierStat;
    if (!hasEarlier) {
        const int error = errno;
        if (error == ELOOP)
            return failed(0, shown + QStringLiteral(" on the drive is no longer a regular file"), Placed::NotRegular);
        if (error != ENOENT)
            return failed(error, shown + QStringLiteral(" on the drive: ") + errnoText(error));
    } else if (::fstat(earlier.get(), &earlierStat) != 0 || !S_ISREG(earlierStat.st_mode)) {
        return failed(0, shown + QStringLiteral(" on the drive is no longer a regular file"), Placed::NotRegular);
    }
    if (hasEarlier) {
        struct stat newStat;
        if (::fstat(temp.fd(), &newStat) != 0) {
            const int error = errno;
            return failed(error, QStringLiteral("temporary file: ") + errnoText(error));
        }
        int error = 0;
        Same verdict = Same::No;
        if (newStat.st_size == earlierStat.st_size)
            verdict = same ? same(temp.fd(), earlier.get(), newStat.st_size, &error)
                           : sameBytes(temp.fd(), earlier.get(), newStat.st_size, &error);
        if (verdict == Same::Yes) {
            Placed unchanged;
            unchanged.outcome = Placed::Unchanged;
            return unchanged;
        }
        // An earlier copy that cannot be read back is kept as well: it may
        // hold what the recorder no longer has.
        if (verdict == Same::Unreadable)
            qWarning().noquote() << "U盘上的旧副本无法读取，按不同处理:" << shown << errnoText(error);
    }

    if (::fsync(temp.fd()) != 0) {
        const int error = errno;
        return failed(error, QStringLiteral("fsync: ") + errnoText(error));
    }
    Placed placed;
    placed.outcome = Placed::Written;
    if (hasEarlier) {
        int error = EEXIST;
        for (int number = 0; number < 1000 && error == EEXIST; ++number) {
            placed.keptAs = datedName(shown, earlierStat.st_mtim.tv_sec, number);
            error = renameNoReplace(dirFd, name.constData(), QFile::encodeName(placed.keptAs).constData());
        }
        if (error != 0)
            return failed(error, QStringLiteral("keeping the earlier ") + shown + QStringLiteral(" as ") + placed.keptAs
                                  + QStringLiteral(": ") + errnoText(error));
    }
    if (const int error = renameNoReplace(dirFd, temp.name().constData(), name.constData())) {
        // Put the earlier copy back where it was.
        if (!placed.keptAs.isEmpty())
            renameNoReplace(dirFd, QFile::encodeName(placed.keptAs).constData(), name.constData());
        return failed(error, QStringLiteral("-> ") + shown + QStringLiteral(": ") + errnoText(error));
    }
    temp.release();
    // The renames reach the drive with the flush at the end of the export as
    // well; some drivers (FUSE ones) refuse fsync on a directory, so a failure
    // here only goes to the log.
    if (::fsync(dirFd) != 0) {
        const int error = errno;
        qWarning().noquote() << "fsync of the export directory failed:" << errnoText(error);
    }
    return placed;
}

Placed replace(int dirFd, TempFile &temp, const QByteArray &name)
{
    if (::fsync(temp.fd()) != 0) {
        const int error = errno;
        return failed(error, QStringLiteral("fsync: ") + errnoText(error));
    }
    if (::renameat(dirFd, temp.name().constData(), dirFd, name.constData()) != 0) {
        const int error = errno;
        return failed(error, QStringLiteral("-> ") + QFile::decodeName(name) + QStringLiteral(": ") + errnoText(error));
    }
    temp.release();
    if (::fsync(dirFd) != 0) {
        const int error = errno;
        qWarning().noquote() << "fsync of the export directory failed:" << errnoText(error);
    }
    Placed placed;
    placed.outcome = Placed::Written;
    return placed;
}

// The digests a stream takes; SHA-512 only for a file that is signed.
struct Stream::Digests
{
    Sha256 sha256;
    std::unique_ptr<Sha512> sha512;
};

Stream::Stream(int dirFd, const QByteArray &name, bool sha512)
    : m_dirFd(dirFd)
    , m_name(name)
    , m_temp(dirFd)
    , m_placed(check(dirFd, name))
    , m_digests(std::make_unique<Digests>())
{
    if (sha512)
        m_digests->sha512 = std::make_unique<Sha512>();
    if (m_placed.outcome == Placed::Written)
        m_error = m_temp.create(name);
}

Stream::~Stream() = default;

bool Stream::isOpen() const
{
    return m_placed.outcome == Placed::Written && m_error == 0;
}

bool Stream::write(const QByteArray &bytes)
{
    constexpr int kStreamChunk = 64 * 1024;
    if (!isOpen())
        return false;
    m_digests->sha256.update(bytes);
    if (m_digests->sha512)
        m_digests->sha512->update(bytes);
    m_buffer += bytes;
    return m_buffer.size() < kStreamChunk || flush();
}

bool Stream::flush()
{
    m_error = writeAll(m_temp.fd(), m_buffer.constData(), size_t(m_buffer.size()));
    m_buffer.clear();
    return m_error == 0;
}

Placed Stream::finish(QByteArray *sha256, QByteArray *sha512)
{
    if (isOpen() && flush()) {
        if (sha256)
            *sha256 = m_digests->sha256.finish();
        if (sha512 && m_digests->sha512)
            *sha512 = m_digests->sha512->finish();
        return putInPlace(m_dirFd, m_temp, m_name);
    }
    if (m_placed.outcome == Placed::Written) {
        m_placed.outcome = Placed::Failed;
        m_placed.error = m_error;
        m_placed.detail = QFile::decodeName(m_name) + QStringLiteral(": ") + errnoText(m_error);
    }
    return m_placed;
}

} // namespace StickFile
