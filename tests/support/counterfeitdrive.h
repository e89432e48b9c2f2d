#pragma once

// A counterfeit USB stick as a real block device: it reports more than its
// flash holds, and what lands past the real capacity is lost or wraps around
// onto earlier data. The real mount, ext4 in the kernel and the FUSE drivers
// (exfat-fuse, ntfs-3g) all run against it, as they would on such a stick.

#include "testsupport.h"

#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

#include <memory>

class QProcess;

namespace TestSupport {

// nbdkit runs tests/support/counterfeit-plugin.c through its cc plugin
// (compiled at start with the system's cc), optionally behind its rate
// filter; nbdfuse shows it as a file in a FUSE mount of its own, and that
// file is attached to a loop device with direct I/O, so that no page cache
// of the backing file answers for the "flash". The drive is formatted with
// the same mkfs commands as LoopDrive. Only the kept range is ever allocated,
// and only as far as it is written. The loop device, the FUSE mount, nbdfuse
// and nbdkit go away with the object; should the test process die, nbdfuse
// and nbdkit end with it.
//
// Nothing here holds the device open between mounts: the kernel drops a
// block device's page cache only when its last user closes it, and the FUSE
// drivers read through that cache, so a held descriptor would let exFAT and
// NTFS read back what was written rather than what the flash kept.
class CounterfeitDrive : public TestDrive
{
public:
    enum class Mode {
        LosesData,   // writes past the kept range are dropped; reads there give zeros
        WrapsAround, // offsets are taken modulo the kept size: late writes overwrite early data
    };

    // `fileSystem` is "ext4", "exfat", "ntfs" or "vfat"; an empty one leaves
    // the device as the plugin starts it, all zeros. `bytesPerSecond` 0 runs
    // at memory speed; any other rate limits reads and writes alike, as
    // SlowDrive does.
    CounterfeitDrive(qint64 reportedMiB, qint64 keptMiB, Mode mode,
                     const QString &fileSystem = QStringLiteral("ext4"), qint64 bytesPerSecond = 0);

    // Why no such drive can be made on this machine (nbdkit, its cc plugin
    // and headers, nbdfuse or cc missing, or the plugin's source not found
    // through CORVALET_SOURCE_DIR); empty when it can.
    static QString unavailableReason();
    // The plugin's C source, from CORVALET_SOURCE_DIR.
    static QString pluginSource();

    QString fileSystem() const { return m_fileSystem; }

private:
    bool start(const QStringList &nbdkitCommand);
    bool attach();
    bool format();

    QString m_fileSystem;
    QString m_file;                      // nbdfuse's file, the loop device's backing
};

} // namespace TestSupport
