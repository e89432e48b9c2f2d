// Which device of a stick an export goes to: the choice itself as a table, and
// the look at a disk and its partitions in a fake sysfs tree with a probe that
// answers from the table. Real sticks, the real blkid and the unit that asks
// before it takes the lock are in packaging/check-package.sh.

#include "testsupport.h"

#include "device/partitionchoice.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace TestSupport;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

// "name MiB type[ number]; ...": the disk first, then its partitions with
// their numbers. A type "-" is no file system, "!" a probe that fails.
struct Entry {
    QString name;
    qint64 sizeMiB;
    QString type;
    int partition; // 0: the disk
};

QVector<Entry> parse(const QString &layout)
{
    QVector<Entry> entries;
    const QStringList items = layout.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &item : items) {
        const QStringList f = item.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        entries.append({f.at(0), f.at(1).toLongLong(), f.at(2), f.size() > 3 ? f.at(3).toInt() : 0});
    }
    return entries;
}

QString fileSystemOf(const QString &type)
{
    return type == QLatin1String("-") || type == QLatin1String("!") ? QString() : type;
}

} // namespace

class PartitionChoiceTest : public QObject
{
    Q_OBJECT
private slots:
    void choice_data();
    void choice();
    void disk_data();
    void disk();
};

void PartitionChoiceTest::choice_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("chosen");

    QTest::newRow("file system on the whole disk") << "sdb 30000 exfat" << "sdb";
    QTest::newRow("one partition") << "sdb 30000 -; sdb1 29999 vfat 1" << "sdb1";
    QTest::newRow("EFI first, data after") << "sdb 30000 -; sdb1 100 vfat 1; sdb2 29899 exfat 2" << "sdb2";
    QTest::newRow("data first, small after") << "sdb 30000 -; sdb1 29899 ntfs 1; sdb2 100 vfat 2" << "sdb1";
    QTest::newRow("installer left on the disk: only its EFI partition takes writes")
            << "sdb 30000 iso9660; sdb1 3000 iso9660 1; sdb2 4 vfat 2" << "sdb2";
    QTest::newRow("installer, then a data partition")
            << "sdb 30000 -; sdb1 3000 iso9660 1; sdb2 4 vfat 2; sdb3 26996 exfat 3" << "sdb3";
    QTest::newRow("largest is squashfs") << "sdb 30000 -; sdb1 20000 squashfs 1; sdb2 9000 ext4 2" << "sdb2";
    QTest::newRow("only read-only: the largest, to say why") << "sdb 30000 -; sdb1 200 iso9660 1; sdb2 2000 squashfs 2"
                                                           << "sdb2";
    QTest::newRow("swap and encryption are no file systems") << "sdb 30000 -; sdb1 20000 - 1; sdb2 900 vfat 2" << "sdb2";
    QTest::newRow("equal sizes: the first") << "sdb 30000 -; sdb1 1000 vfat 1; sdb2 1000 exfat 2" << "sdb1";
    QTest::newRow("the device's own unknown file system counts") << "sdb 30000 -; sdb1 900 vfat 1; sdb2 2000 unknown 2"
                                                                  << "sdb2";
    QTest::newRow("nothing at all") << "sdb 30000 -; sdb1 30000 - 1" << "";
}

void PartitionChoiceTest::choice()
{
    QFETCH(QString, layout);
    QFETCH(QString, chosen);
    QVector<BlockDeviceInfo> devices;
    for (const Entry &entry : parse(layout))
        devices.append({entry.name, entry.sizeMiB * kMiB, fileSystemOf(entry.type)});
    QCOMPARE(chooseExportDevice(devices), chosen);
}

