#include "device/stickidentity.h"

#include "device/writeback.h"
#include "platform/fileutil.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QVector>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// A sysfs attribute holds one page at most; anything longer is not sysfs.
constexpr int kMaxAttributeBytes = 4096;
// .../usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb is ten levels
// below devices/; a deeper path is walked no further than this.
constexpr int kMaxAncestors = 32;

// The stick's text as it may stand in a record of one line.
QString cleaned(const QByteArray &raw)
{
    // By code point, so that a format character beyond the BMP (a tag
    // character) is seen as one.
    const QVector<uint> points = QString::fromUtf8(raw).toUcs4();
    QString kept;
    kept.reserve(points.size());
    for (const uint point : points) {
        switch (QChar::category(point)) {
        case QChar::Other_Control: // C0, DEL, C1
        case QChar::Other_Format:  // bidirectional overrides, zero widths
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            break;
        default:
            if (QChar::requiresSurrogates(point))
                kept += QChar(QChar::highSurrogate(point)) + QChar(QChar::lowSurrogate(point));
            else
                kept += QChar(point);
        }
    }
    kept = kept.trimmed();
    if (kept.size() > StickIdentity::kMaxLength) {
        kept.truncate(StickIdentity::kMaxLength);
        // Half a surrogate pair is no character.
        if (kept.at(kept.size() - 1).isHighSurrogate())
            kept.chop(1);
        kept = kept.trimmed();
    }
    return kept;
}

QString attribute(const QString &directory, const char *name)
{
    return cleaned(readSmallFile(directory + QLatin1Char('/') + QLatin1String(name), kMaxAttributeBytes));
}

} // namespace

StickIdentity stickIdentity(const QString &device, const QString &sysfsRoot)
{
    StickIdentity identity;
    // Every device of the kernel lives below devices/; the walk up stays there.
    const QString devices = QFileInfo(sysfsRoot + QStringLiteral("/devices")).canonicalFilePath();
    QString disk = blockDeviceDirectory(device, sysfsRoot);
    if (devices.isEmpty() || !disk.startsWith(devices + QLatin1Char('/')))
        return identity;
    if (pathExists(disk + QStringLiteral("/partition")))
        disk = QFileInfo(disk).path();

    // A USB stick's disk is a SCSI device whose vendor and model come from
    // the stick's INQUIRY answer; an NVMe disk's device has a model alone.
    identity.vendor = attribute(disk + QStringLiteral("/device"), "vendor");
    identity.model = attribute(disk + QStringLiteral("/device"), "model");

    // The USB device (the one with idVendor) holds the serial, when the
    // stick has one at all; the walk stops there, since the hub above it
    // has a serial of its own (the host controller's PCI address).
    QString directory = QFileInfo(disk).path();
    for (int level = 0; level < kMaxAncestors && directory.startsWith(devices + QLatin1Char('/')); ++level) {
        if (pathExists(directory + QStringLiteral("/idVendor"))) {
            identity.serial = attribute(directory, "serial");
            if (identity.vendor.isEmpty())
                identity.vendor = attribute(directory, "manufacturer");
            if (identity.model.isEmpty())
                identity.model = attribute(directory, "product");
            break;
        }
        if (pathExists(directory + QStringLiteral("/serial"))) {
            identity.serial = attribute(directory, "serial");
            break;
        }
        directory = QFileInfo(directory).path();
    }
    return identity;
}
