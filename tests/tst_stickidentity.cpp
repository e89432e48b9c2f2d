// The stick's vendor, model and serial against a fake sysfs tree laid out as
// the kernel lays it out for USB sticks: the USB device (2-N, with idVendor,
// manufacturer, product and maybe serial) below its root hub (usb2, whose
// serial is the host controller's address), its interface, the SCSI host,
// target and device (vendor and model), the disk below the SCSI device with
// a "device" link back to it, the partition below the disk; links in
// class/block/ and dev/block/. Beside them an NVMe disk, a loop device and
// sticks whose strings are hostile. Needs no root and no drive.

#include "testsupport.h"

#include "device/stickidentity.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

using namespace TestSupport;

namespace {

const QString kHub = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb2");

class FakeSysfs
{
public:
    FakeSysfs()
    {
        writeFile(path(kHub + QStringLiteral("/idVendor")), "1d6b\n");
        writeFile(path(kHub + QStringLiteral("/manufacturer")), "Linux 6.1.0-28-arm64 xhci-hcd\n");
        writeFile(path(kHub + QStringLiteral("/product")), "xHCI Host Controller\n");
        writeFile(path(kHub + QStringLiteral("/serial")), "0000:00:14.0\n");
        QDir().mkpath(path(QStringLiteral("class/block")));
        QDir().mkpath(path(QStringLiteral("dev/block")));
    }

    QString root() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    // A stick on port `port` of the hub, as SCSI host `host`, with the disk
    // `disk` (major 8, minor 16 * index) and its first partition. Null
    // attributes are left out.
    QString addStick(int port, const QString &disk, int index, const QByteArray &manufacturer,
                     const QByteArray &product, const QByteArray &serial, const QByteArray &vendor,
                     const QByteArray &model)
    {
        const QString usb = kHub + QStringLiteral("/2-%1").arg(port);
        const int host = 5 + port;
        const QString scsi = usb + QStringLiteral("/2-%1:1.0/host%2/target%2:0:0/%2:0:0:0").arg(port).arg(host);
        writeFile(path(usb + QStringLiteral("/idVendor")), "0781\n");
        writeFile(path(usb + QStringLiteral("/idProduct")), "5567\n");
        writeOptional(usb + QStringLiteral("/manufacturer"), manufacturer);
        writeOptional(usb + QStringLiteral("/product"), product);
        writeOptional(usb + QStringLiteral("/serial"), serial);
        writeFile(path(usb + QStringLiteral("/2-%1:1.0/bInterfaceClass").arg(port)), "08\n");
        writeOptional(scsi + QStringLiteral("/vendor"), vendor);
        writeOptional(scsi + QStringLiteral("/model"), model);
        writeFile(path(scsi + QStringLiteral("/rev")), "1.00\n");
        const QString block = scsi + QStringLiteral("/block/") + disk;
        addBlock(block, disk, QStringLiteral("8:%1").arg(16 * index), false);
        link(QStringLiteral("../../../%1:0:0:0").arg(host), block + QStringLiteral("/device"));
        addBlock(block + QLatin1Char('/') + disk + QLatin1Char('1'), disk + QLatin1Char('1'),
                 QStringLiteral("8:%1").arg(16 * index + 1), true);
        return block;
    }

    void addBlock(const QString &relative, const QString &name, const QString &number, bool partition)
    {
        writeFile(path(relative + QStringLiteral("/dev")), number.toLatin1() + '\n');
        writeFile(path(relative + QStringLiteral("/size")), "30031872\n");
        if (partition)
            writeFile(path(relative + QStringLiteral("/partition")), "1\n");
        link(QStringLiteral("../../") + relative, QStringLiteral("class/block/") + name);
        link(QStringLiteral("../../") + relative, QStringLiteral("dev/block/") + number);
    }

    void link(const QString &target, const QString &relative)
    {
        QFile::remove(path(relative));
        QVERIFY(QFile::link(target, path(relative)));
    }

private:
    void writeOptional(const QString &relative, const QByteArray &content)
    {
        if (!content.isNull())
            writeFile(path(relative), content);
    }

    QTemporaryDir m_dir;
};

} // namespace

class StickIdentityTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void identity_data();
    void identity();

private:
    // One tree for every row; the code under test only reads it.
    FakeSysfs m_sysfs;
    QTemporaryDir m_outside;
};