void PartitionChoiceTest::disk_data()
{
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QString>("device"); // as the tool is started on it
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("probed"); // in order
    QTest::addColumn<QString>("described");

    const QString twoPartitions = QStringLiteral("sdb 1024 -; sdb1 64 vfat 1; sdb2 959 exfat 2");
    const QString described = QStringLiteral("sdb (-, 1024 MiB), sdb1 (vfat, 64 MiB), sdb2 (exfat, 959 MiB)");
    QTest::newRow("small partition") << twoPartitions << "sdb1" << "sdb2" << "sdb1 sdb sdb2" << described;
    QTest::newRow("large partition") << twoPartitions << "sdb2" << "sdb2" << "sdb2 sdb sdb1" << described;
    QTest::newRow("as a /dev path") << twoPartitions << "/dev/sdb1" << "sdb2" << "sdb1 sdb sdb2" << described;
    QTest::newRow("the partitioned disk itself") << twoPartitions << "sdb" << "sdb2" << "sdb sdb1 sdb2" << described;
    QTest::newRow("whole-disk stick") << "sdc 2048 exfat" << "sdc" << "sdc" << "sdc" << "sdc (exfat, 2048 MiB)";
    QTest::newRow("not in sysfs: itself, unprobed") << twoPartitions << "sdq1" << "sdq1" << "" << "";
    QTest::newRow("not a name") << twoPartitions << "sd b1" << "sd b1" << "" << "";
    // Partition 10 sorts before 2 by name; the disk's order is by number.
    QTest::newRow("equal sizes, in the disk's order")
            << "sdb 1024 -; sdb10 500 vfat 10; sdb2 500 exfat 2" << "sdb10" << "sdb2" << "sdb10 sdb sdb2"
            << "sdb (-, 1024 MiB), sdb2 (exfat, 500 MiB), sdb10 (vfat, 500 MiB)";
    QTest::newRow("own probe fails: udev found a file system")
            << "sdb 1024 -; sdb1 600 ! 1; sdb2 400 vfat 2" << "sdb1" << "sdb1" << "sdb1 sdb sdb2"
            << "sdb (-, 1024 MiB), sdb1 (unknown, 600 MiB), sdb2 (vfat, 400 MiB)";
    QTest::newRow("a sibling's probe fails: it does not count")
            << "sdb 1024 -; sdb1 400 vfat 1; sdb2 600 ! 2" << "sdb1" << "sdb1" << "sdb1 sdb sdb2"
            << "sdb (-, 1024 MiB), sdb1 (vfat, 400 MiB), sdb2 (-, 600 MiB)";
    QTest::newRow("nothing known: itself") << "sdb 1024 -; sdb1 1000 - 1" << "sdb1" << "sdb1" << "sdb1 sdb"
                                           << "sdb (-, 1024 MiB), sdb1 (-, 1000 MiB)";
}

void PartitionChoiceTest::disk()
{
    QFETCH(QString, layout);
    QFETCH(QString, device);
    QFETCH(QString, chosen);
    QFETCH(QString, probed);
    QFETCH(QString, described);

    // As the kernel lays it out: a partition is a directory of its disk, with
    // a "partition" file; class/block links to each; a disk also has
    // directories that are no partitions, and links.
    QTemporaryDir sysfs;
    QVERIFY(sysfs.isValid());
    const QVector<Entry> entries = parse(layout);
    const QString disk = QStringLiteral("devices/pci0000:00/usb1/1-1/host6/block/") + entries.first().name;
    QMap<QString, ProbeResult> answers;
    int minor = 16;
    for (const Entry &entry : entries) {
        const QString relative = entry.partition ? disk + QLatin1Char('/') + entry.name : disk;
        const QString directory = sysfs.filePath(relative);
        QVERIFY(writeFile(directory + QStringLiteral("/dev"), "8:" + QByteArray::number(minor++) + '\n'));
        QVERIFY(writeFile(directory + QStringLiteral("/size"), QByteArray::number(entry.sizeMiB * 2048) + '\n'));
        if (entry.partition)
            QVERIFY(writeFile(directory + QStringLiteral("/partition"), QByteArray::number(entry.partition) + '\n'));
        QDir().mkpath(sysfs.filePath(QStringLiteral("class/block")));
        QVERIFY(QFile::link(QStringLiteral("../../") + relative, sysfs.filePath(QStringLiteral("class/block/") + entry.name)));
        answers.insert(QStringLiteral("/dev/") + entry.name, {entry.type != QLatin1String("!"), fileSystemOf(entry.type)});
    }
    QVERIFY(writeFile(sysfs.filePath(disk + QStringLiteral("/queue/rotational")), "1\n"));
    QVERIFY(writeFile(sysfs.filePath(disk + QStringLiteral("/holders/.keep")), ""));
    QVERIFY(QFile::link(sysfs.filePath(disk), sysfs.filePath(disk + QStringLiteral("/subsystem"))));

    QStringList calls;
    const DiskChoice choice = chooseExportDeviceFor(device, sysfs.path(), [&](const QString &path) {
        calls << QString(path).remove(QStringLiteral("/dev/"));
        return answers.value(path);
    });
    QCOMPARE(choice.chosen, chosen);
    QCOMPARE(choice.isChosen(), choice.device == chosen);
    QCOMPARE(calls.join(QLatin1Char(' ')), probed);
    QCOMPARE(choice.describe(), described);
}

QTEST_GUILESS_MAIN(PartitionChoiceTest)
#include "tst_partitionchoice.moc"
