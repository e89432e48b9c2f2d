#pragma once

#include "platform/descriptor.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <sys/types.h>

// Files the tool itself writes into the export directory on the stick (the
// alarm database's snapshot, the checksum manifest, the export record). Each
// is written whole into a hidden temporary file made with O_EXCL and
// O_NOFOLLOW in the export directory, flushed, and only then given its name,
// so that a stick pulled half way never shows a torn file under the real
// name. Whatever is at the name already is only ever looked at, opened for
// reading with O_NOFOLLOW, or renamed; an earlier copy that differs is kept
// under a name carrying its date, never overwritten or deleted.
namespace StickFile {

// The hidden file a new copy is written to. It is removed again unless it was
// put in place, so that a failure leaves nothing behind on the drive.
class TempFile
{
public:
    explicit TempFile(int dirFd);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // Creates "." + finalName + ".corvalet-XXXXXXXX" in the directory.
    // Returns 0 or the errno of the failure.
    int create(const QByteArray &finalName);
    int fd() const { return m_fd.get(); }
    const QByteArray &name() const { return m_name; }
    // The file has its final name now and must stay.
    void release() { m_name.clear(); }

private:
    int m_dirFd;
    Descriptor m_fd;
    QByteArray m_name;
};

// Writes all of `size` bytes at the file's offset; 0 or the errno of the failure.
int writeAll(int fd, const char *data, size_t size);
// Reads up to `size` bytes at `offset`, fewer only at the end of the file; -1
// (errno set) on an error.
ssize_t readAt(int fd, char *data, size_t size, off_t offset);

// "alarms.db" with a time of 2026-12-07 10:15:00 gives "alarms-20261207-101500.db",
// and with `number` 2 "alarms-20261207-101500-2.db". A leading dot starts no
// extension.
QString datedName(const QString &name, time_t modified, int number);

// How an earlier file compares with the new one, both open for reading.
enum class Same { Yes, No, Unreadable };
using Comparison = std::function<Same(int newFd, int earlierFd, off_t size, int *error)>;
// Byte for byte; `mask`, when given, is applied to the first chunk of each
// file (up to 1 MiB) before they are compared, for bytes that say nothing
// about the content.
using Mask = std::function<void(char *chunk, size_t size)>;
Same sameBytes(int newFd, int earlierFd, off_t size, int *error, const Mask &mask = Mask());

struct Placed
{
    enum Outcome { Written, Unchanged, NotRegular, Failed };
    Outcome outcome = Failed;
    // The name under which an earlier, different copy was kept.
    QString keptAs;
    int error = 0;          // errno of a failure
    QString detail;         // what failed, for the log
};

// Looks at `name` before anything is written: Failed with NotRegular when a
// link, a directory or a FIFO is there (none of which an export makes).
Placed check(int dirFd, const QByteArray &name);

// Gives the whole content of `temp` the name `name`: flushed first; an earlier
// regular file there that `same` finds equal is left as it is (Unchanged, the
// new copy goes), one that differs (or cannot be read back) is kept under its
// dated name. Without `same` they compare byte for byte.
Placed putInPlace(int dirFd, TempFile &temp, const QByteArray &name, const Comparison &same = Comparison());

// Gives the whole content of `temp` the name `name` in place of a regular
// file there, for a file whose new content holds all of the earlier one.
Placed replace(int dirFd, TempFile &temp, const QByteArray &name);

// A file of the tool's own written as it is made, row by row: into its
// hidden temporary file in pieces of 64 KiB, its SHA-256 (and, when asked,
// its SHA-512) taken on the way, so that a page or a manifest of 96,000
// recordings is never held whole. A write after a failure does nothing; the
// failure comes out of finish().
class Stream
{
public:
    Stream(int dirFd, const QByteArray &name, bool sha512 = false);
    ~Stream();
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;

    bool write(const QByteArray &bytes);
    // Gives the file its name (see putInPlace()); `sha256` and `sha512`
    // receive its digests.
    Placed finish(QByteArray *sha256, QByteArray *sha512 = nullptr);

private:
    bool isOpen() const;
    bool flush();

    int m_dirFd;
    QByteArray m_name;
    TempFile m_temp;
    Placed m_placed;
    int m_error = 0;
    QByteArray m_buffer;
    struct Digests;
    std::unique_ptr<Digests> m_digests;
};

} // namespace StickFile
