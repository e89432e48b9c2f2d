#pragma once

#include <QString>

#include <atomic>

// Total size in bytes of the regular files under `path`, as the recordings
// count shows it: entries whose names begin with "." are neither counted nor
// entered; symbolic links are followed (a link to a file counts the file, a
// link to a directory is entered); dangling links, device nodes, FIFOs and
// sockets add nothing; what cannot be read adds 0.
//
// A link back to a directory that is already being walked (an ancestor) is not
// entered again, so a cycle cannot recurse without end; every tree without
// such a cycle gets exactly the count of the unguarded walk, including a
// directory reached through two links, which is counted twice.
qint64 directorySize(const QString &path);

// The same count, abandoned as soon as `cancelled` is seen set: the walker
// looks at it before each directory and each entry, so a cancel ends the walk
// within one system call. Returns -1 when the count was cancelled.
qint64 directorySize(const QString &path, const std::atomic<bool> &cancelled);
