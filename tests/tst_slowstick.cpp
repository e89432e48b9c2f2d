// The stick's write-cache limit and its write counter against the real
// kernel in the sandbox: loop devices (whole and partitioned) and a slow stick
// (nbdkit's rate filter at 10 MB/s behind a loop device), with the real
// `sync -f` the tool flushes with.
//
// flushAfterCopy prints how long the flush after a copy takes with and
// without the limit; it asserts no time. The suite runs the chosen limit
// against none on 64 MB; CORVALET_SLOWSTICK_SWEEP=1 compares several limits
// on a 10 MB/s and a 60 MB/s stick (some 80 s), the figures in
// device/writeback.h.

#include "testsupport.h"

#include "device/writeback.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <memory>

using namespace TestSupport;

namespace {

constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kStickBytesPerSecond = 10 * 1000 * 1000;
const char *const kNoByteLimits = "this kernel has no per-device byte limits (max_bytes, strict_limit: Linux 6.2 and later)";

QByteArray bdiValue(const QString &bdi, const char *file)
{
    return readFile(bdi + QLatin1Char('/') + QLatin1String(file)).trimmed();
}

// The devices' settings, by bdi directory: strict_limit, max_ratio_fine and
// max_ratio.
using BdiSettings = QMap<QString, QByteArray>;

BdiSettings allBdiSettings()
{
    BdiSettings settings;
    for (const QString &name : QDir(QStringLiteral("/sys/class/bdi")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString bdi = QStringLiteral("/sys/class/bdi/") + name;
        settings.insert(name, bdiValue(bdi, "strict_limit") + ' ' + bdiValue(bdi, "max_ratio_fine") + ' '
                                      + bdiValue(bdi, "max_ratio"));
    }
    return settings;
}

// A 64 MiB image with one partition (MBR, from 1 MiB to the end) formatted
// ext4, attached with its partitions scanned; device() is the partition.
class PartitionedDrive
{
public:
    PartitionedDrive()
    {
        const QString image = m_dir.filePath(QStringLiteral("disk.img"));
        constexpr qint64 kSectors = 64 * kMiB / 512;
        constexpr quint32 kFirst = 2048;
        QByteArray mbr(512, '\0');
        const auto put32 = [&mbr](int at, quint32 value) {
            for (int i = 0; i < 4; ++i)
                mbr[at + i] = char((value >> (8 * i)) & 0xff);
        };
        mbr[446 + 4] = char(0x83); // Linux
        put32(446 + 8, kFirst);
        put32(446 + 12, quint32(kSectors - kFirst));
        mbr[510] = char(0x55);
        mbr[511] = char(0xaa);
        QByteArray output;
        if (!writeFile(image, mbr)
                || run(QStringLiteral("truncate"), {QStringLiteral("-s"), QString::number(kSectors * 512), image}, &output) != 0
                || run(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), QStringLiteral("--partscan"), image}, &output) != 0) {
            m_error = QString::fromUtf8(output);
            return;
        }
        m_disk = QString::fromUtf8(output).trimmed();
        // A kernel without a reader of partition tables learns of the
        // partition from addpart, as partx would tell it.
        const QString partition = m_disk + QStringLiteral("p1");
        if (!QFileInfo::exists(QStringLiteral("/sys/class/block/") + QFileInfo(partition).fileName())
                && run(QStringLiteral("addpart"), {m_disk, QStringLiteral("1"), QString::number(kFirst),
                                                   QString::number(kSectors - kFirst)}, &output) != 0) {
            m_error = QStringLiteral("cannot add the partition: ") + QString::fromUtf8(output);
            return;
        }
        for (int i = 0; i < 100 && !QFileInfo::exists(partition); ++i)
            QThread::msleep(50);
        if (run(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), partition}, &output) != 0) {
            m_error = QString::fromUtf8(output);
            return;
        }
        m_device = partition;
    }
    ~PartitionedDrive()
    {
        if (!m_disk.isEmpty())
            run(QStringLiteral("losetup"), {QStringLiteral("-d"), m_disk});
    }
    PartitionedDrive(const PartitionedDrive &) = delete;
    PartitionedDrive &operator=(const PartitionedDrive &) = delete;

    bool isValid() const { return !m_device.isEmpty(); }
    QString errorString() const { return m_error; }
    QString device() const { return m_device; }
    QString disk() const { return m_disk; }

