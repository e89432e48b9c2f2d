#pragma once

#include <QString>

// What the stick says it is, for the export's record: the SCSI vendor and
// model of its disk and the USB device's serial number, from sysfs. Every
// value is the stick's own text and so untrusted: control and format
// characters are dropped, the rest is trimmed and cut to kMaxLength
// characters. A value is empty where sysfs has none (a loop device has none
// of them; many cheap sticks have no serial).
struct StickIdentity {
    static constexpr int kMaxLength = 128;

    QString vendor;
    QString model;
    QString serial;
};

// The identity of the disk that holds `device` ("/dev/sdb1", "sdb1",
// "/dev/sdb", "/dev/loop0"; for a partition, its whole disk). Where the SCSI
// strings are missing, the USB device's manufacturer and product stand in.
StickIdentity stickIdentity(const QString &device, const QString &sysfsRoot = QStringLiteral("/sys"));
