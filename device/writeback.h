#pragma once

// The drive's write cache while the tool has it mounted, and what has really
// reached it.
//
// Cheap sticks write at 5 to 15 MB/s. Left alone, the kernel lets a single
// writer dirty a share of the whole dirty threshold (20 % of free and cache
// memory by default) before it is slowed down, so rsync hands a whole export
// to the page cache at memory speed, "finishes", and the flush that follows
// waits for the stick for most of the export with the bar at 99 %. Those dirty
// pages also count against the threshold the recorder's own recording writes
// live under.
//
// WritebackLimit bounds the dirty cache of the stick's disk alone, through its
// backing-dev-info directory /sys/class/bdi/<major>:<minor>, and puts back
// what it found. The global vm.dirty_* settings and every other device stay
// as they are.
//
// - Linux 6.2 and later have per-device byte limits: strict_limit=1 makes the
//   device keep to its own limit even while the system as a whole is far
//   below its thresholds, and max_bytes sets that limit. The kernel keeps
//   max_bytes only as a fraction of the current global threshold (that is what
//   max_ratio_fine holds), and reading max_bytes gives that fraction of a
//   threshold that moves with free memory; writing a byte figure read earlier
//   back is refused as soon as it exceeds the threshold of the moment. So the
//   fraction is what is saved and written back.
// - Linux 6.1 (Debian 12) has only max_ratio, in whole percent of the global
//   threshold and without strict_limit. The kernel looks at a device's share
//   only once the system's dirty memory passes the point where writers start
//   to be throttled, half way between the background and the foreground
//   thresholds (some 15 % of free and cache memory); below it nothing bounds
//   the stick, so on 6.1 the flush still waits for about that much, and
//   DeviceWriteCounter is what keeps the bar honest. Above that point 1 %,
//   the smallest whole share above none, holds the stick
//   there and leaves the rest of the way to the foreground threshold to the
//   recorder's own recording writes, which would otherwise be throttled
//   along with the copy.
//
// The byte limit, measured on a slow stick (SlowDrive of tests/support: nbdkit
// behind its rate filter) of 1 GiB, ext4, on this kernel (6.18,
// 24 GiB of memory): one file written, then `sync -f`; two runs.
//
//   10 MB/s, 100 MB   write      sync -f    on the stick when the write ended
//   no limit          0.0-0.1 s  9.8 s       0 MiB of 95
//   64 MiB            5.3-5.6 s  4.3-4.5 s  51 MiB
//   32 MiB            7.7-8.2 s  1.6-2.1 s  72-73 MiB
//   16 MiB            8.8 s      0.9-1.0 s  85 MiB
//    8 MiB            9.2-9.3 s  0.5-0.6 s  90 MiB
//   max_ratio 1 %     0.0 s      9.8 s       0 MiB   (the 6.1 setting, no effect here)
//
//   60 MB/s, 300 MB   no limit 0.1 + 4.8 s; 32, 16 or 8 MiB 4.5-4.7 + 0.0-0.3 s
//
// Write and flush together take the stick's time (9.8 s, 4.8 s) whatever the
// limit; none of the limits cost speed. What the limit decides is how long the bar
// waits after rsync: the writer is held at about two thirds of the limit, so
// the flush takes some 0.7 x limit / speed. kMaxDirtyBytes = 32 MiB keeps that
// to about 2 s on a 10 MB/s stick and 4 s on a 5 MB/s one, and leaves rsync
// 2 to 3 seconds of the slow stick's writing to read ahead while the stick
// catches up, where 16 MiB would leave it one and 8 MiB half of one.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// The device's own directory in sysfs (a partition's or a whole disk's), with
// the links resolved; empty when it is no block device there.
QString blockDeviceDirectory(const QString &device, const QString &sysfsRoot = QStringLiteral("/sys"));

class WritebackLimit
{
public:
    // Most bytes of the stick that may wait in the page cache (Linux 6.2+).
    static constexpr qint64 kMaxDirtyBytes = qint64(32) * 1024 * 1024;
    // The stick's share of the global dirty threshold in percent where the
    // kernel has only max_ratio (Linux 6.1).
    static constexpr int kMaxRatioPercent = 1;

    explicit WritebackLimit(const QString &sysfsRoot = QStringLiteral("/sys"));
    ~WritebackLimit();
    WritebackLimit(const WritebackLimit &) = delete;
    WritebackLimit &operator=(const WritebackLimit &) = delete;

    // Bounds the dirty cache of the disk that holds `device` ("/dev/sdb1",
    // "sdb1", a link such as /dev/disk/by-uuid/...). A limit still in place
    // on another device is restored first. True when the limit is in place;
    // false (logged) when the kernel offers no such setting or refuses it, in
    // which case nothing is left changed. Never a reason not to export.
    bool apply(const QString &device, qint64 maxBytes = kMaxDirtyBytes);
    // Writes back exactly the values apply() found, in the same directory and
    // only if it still belongs to the same device (a stick pulled and another
    // one given the same numbers is left alone). Does nothing when nothing is
    // applied; the destructor calls it.
    void restore();
    // The directory apply() changed, e.g. "/sys/class/bdi/8:16"; empty if none.
    QString bdiDirectory() const { return m_bdi; }

    // The backing-dev-info directory of the disk that holds `device` (for a
    // partition, its whole disk's); empty when there is none.
    static QString bdiDirectoryOf(const QString &device, const QString &sysfsRoot = QStringLiteral("/sys"));

private:
    struct Saved {
        QString file;
        QByteArray value;
    };
    bool sameDirectory() const;

    QString m_sysfsRoot;
    QString m_bdi;
    quint64 m_bdiDevice = 0;
    quint64 m_bdiInode = 0;
    QList<Saved> m_saved; // in the order they are written back
};

// What the device itself (the partition, when it is one) has completed
// writing since it appeared: the sectors-written field of its sysfs "stat"
// file, always counted in 512-byte units. Unlike what rsync has handed to the
// page cache, this is what the stick has acknowledged. The file is found once;
// each reading is one open, read and close of about 150 bytes, cheap enough to
// poll from the GUI thread several times a second.
class DeviceWriteCounter
{
public:
    explicit DeviceWriteCounter(const QString &device, const QString &sysfsRoot = QStringLiteral("/sys"));

    bool isValid() const { return !m_statPath.isEmpty(); }
    // Bytes written so far; -1 when the device or its counter is gone. A
    // figure below an earlier one means that the device is not the same one.
    qint64 bytesWritten() const;

private:
    QByteArray m_statPath;
};
