#include "export/databasecopy.h"

#include "platform/descriptor.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QRandomGenerator>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What went wrong, as far as the person at the recorder can act on it.
enum class Reason { Missing, Unreadable, Corrupt, Busy, DriveFull, TooLarge, NotRegular, TargetDir, DriveWrite, Other };

QString reasonText(Reason reason)
{
    switch (reason) {
    case Reason::Missing: return QStringLiteral("找不到数据库文件");
    case Reason::Unreadable: return QStringLiteral("无法读取数据库文件");
    case Reason::Corrupt: return QStringLiteral("数据库文件已损坏");
    case Reason::Busy: return QStringLiteral("数据库被占用");
    case Reason::DriveFull: return QStringLiteral("U盘空间不足");
    case Reason::TooLarge: return QStringLiteral("文件超出U盘文件系统的大小上限");
    case Reason::NotRegular: return QStringLiteral("U盘上的同名项目不是普通文件");
    case Reason::TargetDir: return QStringLiteral("无法打开U盘上的导出目录");
    case Reason::DriveWrite: return QStringLiteral("U盘读写失败");
    case Reason::Other: break;
    }
    return QStringLiteral("复制出错");
}

// A failed call on the drive, by its errno.
Reason driveReason(int error)
{
    if (error == ENOSPC || error == EDQUOT)
        return Reason::DriveFull;
    // FAT32 ends every file at 4 GiB, and says so with EFBIG.
    if (error == EFBIG)
        return Reason::TooLarge;
    return Reason::DriveWrite;
}

