#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// What the file system of an export drive can hold of what `rsync -a` copies.
struct DriveCapabilities {
    QString fileSystem;        // type as found (e.g. "ext4", "exfat", "vfat", "ntfs"/"fuseblk")
    bool owners = true;        // can hold a file's owner and group (chown to another uid works and reads back)
    bool permissions = true;   // chmod bits read back as set
    bool symlinks = true;      // a symlink can be created
    int timeResolutionSeconds = 0; // 0: 1 s or finer; 2 for FAT
    qint64 maxFileSize = -1;   // -1: no limit that matters; FAT32: 4 GiB - 1
    bool holdsEverything() const;
};

// Finds out what the file system mounted at mountPath can hold, from its type
// in /proc/self/mountinfo and from a small probe in a fresh hidden directory
// directly under mountPath, which is removed again. Never follows a symbolic
// link found on the drive.
DriveCapabilities probeDrive(const QString &mountPath);

// What the type of the file system mounted at mountPath alone says, without
// writing to it: the largest file and the time resolution are sure, owners,
// modes and links a guess (probeDrive() finds out).
DriveCapabilities typeCapabilities(const QString &mountPath);

// The rsync options to add after "-av" for such a drive; empty when it holds
// everything.
QStringList rsyncOptions(const DriveCapabilities &caps);

// One line for the log, e.g. "exfat: owners no, permissions no, links no,
// time 1 s, largest file unlimited".
QString describe(const DriveCapabilities &caps);
