#pragma once

#include <QString>

#include <atomic>

// Copies the recorder's alarm database into the export directory on the drive.
//
// The database is live: the recorder keeps writing alarms while an export
// runs, and it keeps the database in WAL mode, where committed transactions
// live in the "-wal" file until a checkpoint moves them into the database
// file. A byte copy of the database file alone therefore misses the newest
// alarms, and one taken while a checkpoint writes into the file can be torn
// (pages from before and after the checkpoint). The export used to do exactly
// that with QFile::copy, ignored its result, and since QFile::copy never
// overwrites, the first copy on a drive was never refreshed again.
//
// So an SQLite database is copied with SQLite's online backup, which reads one
// consistent snapshot including the WAL, into a hidden file of the drive that
// is flushed and then renamed into place. A copy already on the drive is never
// overwritten: when it holds the same data it is left as it is, otherwise it
// is kept under a name carrying its date. Any other file is copied as bytes in
// the same way. Nothing is written through a link found on the drive.
namespace DatabaseCopy {

struct Result {
    enum Outcome { Copied, Unchanged, Failed };
    Outcome outcome = Failed;
    // The name (in the target directory) under which an earlier, different
    // copy was kept, e.g. "alarms-20261207-101500.db"; empty when none was.
    QString keptAs;
    // For Failed: one line for a message box, "报警数据库复制失败：<reason>".
    // The details go to the log.
    QString error;
};

// Copies `databasePath` into `targetDir` (a real directory of the drive) under
// the database's own file name. `busyTimeoutMs` bounds the wait for a writer
// that holds the database locked. A set `cancel` ends the copy within a few
// milliseconds, also while it waits for the writer, and leaves nothing behind.
Result copy(const QString &databasePath, const QString &targetDir, int busyTimeoutMs = 5000,
            const std::atomic<bool> *cancel = nullptr);

} // namespace DatabaseCopy
