#pragma once

// Which block device of a stick an export goes to.
//
// The device hook starts one instance of the tool for every device of a USB
// disk that carries a file system: the whole disk when the file system sits
// on it without a partition table, else each such partition. All instances
// share one mount point and one lock, so the first to take the lock would
// win by chance, and that may be a small boot or EFI partition left over from
// an installer. Instead every instance looks at all the devices of its disk
// and comes to the same choice; those not chosen end without touching the
// stick. The unit asks before it takes the lock (`corvalet DEVICE check`),
// so that an instance that is not chosen never holds the lock that the chosen
// one needs.
//
// The siblings of a partition may not have been probed by udev yet when its
// own event runs, so the tool reads their content itself with a low-level
// probe (blkid -p reads the superblocks, not udev's database) and their sizes
// from sysfs.

#include <QString>
#include <QVector>
#include <QtGlobal>

#include <functional>

// One block device of a disk: the disk itself or one of its partitions.
struct BlockDeviceInfo {
    QString name;       // the kernel's name: "sdb", "sdb1"
    qint64 sizeBytes = 0;
    // The type of the file system found on it ("exfat", "vfat", "iso9660"),
    // empty when it carries none (a partition table, swap, an encrypted
    // volume, nothing) or the probe could not tell; "unknown" for the device
    // asked about when its probe could not tell (see chooseExportDeviceFor).
    QString fileSystem;
};

// True for a file system that an export can write to: any but those that the
// kernel only ever mounts read-only (disc and firmware images).
bool isWritableFileSystem(const QString &fileSystem);

// The device of one disk that an export goes to: the largest with a writable
// file system; when none has one, the largest with any file system (so that
// one window says why the stick cannot be written, rather than none or
// several). Equal sizes go to the one that comes first in `devices`. Empty
// when no device carries a file system.
QString chooseExportDevice(const QVector<BlockDeviceInfo> &devices);

// What a probe of a device's content found.
struct ProbeResult {
    bool answered = false; // false: the probe failed or did not end in time
    QString fileSystem;    // as BlockDeviceInfo::fileSystem
};
using DeviceProbe = std::function<ProbeResult(const QString &devicePath)>;

// `blkid -p -o export DEVICE` with a bounded wait.
ProbeResult probeWithBlkid(const QString &devicePath);

struct DiskChoice {
    QString device; // the kernel name of the device asked about
    QString chosen; // the kernel name of the device the export goes to
    // The disk first, then its partitions by number; empty when the device
    // was not found in sysfs.
    QVector<BlockDeviceInfo> devices;

    bool isChosen() const { return chosen == device; }
    // "sdb (-, 29340 MiB), sdb1 (vfat, 256 MiB), ..." for the log.
    QString describe() const;
};

// Looks at the disk that holds `device` ("sdb1", "/dev/sdb1", a link such as
// /dev/disk/by-label/...) and all its partitions in `sysfsRoot`, probes each
// device (for /dev/<name>) and chooses. When nothing can be chosen (the device
// is not in sysfs, no device carries a known file system) the device asked
// about is the choice: the tool then behaves as it would without any choice.
// A device whose probe fails counts as carrying no file system, except the
// device asked about: udev found one there, or the tool would not run.
DiskChoice chooseExportDeviceFor(const QString &device, const QString &sysfsRoot = QStringLiteral("/sys"),
                                 const DeviceProbe &probe = probeWithBlkid);