private:
    QTemporaryDir m_dir;
    QString m_disk;
    QString m_device;
    QString m_error;
};

// One of the drives above, as the rows of a table name them.
struct Drive {
    std::unique_ptr<LoopDrive> loop;
    std::unique_ptr<PartitionedDrive> partitioned;
    std::unique_ptr<SlowDrive> slow;

    explicit Drive(const QString &kind)
    {
        if (kind == QLatin1String("partition"))
            partitioned = std::make_unique<PartitionedDrive>();
        else if (kind == QLatin1String("slow stick"))
            slow = std::make_unique<SlowDrive>(1024, kStickBytesPerSecond);
        else
            loop = std::make_unique<LoopDrive>();
    }
    bool isValid() const { return loop ? loop->isValid() : partitioned ? partitioned->isValid() : slow->isValid(); }
    QString errorString() const { return loop ? loop->errorString() : partitioned ? partitioned->errorString() : slow->errorString(); }
    QString device() const { return loop ? loop->device() : partitioned ? partitioned->device() : slow->device(); }
    // The whole disk, whose bdi directory carries the limit.
    QString disk() const { return partitioned ? partitioned->disk() : device(); }
};

// A sysfs root that shows the real devices but, like Linux 6.1, only
// max_ratio in the disk's bdi directory: links into the real /sys.
bool mirrorWithRatioOnly(const QString &root, const QString &device, const QString &disk)
{
    const QString diskBdi = WritebackLimit::bdiDirectoryOf(disk);
    const QString number = QFileInfo(diskBdi).fileName();
    QDir().mkpath(root + QStringLiteral("/class/block"));
    QDir().mkpath(root + QStringLiteral("/class/bdi/") + number);
    const QString name = QFileInfo(device).fileName();
    return QFile::link(QStringLiteral("/sys/class/block/") + name, root + QStringLiteral("/class/block/") + name)
            && QFile::link(diskBdi + QStringLiteral("/max_ratio"), root + QStringLiteral("/class/bdi/") + number + QStringLiteral("/max_ratio"));
}

// The devices whose settings differ; devices that came or went meanwhile
// (loop devices of other tests) do not count.
QStringList changedDevices(const BdiSettings &before, const BdiSettings &after)
{
    QStringList changed;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (after.contains(it.key()) && after.value(it.key()) != it.value())
            changed << it.key();
    }
    return changed;
}

} // namespace

class TestSlowStick : public QObject
{
    Q_OBJECT

private slots:
    void limitOnARealDevice_data();
    void limitOnARealDevice();
    void counterSeesWrites_data();
    void counterSeesWrites();
    void flushAfterCopy_data();
    void flushAfterCopy();
};

void TestSlowStick::limitOnARealDevice_data()
{
    QTest::addColumn<QString>("drive");
    QTest::addColumn<bool>("ratioOnly");

    QTest::newRow("loop device") << "loop" << false;
    QTest::newRow("partition: its disk") << "partition" << false;
    QTest::newRow("loop device, max_ratio only (6.1)") << "loop" << true;
    QTest::newRow("partition, max_ratio only (6.1)") << "partition" << true;
}

