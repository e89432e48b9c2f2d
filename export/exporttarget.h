#pragma once

#include <QString>

// Safety checks for writing an export onto a drive that anyone may have
// brought. Everything on the drive is untrusted: a planted symbolic link must
// never make the export write into the recorder's own file system.
namespace ExportTarget {

// Reads the host name from the first line of `path` (white space trimmed) into
// `hostname`; false when the file cannot be opened.
bool readHostname(const QString &path, QString *hostname);
// The recorder's host name from /etc/hostname, logged; "ORVELD-ffff" when
// the file cannot be read.
QString hostname();

// False for a host name that would lead out of the directory it is joined to:
// one that holds a "/" or is "..". An empty name or "." stays where it is.
bool isSafeName(const QString &hostname);

// True when a file system other than the one holding `mountPath` is mounted
// on it: a drive, as opposed to the bare mount point on the recorder's disk.
bool isMountedAt(const QString &mountPath);

// Makes sure `mountPath` + "/" + `hostname` is a real directory of the file
// system mounted at `mountPath`, creating it (with missing parents) when it
// does not exist. Refuses a host name that holds a "/" or is "..", a mount path
// with nothing mounted on it, and an existing entry that is not a directory of
// the drive's own file system (a link, a file, another mount). An empty host
// name means the drive's top directory.
bool prepare(const QString &mountPath, const QString &hostname);

} // namespace ExportTarget