void StickIdentityTest::initTestCase()
{
    FakeSysfs &sysfs = m_sysfs;
    // The SCSI strings are padded with spaces to their field widths.
    sysfs.addStick(1, QStringLiteral("sdb"), 1, "SanDisk\n", "Cruzer Blade\n", "4C530001230517115152\n", "SanDisk \n",
                   "Cruzer Blade    \n");
    sysfs.addStick(2, QStringLiteral("sdc"), 2, "Kingston\n", "DataTraveler 3.0\n", "E0D55EA574\n", QByteArray(),
                   QByteArray());
    sysfs.addStick(3, QStringLiteral("sdd"), 3, "Generic\n", "Mass Storage\n", QByteArray(), "Generic \n",
                   "Flash Disk      \n");
    sysfs.addStick(4, QStringLiteral("sde"), 4, QByteArray(), QByteArray(), "123\n",
                   QByteArray(1024 * 1024, 'A') + '\n', "Flash Disk\n");
    sysfs.addStick(5, QStringLiteral("sdf"), 5, QByteArray(), QByteArray(), "\t1\\2\r\n",
                   "\x1b[31mEvil\r\n\x7f\tCorp\xc2\x85\n", "\xe2\x80\xae[31mmodel\xc3\xa9\xe2\x80\x8b\xf3\xa0\x80\x81\n");
    QByteArray chinese, emojis = "x";
    for (int i = 0; i < 200; ++i) {
        chinese += "\xe4\xb8\xad";
        emojis += "\xf0\x9f\x98\x80";
    }
    sysfs.addStick(6, QStringLiteral("sdg"), 6, QByteArray(), QByteArray(), QByteArray(), chinese, emojis);
    const QString looped = sysfs.addStick(7, QStringLiteral("sdh"), 7, "Loop Maker\n", "Loop Stick\n", "LOOP1\n",
                                          "Hidden\n", "Hidden\n");
    sysfs.link(QStringLiteral("device"), looped + QStringLiteral("/device"));
    const QString fifo = sysfs.addStick(8, QStringLiteral("sdi"), 8, QByteArray(), QByteArray(), "F1\n", QByteArray(),
                                        "FIFO Stick\n");
    QCOMPARE(::mkfifo(QFile::encodeName(sysfs.path(fifo + QStringLiteral("/device/vendor"))).constData(), 0644), 0);

    const QString nvme = QStringLiteral("devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0");
    writeFile(sysfs.path(nvme + QStringLiteral("/model")), "Samsung SSD 980 1TB                     \n");
    writeFile(sysfs.path(nvme + QStringLiteral("/serial")), "S64ANS0T123456A     \n");
    sysfs.addBlock(nvme + QStringLiteral("/nvme0n1"), QStringLiteral("nvme0n1"), QStringLiteral("259:0"), false);
    sysfs.link(QStringLiteral("../../nvme0"), nvme + QStringLiteral("/nvme0n1/device"));
    sysfs.addBlock(nvme + QStringLiteral("/nvme0n1/nvme0n1p1"), QStringLiteral("nvme0n1p1"), QStringLiteral("259:1"),
                   true);

    sysfs.addBlock(QStringLiteral("devices/virtual/block/loop0"), QStringLiteral("loop0"), QStringLiteral("7:0"), false);
    sysfs.link(QStringLiteral("sdl"), QStringLiteral("class/block/sdl"));
    // A directory outside the tree that looks like a stick's disk.
    const QTemporaryDir &outside = m_outside;
    writeFile(outside.filePath(QStringLiteral("sdx/dev")), "8:240\n");
    writeFile(outside.filePath(QStringLiteral("sdx/device/vendor")), "Outside\n");
    writeFile(outside.filePath(QStringLiteral("serial")), "Outside\n");
    sysfs.link(outside.filePath(QStringLiteral("sdx")), QStringLiteral("class/block/sdx"));
}

void StickIdentityTest::identity_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("vendor");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("serial");

    QTest::newRow("partition") << "/dev/sdb1" << "SanDisk" << "Cruzer Blade" << "4C530001230517115152";
    QTest::newRow("kernel name of the partition") << "sdb1" << "SanDisk" << "Cruzer Blade" << "4C530001230517115152";
    QTest::newRow("whole disk") << "/dev/sdb" << "SanDisk" << "Cruzer Blade" << "4C530001230517115152";
    QTest::newRow("no SCSI strings: the USB device's") << "/dev/sdc1" << "Kingston" << "DataTraveler 3.0" << "E0D55EA574";
    // The hub above the stick has a serial of its own.
    QTest::newRow("stick without a serial") << "/dev/sdd1" << "Generic" << "Flash Disk" << "";
    QTest::newRow("NVMe partition") << "/dev/nvme0n1p1" << "" << "Samsung SSD 980 1TB" << "S64ANS0T123456A";
    QTest::newRow("loop device") << "/dev/loop0" << "" << "" << "";
    QTest::newRow("unknown device") << "/dev/sdz1" << "" << "" << "";

    QTest::newRow("a megabyte of vendor") << "/dev/sde1" << QString(StickIdentity::kMaxLength, QLatin1Char('A'))
                                          << "Flash Disk" << "123";
    QTest::newRow("control and format characters")
            << "/dev/sdf1" << "[31mEvilCorp" << QStringLiteral("[31mmodel\u00e9") << "1\\2";
    // One character, then 200 beyond the BMP: a cut at 128 UTF-16 units
    // would leave half of the 64th.
    QString emoji = QStringLiteral("x");
    for (int i = 0; i < 63; ++i)
        emoji += QStringLiteral("\U0001F600");
    QTest::newRow("long text beyond the BMP") << "/dev/sdg1" << QString(StickIdentity::kMaxLength, QChar(0x4E2D)) << emoji
                                              << "";
    QTest::newRow("device link loops: the USB device's")
            << "/dev/sdh1" << "Loop Maker" << "Loop Stick" << "LOOP1";
    QTest::newRow("vendor is a FIFO") << "/dev/sdi1" << "" << "FIFO Stick" << "F1";
    QTest::newRow("class/block link loops") << "/dev/sdl" << "" << "" << "";
    QTest::newRow("link out of the tree") << "/dev/sdx" << "" << "" << "";
}

void StickIdentityTest::identity()
{
    QFETCH(QString, device);
    QFETCH(QString, vendor);
    QFETCH(QString, model);
    QFETCH(QString, serial);

    const StickIdentity identity = stickIdentity(device, m_sysfs.root());
    QCOMPARE(identity.vendor, vendor);
    QCOMPARE(identity.model, model);
    QCOMPARE(identity.serial, serial);
}

QTEST_GUILESS_MAIN(StickIdentityTest)
#include "tst_stickidentity.moc"