void TestSlowStick::limitOnARealDevice()
{
    REQUIRE_SANDBOX();
    QFETCH(QString, drive);
    QFETCH(bool, ratioOnly);
    const Drive stick(drive);
    QVERIFY2(stick.isValid(), qPrintable(stick.errorString()));
    const QString bdi = QStringLiteral("/sys/class/bdi/") + readFile(QStringLiteral("/sys/class/block/")
            + QFileInfo(stick.disk()).fileName() + QStringLiteral("/dev")).trimmed();
    if (!ratioOnly && !QFileInfo::exists(bdi + QStringLiteral("/max_bytes")))
        QSKIP(kNoByteLimits);

    QTemporaryDir mirror;
    if (ratioOnly)
        QVERIFY(mirrorWithRatioOnly(mirror.path(), stick.device(), stick.disk()));
    const BdiSettings before = allBdiSettings();
    const QString number = QFileInfo(bdi).fileName();

    WritebackLimit limit(ratioOnly ? mirror.path() : QStringLiteral("/sys"));
    QVERIFY(limit.apply(stick.device()));
    QCOMPARE(changedDevices(before, allBdiSettings()), QStringList{number});
    if (ratioOnly) {
        QCOMPARE(bdiValue(bdi, "max_ratio"), QByteArray::number(WritebackLimit::kMaxRatioPercent));
        QCOMPARE(bdiValue(bdi, "strict_limit"), before.value(number).split(' ').value(0));
    } else {
        QCOMPARE(bdiValue(bdi, "strict_limit"), QByteArray("1"));
        // The kernel keeps the limit as a fraction of a threshold that moves
        // with free memory.
        const qint64 shown = bdiValue(bdi, "max_bytes").toLongLong();
        QVERIFY2(qAbs(shown - WritebackLimit::kMaxDirtyBytes) < WritebackLimit::kMaxDirtyBytes / 20, qPrintable(QString::number(shown)));
    }

    limit.restore();
    QCOMPARE(changedDevices(before, allBdiSettings()), QStringList());
}

void TestSlowStick::counterSeesWrites_data()
{
    QTest::addColumn<QString>("drive");
    QTest::addColumn<int>("size");

    QTest::newRow("loop device, 1 MiB") << "loop" << int(kMiB);
    QTest::newRow("loop device, 24 MiB") << "loop" << int(24 * kMiB);
    QTest::newRow("partition, 8 MiB") << "partition" << int(8 * kMiB);
    QTest::newRow("slow stick with direct I/O, 4 MiB") << "slow stick" << int(4 * kMiB);
}

void TestSlowStick::counterSeesWrites()
{
    REQUIRE_SANDBOX();
    QFETCH(QString, drive);
    QFETCH(int, size);
    Drive stick(drive);
    QVERIFY2(stick.isValid(), qPrintable(stick.errorString()));
    QTemporaryDir mountPoint;
    QCOMPARE(run(QStringLiteral("mount"), {stick.device(), mountPoint.path()}), 0);

    const DeviceWriteCounter counter(stick.device());
    const qint64 before = counter.bytesWritten();
    QVERIFY(before >= 0);
    const QString file = mountPoint.filePath(QStringLiteral("recording.mp4"));
    QVERIFY(writeFile(file, randomBytes(size)));
    QCOMPARE(run(QStringLiteral("sync"), {QStringLiteral("-f"), file}), 0);
    const qint64 written = counter.bytesWritten() - before;
    QVERIFY2(written >= size, qPrintable(QStringLiteral("%1 of %2 bytes").arg(written).arg(size)));

    QCOMPARE(run(QStringLiteral("umount"), {mountPoint.path()}), 0);
}

void TestSlowStick::flushAfterCopy_data()
{
    QTest::addColumn<qint64>("speed"); // of the stick, bytes per second
    QTest::addColumn<qint64>("limit"); // 0: none
    QTest::addColumn<bool>("ratioOnly");
    QTest::addColumn<qint64>("size");

    if (!qEnvironmentVariableIsSet("CORVALET_SLOWSTICK_SWEEP")) {
        constexpr qint64 kSize = 64 * 1000 * 1000;
        QTest::newRow("10 MB/s, 64 MB, none") << kStickBytesPerSecond << qint64(0) << false << kSize;
        QTest::newRow("10 MB/s, 64 MB, chosen limit") << kStickBytesPerSecond << WritebackLimit::kMaxDirtyBytes << false << kSize;
        return;
    }
    // The slow stick the limit is for, with ten seconds of writing, and a
    // fast one with five, where too small a limit would cost speed.
    for (const qint64 speed : {kStickBytesPerSecond, 6 * kStickBytesPerSecond}) {
        const bool slow = speed == kStickBytesPerSecond;
        const qint64 size = speed * (slow ? 10 : 5);
        const QString prefix = QStringLiteral("%1 MB/s, %2 MB, ").arg(speed / 1000000).arg(size / 1000000);
        QTest::newRow(qPrintable(prefix + QStringLiteral("none"))) << speed << qint64(0) << false << size;
        for (const qint64 mib : {64, 32, 16, 8}) {
            if (slow || mib < 64)
                QTest::newRow(qPrintable(prefix + QStringLiteral("%1 MiB").arg(mib))) << speed << mib * kMiB << false << size;
        }
        if (slow)
            QTest::newRow(qPrintable(prefix + QStringLiteral("max_ratio 1 % (6.1)"))) << speed << kMiB << true << size;
    }
}

