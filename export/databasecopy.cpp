#include "export/databasecopy.h"

#include "proof/stickfile.h"
#include "platform/descriptor.h"
#include "platform/fileutil.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What went wrong, as far as the person at the recorder can act on it.
enum class Reason { Missing, Unreadable, Corrupt, Busy, DriveFull, TooLarge, NotRegular, TargetDir, DriveWrite,
                    Cancelled, Other };

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
    case Reason::Cancelled: return QStringLiteral("导出已停止");
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

// The reason for an SQLite result that failed the backup: a failed write on
// the drive, or something on the side of the recorder's database.
Reason backupReason(int rc)
{
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

// How long a snapshot waits for the recorder's writer, and whether it is to
// stop: SQLite asks this whenever the database is locked, and the copy looks
// at it between its steps.
struct Waiting
{
    const std::atomic<bool> *cancel = nullptr;
    QDeadlineTimer deadline;
    bool cancelled() const { return cancel && cancel->load(); }
};

int waitForWriter(void *context, int)
{
    const auto *waiting = static_cast<const Waiting *>(context);
    if (waiting->cancelled() || waiting->deadline.hasExpired())
        return 0;
    sqlite3_sleep(int(std::min<qint64>(20, std::max<qint64>(1, waiting->deadline.remainingTime()))));
    return 1;
}

constexpr size_t kChunkSize = size_t(1) << 20; // 1 MiB

// Pages copied per backup step: a few hundred, so that a stop is seen within
// a few milliseconds while a large database is copied.
constexpr int kPagesPerStep = 256;

// Takes a snapshot of the database at `sourcePath` into the temporary file
// with SQLite's online backup. The source is opened read-only, so it reads the
// WAL as any reader does: every committed transaction is in the snapshot. One
// read transaction is held across all steps: without it the backup would
// start over whenever the recorder writes between two steps, which a busy
// recorder may do for ever; in WAL mode that transaction does not hold up the
// recorder's writers.
//
// SQLite opens the temporary file by a path through the export directory's
// descriptor, /proc/self/fd/<directory>/<name>, so that it writes only into
// the file this tool created there with O_EXCL and O_NOFOLLOW, inside the
// directory it checked. Its journal is off, so it makes no other file there.
// The destination's page cache bounds the memory whatever the database's size.
bool backupInto(const QByteArray &sourcePath, int dirFd, const StickFile::TempFile &temp, Waiting &waiting,
                Failure *failed)
{
    Connection source;
    int rc = sqlite3_open_v2(sourcePath.constData(), source.out(), SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_busy_handler(source.get(), waitForWriter, &waiting);
    // The read transaction begins with the first read.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(source.get(), "BEGIN; SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        *failed = {waiting.cancelled() ? Reason::Cancelled : backupReason(rc), sqliteDetail(source.get(), rc)};
        return false;
    }
    const QByteArray destinationPath = "/proc/self/fd/" + QByteArray::number(dirFd) + '/' + temp.name();
    Connection destination;
    rc = sqlite3_open_v2(destinationPath.constData(), destination.out(), SQLITE_OPEN_READWRITE, nullptr);
    // No journal on the drive; the file only gets its name once it is whole
    // and flushed, so a torn write never shows as a database there. The one
    // flush is done outside, after the backup.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(destination.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", nullptr, nullptr,
                          nullptr);
    if (rc != SQLITE_OK) {
        *failed = {backupReason(rc), sqliteDetail(destination.get(), rc)};
        return false;
    }
    sqlite3_backup *backup = sqlite3_backup_init(destination.get(), "main", source.get(), "main");
    if (backup == nullptr) {
        rc = sqlite3_errcode(destination.get());
        *failed = {backupReason(rc), sqliteDetail(destination.get(), rc)};
        return false;
    }
    // Where SQLite gives up at once without asking the busy handler
    // (SQLITE_LOCKED, and SQLITE_BUSY where waiting could deadlock another
    // connection), the loop waits within the same time-out.
    for (;;) {
        rc = sqlite3_backup_step(backup, kPagesPerStep);
        if (rc == SQLITE_DONE || waiting.cancelled())
            break;
        if (rc == SQLITE_OK)
            continue;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || waitForWriter(&waiting, 0) == 0)
            break;
    }
    const int finished = sqlite3_backup_finish(backup);
    if (rc == SQLITE_DONE)
        rc = finished;
    if (rc == SQLITE_OK)
        rc = destination.close();
    if (waiting.cancelled()) {
        *failed = {Reason::Cancelled, QStringLiteral("stopped")};
        return false;
    }
    if (rc != SQLITE_OK) {
        const QString where = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED
                ? QStringLiteral("locked past the time-out: ")
                : QString();
        *failed = {backupReason(rc), where + sqliteDetail(nullptr, rc)};
        return false;
    }
    // SQLite resolves the path itself; what it wrote must be this file.
    struct stat written;
    if (::fstat(temp.fd(), &written) != 0 || written.st_size == 0) {
        *failed = {Reason::DriveWrite, QStringLiteral("the snapshot did not reach its temporary file")};
        return false;
    }
    return true;
}

