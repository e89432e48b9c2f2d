#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// The few system helpers every folder shares.

// The first `maxBytes` of a regular file (a sysfs attribute, a small file of
// a test's fake tree); empty for anything else or when it cannot be read, so
// that a FIFO or a device node can neither block nor flood. The last part of
// `path` is never followed as a link.
QByteArray readSmallFile(const QString &path, int maxBytes = 4096);

// Whether anything (a file, a directory, a link that leads somewhere) is at `path`.
bool pathExists(const QString &path);

// The C library's text of an errno value, for a log line or a verdict.
QString errnoText(int error);

// Asks the file system that holds `path` to write out what it has cached
// (syncfs); the file system is held open only while that runs. False when
// `path` cannot be opened.
bool flushFileSystem(const QString &path);

// Whether a name of the recordings is one that exports leave out: rsync's
// "--exclude=.*" leaves out every file and directory whose name begins with
// a dot, wherever it stands.
constexpr char kExcludeHidden[] = "--exclude=.*";
inline bool isHiddenName(const char *name)
{
    return name[0] == '.';
}
// The same for a path relative to the recordings directory: any of its
// parts hidden.
bool hasHiddenPart(const char *path, size_t length);