void TestSlowStick::flushAfterCopy()
{
    REQUIRE_SANDBOX();
    QFETCH(qint64, speed);
    QFETCH(qint64, limit);
    QFETCH(bool, ratioOnly);
    QFETCH(qint64, size);
    SlowDrive stick(1024, speed);
    QVERIFY2(stick.isValid(), qPrintable(stick.errorString()));
    QTemporaryDir mountPoint;
    QVERIFY(stick.mountAt(mountPoint.path()));

    QTemporaryDir mirror;
    if (ratioOnly)
        QVERIFY(mirrorWithRatioOnly(mirror.path(), stick.device(), stick.device()));
    WritebackLimit writeback(ratioOnly ? mirror.path() : QStringLiteral("/sys"));
    if (limit > 0 && !ratioOnly && !QFileInfo::exists(WritebackLimit::bdiDirectoryOf(stick.device()) + QStringLiteral("/max_bytes")))
        QSKIP(kNoByteLimits);
    if (limit > 0)
        QVERIFY(writeback.apply(stick.device(), limit));
    // A loop device's bdi outlives its attachment: a run killed with a limit
    // in place leaves it to the next user of the same loop device.
    const QString bdi = WritebackLimit::bdiDirectoryOf(stick.device());
    if (limit == 0 && (bdiValue(bdi, "strict_limit") == "1" || bdiValue(bdi, "max_ratio") != "100"))
        QSKIP(qPrintable(bdi + QStringLiteral(" still carries a limit of an earlier run that was killed: strict_limit ")
                         + QString::fromLatin1(bdiValue(bdi, "strict_limit")) + QStringLiteral(", max_ratio ")
                         + QString::fromLatin1(bdiValue(bdi, "max_ratio"))));
    const DeviceWriteCounter counter(stick.device());

    const QString path = mountPoint.filePath(QStringLiteral("recording.mp4"));
    const QByteArray chunk = randomBytes(int(kMiB));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const qint64 before = counter.bytesWritten();
    QElapsedTimer clock;
    clock.start();
    for (qint64 done = 0; done < size; done += chunk.size())
        QCOMPARE(file.write(chunk.constData(), qMin<qint64>(chunk.size(), size - done)), qMin<qint64>(chunk.size(), size - done));
    file.close();
    const qint64 writeMs = clock.restart();
    const qint64 onStickAtEnd = counter.bytesWritten() - before;
    QCOMPARE(run(QStringLiteral("sync"), {QStringLiteral("-f"), path}), 0);
    const qint64 syncMs = clock.elapsed();
    const qint64 onStick = counter.bytesWritten() - before;

    std::printf("stick %-36s write %5.1f s  sync -f %5.1f s  total %5.1f s  on the stick when the write ended %4lld MiB\n",
                QTest::currentDataTag(), double(writeMs) / 1000, double(syncMs) / 1000, double(writeMs + syncMs) / 1000,
                onStickAtEnd / kMiB);
    std::fflush(stdout);

    QVERIFY2(onStick >= size, qPrintable(QStringLiteral("%1 of %2 bytes").arg(onStick).arg(size)));
    // What the flush is left with is bounded by the limit where the kernel
    // keeps to it whatever the rest of the system does.
    if (limit > 0 && !ratioOnly)
        QVERIFY2(size - onStickAtEnd <= limit, qPrintable(QStringLiteral("%1 bytes left").arg(size - onStickAtEnd)));
    writeback.restore();
    QVERIFY(stick.unmountFrom(mountPoint.path()));
}

QTEST_GUILESS_MAIN(TestSlowStick)
#include "tst_slowstick.moc"
