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

// What an export keeps to on a drive, all of it from what the drive's file
// system can hold: owners, modes and links only where they can be kept (or
// every file would be an error), times to the drive's resolution (or every
// export would copy everything again), no file larger than its largest, and
// space counted in its blocks.
struct DriveRules {
    QStringList rsyncOptions;      // after "-av"; empty for a drive that holds everything
    qint64 maxFileSize = -1;       // files larger than this cannot be written; -1: no limit
    // Modification times that differ by at most this are the same, as
    // rsync's --modify-window sees them.
    int modifyWindowSeconds = 0;
    qint64 blockSize = 4096;
};
// The rules for a drive with `caps` mounted at `mountPath` (its block size is
// read from there; 4096 when it cannot be).
DriveRules driveRules(const DriveCapabilities &caps, const QString &mountPath);

// One line for the log, e.g. "exfat: owners no, permissions no, links no,
// time 1 s, largest file unlimited".
QString describe(const DriveCapabilities &caps);