bool copyBytes(int from, int to, const Waiting &waiting, Failure *failed)
{
    std::vector<char> buffer(kChunkSize);
    for (off_t offset = 0;;) {
        if (waiting.cancelled()) {
            *failed = {Reason::Cancelled, QStringLiteral("stopped")};
            return false;
        }
        const ssize_t got = StickFile::readAt(from, buffer.data(), buffer.size(), offset);
        if (got < 0) {
            const int error = errno;
            *failed = {Reason::Unreadable, QStringLiteral("read: ") + errnoText(error)};
            return false;
        }
        if (got == 0)
            return true;
        const int error = StickFile::writeAll(to, buffer.data(), size_t(got));
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
constexpr size_t writerFields[] = {24, 40, 92, 96}; // four bytes each

void maskWriterFields(char *chunk, size_t size)
{
    if (size < 100 || !isSqliteHeader(chunk, size))
        return;
    for (const size_t field : writerFields)
        std::memset(chunk + field, 0, 4);
}

StickFile::Same sameDatabase(int newFd, int earlierFd, off_t size, int *error)
{
    // Masked only when both are databases: a database never equals a file
    // that is none.
    char a[sqliteMagicSize];
    char b[sqliteMagicSize];
    const bool both = StickFile::readAt(newFd, a, sizeof a, 0) == ssize_t(sizeof a)
            && StickFile::readAt(earlierFd, b, sizeof b, 0) == ssize_t(sizeof b) && isSqliteHeader(a, sizeof a)
            && isSqliteHeader(b, sizeof b);
    return StickFile::sameBytes(newFd, earlierFd, size, error, both ? StickFile::Mask(maskWriterFields) : StickFile::Mask());
}

} // namespace

namespace DatabaseCopy {

Result copy(const QString &databasePath, const QString &targetDir, int busyTimeoutMs, const std::atomic<bool> *cancel)
{
    const QString name = databasePath.mid(databasePath.lastIndexOf(QLatin1Char('/')) + 1);
    const QByteArray sourcePath = QFile::encodeName(databasePath);
    const QByteArray fileName = QFile::encodeName(name);

    const Descriptor source(::open(sourcePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!source.isValid()) {
        const int error = errno;
        return failure(error == ENOENT || error == ENOTDIR ? Reason::Missing : Reason::Unreadable,
                       databasePath + QStringLiteral(": ") + errnoText(error));
    }
    struct stat sourceStat;
    if (::fstat(source.get(), &sourceStat) != 0 || !S_ISREG(sourceStat.st_mode) || name.isEmpty()
            || name == QLatin1String(".") || name == QLatin1String("..") || fileName.contains('\0'))
        return failure(Reason::Unreadable, databasePath + QStringLiteral(": not a regular file"));
    char header[sqliteMagicSize];
    const ssize_t headerSize = StickFile::readAt(source.get(), header, sizeof header, 0);
    if (headerSize < 0) {
        const int error = errno;
        return failure(Reason::Unreadable, databasePath + QStringLiteral(": ") + errnoText(error));
    }
    const bool isDatabase = isSqliteHeader(header, size_t(headerSize));

    const Descriptor dir(::open(QFile::encodeName(targetDir).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.isValid()) {
        const int error = errno;
        return failure(Reason::TargetDir, targetDir + QStringLiteral(": ") + errnoText(error));
    }
    // A link, a directory or a FIFO at the name stops the copy before
    // anything is written.
    const StickFile::Placed before = StickFile::check(dir.get(), fileName);
    if (before.outcome == StickFile::Placed::NotRegular)
        return failure(Reason::NotRegular, before.detail);
    if (before.outcome == StickFile::Placed::Failed)
        return failure(Reason::DriveWrite, before.detail);

    StickFile::TempFile temp(dir.get());
    if (const int error = temp.create(fileName))
        return failure(driveReason(error), QStringLiteral("temporary file: ") + errnoText(error));
    const QString tempPath = targetDir + QLatin1Char('/') + QFile::decodeName(temp.name());

    Waiting waiting;
    waiting.cancel = cancel;
    waiting.deadline = QDeadlineTimer(std::max(0, busyTimeoutMs));
    Failure failed;
    const bool snapshotTaken = isDatabase ? backupInto(sourcePath, dir.get(), temp, waiting, &failed)
                                          : copyBytes(source.get(), temp.fd(), waiting, &failed);
    if (!snapshotTaken)
        return failure(failed.reason, databasePath + QStringLiteral(" -> ") + tempPath + QStringLiteral(": ")
                               + failed.detail);

    const StickFile::Placed placed = StickFile::putInPlace(dir.get(), temp, fileName, sameDatabase);
    Result result;
    switch (placed.outcome) {
    case StickFile::Placed::Unchanged:
        qInfo().noquote() << "报警数据库未变化，U盘上的副本保持不变:" << targetDir + QLatin1Char('/') + name;
        result.outcome = Result::Unchanged;
        return result;
    case StickFile::Placed::NotRegular:
        return failure(Reason::NotRegular, placed.detail);
    case StickFile::Placed::Failed:
        return failure(placed.error != 0 ? driveReason(placed.error) : Reason::DriveWrite, tempPath + QStringLiteral(" ")
                               + placed.detail);
    case StickFile::Placed::Written:
        break;
    }
    qInfo().noquote() << "报警数据库已复制到U盘:" << targetDir + QLatin1Char('/') + name
                      << (placed.keptAs.isEmpty() ? QString() : QStringLiteral("(原副本保留为 ") + placed.keptAs + QLatin1Char(')'));
    result.outcome = Result::Copied;
    result.keptAs = placed.keptAs;
    return result;
}

} // namespace DatabaseCopy