DatabaseCopy::Result failure(Reason reason, const QString &detail)
{
    DatabaseCopy::Result result;
    result.outcome = DatabaseCopy::Result::Failed;
    result.error = QStringLiteral("报警数据库复制失败：") + reasonText(reason);
    qWarning().noquote() << result.error << "-" << detail;
    return result;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The hidden file the snapshot is written to before it gets its name. It is
// removed again unless it was renamed into place, so that a failure leaves
// nothing behind on the drive.
class TempFile
{
public:
    explicit TempFile(int dirFd) : m_dirFd(dirFd) {}
    ~TempFile()
    {
        m_fd.reset();
        if (!m_name.isEmpty())
            ::unlinkat(m_dirFd, m_name.constData(), 0);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // Creates "." + name + ".corvalet-XXXXXXXX"; O_EXCL and O_NOFOLLOW make
    // sure it is a new file of this directory and nothing a link points to.
    // Returns 0 or the errno of the failure.
    int create(const QByteArray &finalName)
    {
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
    int fd() const { return m_fd.get(); }
    const QByteArray &name() const { return m_name; }
    // The file has its final name now and must stay.
    void release() { m_name.clear(); }

private:
    int m_dirFd;
    Descriptor m_fd;
    QByteArray m_name;
};

// ---------------------------------------------------------------------------
// The destination of the backup is opened by SQLite through this small VFS,
// which hands SQLite a duplicate of the temporary file's descriptor instead of
// letting it open a path on the drive. So SQLite never resolves a name on the
// drive (no link there can redirect it), and it cannot create a journal or any
// other file next to the copy: the VFS opens the one file and nothing else.
// Its locks do nothing, since nobody else knows the file's random name.

struct PinnedTarget {
    QByteArray path; // the name SQLite is given for the file; used in its messages
    int fd = -1;
    int lastErrno = 0; // of the last failed call on the file, for the reason
};

// The target of the copy running on this thread; SQLite calls the VFS on the
// thread that calls it.
thread_local PinnedTarget *currentTarget = nullptr;

struct PinnedFile {
    sqlite3_file base; // first, as SQLite sees only this part
    int fd;
    PinnedTarget *target;
};

PinnedFile *pinned(sqlite3_file *file)
{
    return reinterpret_cast<PinnedFile *>(file);
}

int pinnedClose(sqlite3_file *file)
{
    PinnedFile *f = pinned(file);
    if (f->fd >= 0)
        ::close(f->fd);
    f->fd = -1;
    return SQLITE_OK;
}

int pinnedRead(sqlite3_file *file, void *buffer, int amount, sqlite3_int64 offset)
{
    PinnedFile *f = pinned(file);
    char *out = static_cast<char *>(buffer);
    int done = 0;
    while (done < amount) {
        const ssize_t got = ::pread(f->fd, out + done, static_cast<size_t>(amount - done), offset + done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            f->target->lastErrno = errno;
            return SQLITE_IOERR_READ;
        }
        if (got == 0)
            break;
        done += static_cast<int>(got);
    }
    if (done < amount) {
        // SQLite relies on the part past the end of the file reading as zeros.
        std::memset(out + done, 0, static_cast<size_t>(amount - done));
        return SQLITE_IOERR_SHORT_READ;
    }
    return SQLITE_OK;
}

int pinnedWrite(sqlite3_file *file, const void *buffer, int amount, sqlite3_int64 offset)
{
    PinnedFile *f = pinned(file);
    const char *in = static_cast<const char *>(buffer);
    int done = 0;
    while (done < amount) {
        const ssize_t put = ::pwrite(f->fd, in + done, static_cast<size_t>(amount - done), offset + done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            f->target->lastErrno = put < 0 ? errno : ENOSPC;
            return driveReason(f->target->lastErrno) == Reason::DriveFull ? SQLITE_FULL : SQLITE_IOERR_WRITE;
        }
        done += static_cast<int>(put);
    }
    return SQLITE_OK;
}

int pinnedTruncate(sqlite3_file *file, sqlite3_int64 size)
{
    PinnedFile *f = pinned(file);
    if (::ftruncate(f->fd, size) == 0)
        return SQLITE_OK;
    f->target->lastErrno = errno;
    return SQLITE_IOERR_TRUNCATE;
}

int pinnedSync(sqlite3_file *file, int)
{
    PinnedFile *f = pinned(file);
    if (::fsync(f->fd) == 0)
        return SQLITE_OK;
    f->target->lastErrno = errno;
    return SQLITE_IOERR_FSYNC;
}

int pinnedFileSize(sqlite3_file *file, sqlite3_int64 *size)
{
    PinnedFile *f = pinned(file);
    struct stat st;
    if (::fstat(f->fd, &st) != 0) {
        f->target->lastErrno = errno;
        return SQLITE_IOERR_FSTAT;
    }
    *size = st.st_size;
    return SQLITE_OK;
}

int pinnedLock(sqlite3_file *, int)
{
    return SQLITE_OK;
}

int pinnedCheckReservedLock(sqlite3_file *, int *reserved)
{
    *reserved = 0;
    return SQLITE_OK;
}

int pinnedFileControl(sqlite3_file *, int, void *)
{
    return SQLITE_NOTFOUND;
}

int pinnedSectorSize(sqlite3_file *)
{
    return 4096;
}

int pinnedDeviceCharacteristics(sqlite3_file *)
{
    return 0;
}

const sqlite3_io_methods pinnedMethods = {
    1, pinnedClose, pinnedRead, pinnedWrite, pinnedTruncate, pinnedSync, pinnedFileSize, pinnedLock, pinnedLock,
    pinnedCheckReservedLock, pinnedFileControl, pinnedSectorSize, pinnedDeviceCharacteristics,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

int pinnedOpen(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    PinnedFile *f = pinned(file);
    f->base.pMethods = nullptr; // tells SQLite there is nothing to close when the open fails
    PinnedTarget *target = currentTarget;
    if (target == nullptr || name == nullptr || (flags & SQLITE_OPEN_MAIN_DB) == 0 || target->path != name)
        return SQLITE_CANTOPEN;
    f->fd = ::fcntl(target->fd, F_DUPFD_CLOEXEC, 0);
    if (f->fd < 0) {
        target->lastErrno = errno;
        return SQLITE_CANTOPEN;
    }
    f->target = target;
    f->base.pMethods = &pinnedMethods;
    if (outFlags != nullptr)
        *outFlags = flags;
    return SQLITE_OK;
}

int pinnedDelete(sqlite3_vfs *, const char *, int)
{
    return SQLITE_IOERR_DELETE;
}

// No journal, WAL or other file exists beside the copy as far as SQLite is
// concerned; none may be made either.
int pinnedAccess(sqlite3_vfs *, const char *, int, int *result)
{
    *result = 0;
    return SQLITE_OK;
}

int pinnedFullPathname(sqlite3_vfs *, const char *name, int size, char *out)
{
    if (static_cast<int>(std::strlen(name)) >= size)
        return SQLITE_CANTOPEN;
    sqlite3_snprintf(size, out, "%s", name);
    return SQLITE_OK;
}

sqlite3_vfs *baseVfs(sqlite3_vfs *vfs)
{
    return static_cast<sqlite3_vfs *>(vfs->pAppData);
}

int pinnedRandomness(sqlite3_vfs *vfs, int size, char *out)
{
    return baseVfs(vfs)->xRandomness(baseVfs(vfs), size, out);
}

int pinnedSleep(sqlite3_vfs *vfs, int microseconds)
{
    return baseVfs(vfs)->xSleep(baseVfs(vfs), microseconds);
}

int pinnedCurrentTime(sqlite3_vfs *vfs, double *now)
{
    return baseVfs(vfs)->xCurrentTime(baseVfs(vfs), now);
}

int pinnedGetLastError(sqlite3_vfs *vfs, int size, char *out)
{
    return baseVfs(vfs)->xGetLastError(baseVfs(vfs), size, out);
}

const char pinnedVfsName[] = "corvalet-pinned";

// Registers the VFS once; false when SQLite could not be set up at all.
bool registerPinnedVfs()
{
    static const bool registered = [] {
        static sqlite3_vfs vfs;
        sqlite3_vfs *base = sqlite3_vfs_find(nullptr);
        if (base == nullptr)
            return false;
        vfs.iVersion = 1;
        vfs.szOsFile = static_cast<int>(sizeof(PinnedFile));
        vfs.mxPathname = 4096;
        vfs.zName = pinnedVfsName;
        vfs.pAppData = base;
        vfs.xOpen = pinnedOpen;
        vfs.xDelete = pinnedDelete;
        vfs.xAccess = pinnedAccess;
        vfs.xFullPathname = pinnedFullPathname;
        // xDlOpen and its kin stay null: extensions are never loaded here.
        vfs.xRandomness = pinnedRandomness;
        vfs.xSleep = pinnedSleep;
        vfs.xCurrentTime = pinnedCurrentTime;
        vfs.xGetLastError = pinnedGetLastError;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    return registered;
}

// Sets the copy's target for the VFS while it lives.
class PinnedScope
{
public:
    explicit PinnedScope(PinnedTarget *target) { currentTarget = target; }
    ~PinnedScope() { currentTarget = nullptr; }
    PinnedScope(const PinnedScope &) = delete;
    PinnedScope &operator=(const PinnedScope &) = delete;
};

class Connection
{
public:
    Connection() = default;
    ~Connection() { close(); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    sqlite3 **out() { return &m_db; }
    sqlite3 *get() const { return m_db; }
    int close()
    {
        const int rc = sqlite3_close(m_db);
        m_db = nullptr;
        return rc;
    }

private:
    sqlite3 *m_db = nullptr;
};

QString sqliteDetail(sqlite3 *db, int rc)
{
    return QString::fromUtf8(db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + QStringLiteral(" (")
            + QString::number(rc) + QLatin1Char(')');
}

// The reason for an SQLite result that failed the backup. A call on the drive
// that failed left its errno in `target`; everything else came from the side
// of the recorder's database.
Reason backupReason(int rc, const PinnedTarget &target)
{
    if (target.lastErrno != 0)
        return driveReason(target.lastErrno);
    switch (rc & 0xff) {
    case SQLITE_FULL: return Reason::DriveFull;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return Reason::Busy;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return Reason::Corrupt;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_PERM:
    case SQLITE_AUTH:
    case SQLITE_READONLY: return Reason::Unreadable;
    default: return Reason::Other;
    }
}

struct Failure {
    Reason reason = Reason::Other;
    QString detail;
};

// Takes a snapshot of the database at `sourcePath` into the temporary file
// with SQLite's online backup. The source is opened read-only, so it reads the
// WAL as any reader does: every committed transaction is in the snapshot. The
// whole database is copied in one step, under one read transaction, because
// a backup taken in several steps starts over whenever the recorder writes in
// between, which a busy recorder may do for ever. In WAL mode that read
// transaction does not hold up the recorder's writers.
bool backupInto(const QByteArray &sourcePath, const QByteArray &destinationPath, int destinationFd,
                int busyTimeoutMs, Failure *failed)
{
    if (!registerPinnedVfs()) {
        *failed = {Reason::Other, QStringLiteral("SQLite could not be set up")};
        return false;
    }
    PinnedTarget target;
    target.path = destinationPath;
    target.fd = destinationFd;
    const PinnedScope scope(&target);

    Connection source;
    int rc = sqlite3_open_v2(sourcePath.constData(), source.out(), SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        *failed = {backupReason(rc, PinnedTarget()), sqliteDetail(source.get(), rc)};
        return false;
    }
    Connection destination;
    rc = sqlite3_open_v2(destinationPath.constData(), destination.out(), SQLITE_OPEN_READWRITE, pinnedVfsName);
    // No journal on the drive; the file only gets its name once it is whole
    // and flushed, so a torn write never shows as a database there. The one
    // flush is done outside, after the backup.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(destination.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", nullptr, nullptr,
                          nullptr);
    if (rc != SQLITE_OK) {
        *failed = {backupReason(rc, target), sqliteDetail(destination.get(), rc)};
        return false;
    }

    sqlite3_backup *backup = sqlite3_backup_init(destination.get(), "main", source.get(), "main");
    if (backup == nullptr) {
        rc = sqlite3_errcode(destination.get());
        *failed = {backupReason(rc, target), sqliteDetail(destination.get(), rc)};
        return false;
    }
    // The busy handler waits for a writer that holds the source locked; the
    // loop waits, within the same time-out, where SQLite gives up at once
    // without asking the handler (SQLITE_LOCKED, and SQLITE_BUSY in the
    // cases where waiting could deadlock another connection).
    const QDeadlineTimer deadline(std::max(0, busyTimeoutMs));
    for (;;) {
        sqlite3_busy_timeout(source.get(), static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        rc = sqlite3_backup_step(backup, -1);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || deadline.hasExpired())
            break;
        sqlite3_sleep(static_cast<int>(std::min<qint64>(50, std::max<qint64>(1, deadline.remainingTime()))));
    }
    const int finished = sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE)
        rc = finished;
    if (rc == SQLITE_OK)
        rc = destination.close();
    if (rc != SQLITE_OK) {
        const QString where = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED
                ? QStringLiteral("locked for more than %1 ms: ").arg(busyTimeoutMs)
                : QString();
        *failed = {backupReason(rc, target),
                   where + sqliteDetail(nullptr, rc)
                           + (target.lastErrno != 0 ? QStringLiteral(", ") + errnoText(target.lastErrno) : QString())};
        return false;
    }
    return true;
}

// Writes all of `size` bytes or returns the errno of the failure.
int writeAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return put < 0 ? errno : ENOSPC;
        data += put;
        size -= static_cast<size_t>(put);
    }
    return 0;
}

// Reads up to `size` bytes at `offset`, fewer only at the end of the file;
// -1 on an error.
ssize_t readAt(int fd, char *data, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

constexpr size_t chunkSize = size_t(1) << 20; // 1 MiB

bool copyBytes(int from, int to, Failure *failed)
{
    std::vector<char> buffer(chunkSize);
    for (off_t offset = 0;;) {
        const ssize_t got = readAt(from, buffer.data(), buffer.size(), offset);
        if (got < 0) {
            const int error = errno;
            *failed = {Reason::Unreadable, QStringLiteral("read: ") + errnoText(error)};
            return false;
        }
        if (got == 0)
            return true;
        const int error = writeAll(to, buffer.data(), static_cast<size_t>(got));
        if (error != 0) {
            *failed = {driveReason(error), QStringLiteral("write: ") + errnoText(error)};
            return false;
        }
        offset += got;
    }
}

const char sqliteMagic[] = "SQLite format 3"; // with its NUL, the first 16 bytes of every database
constexpr size_t sqliteMagicSize = sizeof sqliteMagic;

bool isSqliteHeader(const char *data, size_t size)
{
    return size >= sqliteMagicSize && std::memcmp(data, sqliteMagic, sqliteMagicSize) == 0;
}

// Whether the new snapshot holds what the earlier copy holds.
//
// Two backups of a database that did not change come out byte for byte the
// same: the pages are copied as they are, and the header fields the backup
// writes about the file itself start afresh in every new file, whatever the
// recorder wrote in between without changing anything (an UPDATE that sets a
// value to itself, a checkpoint). Those fields are the file change counter
// (offset 24), the schema cookie (40; the backup sets it to 1, where the
// recorder's file counts its schema changes), the "version valid for" counter
// (92) and the version of the SQLite library that wrote the file (96). They
// tell other connections to re-read the file and say nothing about the data,
// yet they differ from an earlier copy made another way (the old byte copy of
// a checkpointed database carries the recorder's counters) or after an update
// of the recorder's SQLite. So in two database files these sixteen bytes are
// left out of the comparison and every other byte must match; any change of
// the data, the schema included, shows in other bytes. Files that are not
// databases compare as plain bytes.
enum class Same { Yes, No, Unreadable };
constexpr size_t writerFields[] = {24, 40, 92, 96}; // four bytes each

Same compareFiles(int newFd, int oldFd, off_t size, int *error)
{
    std::vector<char> a(chunkSize);
    std::vector<char> b(chunkSize);
    for (off_t offset = 0; offset < size;) {
        const size_t want = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(chunkSize), size - offset));
        const ssize_t gotA = readAt(newFd, a.data(), want, offset);
        if (gotA < 0) {
            *error = errno;
            return Same::Unreadable;
        }
        const ssize_t gotB = readAt(oldFd, b.data(), want, offset);
        if (gotB < 0) {
            *error = errno;
            return Same::Unreadable;
        }
        if (gotA != gotB)
            return Same::No;
        const size_t got = static_cast<size_t>(gotA);
        if (offset == 0 && got >= 100 && isSqliteHeader(a.data(), got) && isSqliteHeader(b.data(), got)) {
            for (const size_t field : writerFields) {
                std::memset(a.data() + field, 0, 4);
                std::memset(b.data() + field, 0, 4);
            }
        }
        if (got == 0 || std::memcmp(a.data(), b.data(), got) != 0)
            return Same::No;
        offset += gotA;
    }
    return Same::Yes;
}

// "alarms.db" with a time of 2026-12-07 10:15:00 gives "alarms-20261207-101500.db",
// and with `number` 2 "alarms-20261207-101500-2.db". A leading dot starts no
// extension.
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

} // namespace

namespace DatabaseCopy {

Result copy(const QString &databasePath, const QString &targetDir, int busyTimeoutMs)
{
    const QString name = databasePath.mid(databasePath.lastIndexOf(QLatin1Char('/')) + 1);
    const QByteArray sourcePath = QFile::encodeName(databasePath);
    const QByteArray fileName = QFile::encodeName(name);

    const Descriptor source(::open(sourcePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (source.get() < 0) {
        const int error = errno;
        return failure(error == ENOENT || error == ENOTDIR ? Reason::Missing : Reason::Unreadable,
                       databasePath + QStringLiteral(": ") + errnoText(error));
    }
    struct stat sourceStat;
    if (::fstat(source.get(), &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode) || name.isEmpty()
            || name == QLatin1String(".") || name == QLatin1String("..") || fileName.contains('\0'))
        return failure(Reason::Unreadable, databasePath + QStringLiteral(": not a regular file"));
    char header[sqliteMagicSize];
    const ssize_t headerSize = readAt(source.get(), header, sizeof header, 0);
    if (headerSize < 0) {
        const int error = errno;
        return failure(Reason::Unreadable, databasePath + QStringLiteral(": ") + errnoText(error));
    }
    const bool isDatabase = isSqliteHeader(header, static_cast<size_t>(headerSize));

    const Descriptor dir(::open(QFile::encodeName(targetDir).constData(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) {
        const int error = errno;
        return failure(Reason::TargetDir, targetDir + QStringLiteral(": ") + errnoText(error));
    }

    // Whatever is at the name already is only ever looked at, opened for
    // reading with O_NOFOLLOW or renamed: a link, a directory or a FIFO there
    // (none of which an export makes) stops the copy before anything is written.
    struct stat earlierStat;
    bool hasEarlier = ::fstatat(dir.get(), fileName.constData(), &earlierStat, AT_SYMLINK_NOFOLLOW) == 0;
    if (!hasEarlier && errno != ENOENT) {
        const int error = errno;
        return failure(Reason::DriveWrite, name + QStringLiteral(" on the drive: ") + errnoText(error));
    }
    if (hasEarlier && !S_ISREG(earlierStat.st_mode))
        return failure(Reason::NotRegular, name + QStringLiteral(" on the drive is not a regular file"));

    TempFile temp(dir.get());
    if (const int error = temp.create(fileName))
        return failure(driveReason(error), QStringLiteral("temporary file: ") + errnoText(error));
    const QString tempPath = targetDir + QLatin1Char('/') + QFile::decodeName(temp.name());

    Failure failed;
    const bool snapshotTaken = isDatabase
            ? backupInto(sourcePath, QFile::encodeName(tempPath), temp.fd(), busyTimeoutMs, &failed)
            : copyBytes(source.get(), temp.fd(), &failed);
    if (!snapshotTaken)
        return failure(failed.reason, databasePath + QStringLiteral(" -> ") + tempPath + QStringLiteral(": ")
                               + failed.detail);

    // The look above was a while ago; O_NOFOLLOW refuses a link planted since
    // (ELOOP), O_NONBLOCK keeps a FIFO from blocking the open.
    Descriptor earlier;
    if (hasEarlier) {
        earlier.reset(::openat(dir.get(), fileName.constData(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        const int error = errno;
        if (earlier.get() < 0 && error == ENOENT)
            hasEarlier = false;
        else if (earlier.get() < 0 && error != ELOOP)
            return failure(Reason::DriveWrite, name + QStringLiteral(" on the drive: ") + errnoText(error));
        else if (earlier.get() < 0 || ::fstat(earlier.get(), &earlierStat) != 0 || !S_ISREG(earlierStat.st_mode))
            return failure(Reason::NotRegular, name + QStringLiteral(" on the drive is no longer a regular file"));
    }
    if (hasEarlier) {
        struct stat newStat;
        if (::fstat(temp.fd(), &newStat) != 0) {
            const int error = errno;
            return failure(driveReason(error), tempPath + QStringLiteral(": ") + errnoText(error));
        }
        int error = 0;
        const Same same = newStat.st_size == earlierStat.st_size
                ? compareFiles(temp.fd(), earlier.get(), newStat.st_size, &error)
                : Same::No;
        if (same == Same::Yes) {
            qInfo().noquote() << "报警数据库未变化，U盘上的副本保持不变:" << targetDir + QLatin1Char('/') + name;
            Result result;
            result.outcome = Result::Unchanged;
            return result;
        }
        // An earlier copy that cannot be read back is kept as well: it may
        // hold alarms the recorder no longer has.
        if (same == Same::Unreadable)
            qWarning().noquote() << "U盘上的报警数据库副本无法读取，按不同处理:" << name << errnoText(error);
    }

    if (::fsync(temp.fd()) != 0) {
        const int error = errno;
        return failure(driveReason(error), tempPath + QStringLiteral(": fsync: ") + errnoText(error));
    }

    QString keptAs;
    if (hasEarlier) {
        int error = EEXIST;
        for (int number = 0; number < 1000 && error == EEXIST; ++number) {
            keptAs = datedName(name, earlierStat.st_mtim.tv_sec, number);
            error = renameNoReplace(dir.get(), fileName.constData(), QFile::encodeName(keptAs).constData());
        }
        if (error != 0)
            return failure(driveReason(error), QStringLiteral("keeping the earlier ") + name + QStringLiteral(" as ")
                                   + keptAs + QStringLiteral(": ") + errnoText(error));
    }
    if (const int error = renameNoReplace(dir.get(), temp.name().constData(), fileName.constData())) {
        // Put the earlier copy back where it was.
        if (!keptAs.isEmpty())
            renameNoReplace(dir.get(), QFile::encodeName(keptAs).constData(), fileName.constData());
        return failure(driveReason(error), tempPath + QStringLiteral(" -> ") + name + QStringLiteral(": ")
                               + errnoText(error));
    }
    temp.release();
    // The renames reach the drive with the flush at the end of the export as
    // well; some drivers (FUSE ones) refuse fsync on a directory, so a failure
    // here only goes to the log.
    if (::fsync(dir.get()) != 0) {
        const int error = errno;
        qWarning().noquote() << "fsync of the export directory failed:" << targetDir << errnoText(error);
    }

    qInfo().noquote() << "报警数据库已复制到U盘:" << targetDir + QLatin1Char('/') + name
                      << (keptAs.isEmpty() ? QString() : QStringLiteral("(原副本保留为 ") + keptAs + QLatin1Char(')'));
    Result result;
    result.outcome = Result::Copied;
    result.keptAs = keptAs;
    return result;
}

} // namespace DatabaseCopy
