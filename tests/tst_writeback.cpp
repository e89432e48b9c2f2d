// The stick's write-cache limit and its write counter against a fake sysfs
// tree laid out as the kernel lays out its own: devices under devices/, links
// to them in class/block/ and dev/block/, a partition as a subdirectory of its
// disk, and one backing-dev-info directory per disk in class/bdi/. The tree
// plays the kernel's part where it matters: max_bytes is kept as a fraction
// of the global dirty threshold, and an attribute that refuses values is a
// link to /dev/full. The real kernel is in tst_export's slow stick.

#include "testsupport.h"

#include "device/writeback.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

constexpr qint64 kLimit = 32 * 1024 * 1024;
// The fake kernel's global dirty threshold, and what max_bytes shows for a
// device with the whole of it (max_ratio 100).
constexpr qint64 kThreshold = 4975075328;
constexpr qint64 kMillionths = 1000000;

struct Device {
    const char *name;
    const char *number;
    const char *disk; // the disk of a partition, nullptr for a disk
};

const Device kDevices[] = {
    {"sda", "8:0", nullptr},        {"sda1", "8:1", "sda"},
    {"sdb", "8:16", nullptr},       {"sdb1", "8:17", "sdb"},
    {"sdc", "8:32", nullptr},       {"loop3", "7:3", nullptr},
    {"nvme0n1", "259:0", nullptr},  {"nvme0n1p1", "259:1", "nvme0n1"},
};

using Files = QMap<QString, QByteArray>;

// A sysfs tree with the devices above. `kernel` "6.2" gives every disk the
// byte limits, "6.1" only max_ratio. It sees every write to a bdi directory,
// in order, through inotify, as the kernel sees the stores to its attributes.
class FakeSysfs
{
public:
    explicit FakeSysfs(const QString &kernel)
        : m_inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        for (const Device &device : kDevices) {
            const QString name = QString::fromLatin1(device.name);
            const QString relative = device.disk
                    ? QStringLiteral("devices/virtual/block/%1/%2").arg(QLatin1String(device.disk), name)
                    : QStringLiteral("devices/virtual/block/") + name;
            const QString directory = path(relative);
            writeFile(directory + QStringLiteral("/dev"), QByteArray(device.number) + '\n');
            writeFile(directory + QStringLiteral("/stat"), statLine(0, 0));
            if (device.disk)
                writeFile(directory + QStringLiteral("/partition"), "1\n");
            QDir().mkpath(path(QStringLiteral("class/block")));
            QDir().mkpath(path(QStringLiteral("dev/block")));
            QFile::link(QStringLiteral("../../") + relative, path(QStringLiteral("class/block/") + name));
            QFile::link(QStringLiteral("../../") + relative, path(QStringLiteral("dev/block/") + QLatin1String(device.number)));
            if (!device.disk)
                addBdi(QString::fromLatin1(device.number), kernel);
        }
    }
    ~FakeSysfs() { ::close(m_inotify); }
    FakeSysfs(const FakeSysfs &) = delete;
    FakeSysfs &operator=(const FakeSysfs &) = delete;

    QString root() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QString bdi(const QString &number) const { return path(QStringLiteral("class/bdi/") + number); }

    void addBdi(const QString &number, const QString &kernel, const QByteArray &strictLimit = "0")
    {
        const QString directory = bdi(number);
        writeFile(directory + QStringLiteral("/max_ratio"), "100\n");
        writeFile(directory + QStringLiteral("/min_ratio"), "0\n");
        writeFile(directory + QStringLiteral("/read_ahead_kb"), "128\n");
        if (kernel == QLatin1String("6.2")) {
            writeFile(directory + QStringLiteral("/max_ratio_fine"), QByteArray::number(100 * 10000) + '\n');
            writeFile(directory + QStringLiteral("/max_bytes"), QByteArray::number(kThreshold) + '\n');
            writeFile(directory + QStringLiteral("/strict_limit"), strictLimit + '\n');
        }
        const int watch = ::inotify_add_watch(m_inotify, QFile::encodeName(directory).constData(), IN_CLOSE_WRITE);
        m_watches.insert(watch, number);
    }

    // The global dirty threshold moves with free memory.
    void setThreshold(qint64 bytes) { m_threshold = bytes; }

    // Does what the kernel does on each store: max_bytes and max_ratio_fine
    // set the same fraction of the global threshold, and the later store
    // wins; a max_bytes above the threshold is refused; max_ratio and
    // max_bytes show the fraction. Returns the stores since the last call as
    // "major:minor/file".
    QStringList settle()
    {
        const QStringList stores = takeStores();
        QMap<QString, QString> lastFractionStore;
        for (const QString &store : stores) {
            const QString file = store.section(QLatin1Char('/'), 1);
            if (file == QLatin1String("max_bytes") || file == QLatin1String("max_ratio_fine"))
                lastFractionStore[store.section(QLatin1Char('/'), 0, 0)] = file;
        }
        for (auto it = lastFractionStore.cbegin(); it != lastFractionStore.cend(); ++it) {
            const QString directory = bdi(it.key());
            const qint64 bytes = value(directory, "max_bytes");
            const qint64 fine = it.value() == QLatin1String("max_bytes") && bytes <= m_threshold
                    ? bytes * kMillionths / m_threshold
                    : value(directory, "max_ratio_fine");
            writeFile(directory + QStringLiteral("/max_ratio_fine"), QByteArray::number(fine) + '\n');
            writeFile(directory + QStringLiteral("/max_ratio"), QByteArray::number(fine / 10000) + '\n');
            writeFile(directory + QStringLiteral("/max_bytes"), QByteArray::number(fine * m_threshold / kMillionths) + '\n');
        }
        takeStores(); // the kernel's own
        return stores;
    }

    qint64 value(const QString &directory, const char *file) const
    {
        return readFile(directory + QLatin1Char('/') + QLatin1String(file)).trimmed().toLongLong();
    }

    // Every file of the tree with its content.
    Files files() const
    {
        Files result;
        const Files entries = snapshot(root());
        for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
            if (it.value().startsWith("file "))
                result.insert(it.key(), readFile(path(it.key())).trimmed());
        }
        return result;
    }

    static QByteArray statLine(qint64 sectorsRead, qint64 sectorsWritten)
    {
        return QStringLiteral("%1 0 %2 40 %3 7 %4 900 0 1200 1300 0 0 0 0 0 0\n")
                .arg(sectorsRead / 8, 8).arg(sectorsRead, 8).arg(sectorsWritten / 8, 8).arg(sectorsWritten, 8)
                .toLatin1();
    }

private:
    QStringList takeStores()
    {
        QStringList stores;
        alignas(struct inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_inotify, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < n;) {
                struct inotify_event event;
                std::memcpy(&event, buffer + at, sizeof event);
                if (event.len > 0 && m_watches.contains(event.wd))
                    stores << m_watches.value(event.wd) + QLatin1Char('/') + QString::fromUtf8(buffer + at + sizeof event);
                at += ssize_t(sizeof event + event.len);
            }
        }
        return stores;
    }

    QTemporaryDir m_dir;
    qint64 m_threshold = kThreshold;
    int m_inotify;
    QMap<int, QString> m_watches;
};

// The files whose content differs between two states of the tree.
Files changes(const Files &before, const Files &after)
{
    Files changed;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (before.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    }
    return changed;
}

// True when every store went to the bdi directory `number`.
bool onlyTo(const QStringList &stores, const QString &number)
{
    for (const QString &store : stores) {
        if (!store.startsWith(number + QLatin1Char('/')))
            return false;
    }
    return true;
}

} // namespace

class TestWriteback : public QObject
{
    Q_OBJECT

private slots:
    void findsTheDisksBdi_data();
    void findsTheDisksBdi();
    void limitsTheStickAlone_data();
    void limitsTheStickAlone();
    void destructorRestores();
    void restoresWhenTheThresholdMoved();
    void replacedStickIsLeftAlone_data();
    void replacedStickIsLeftAlone();
    void countsTheDevicesOwnWrites_data();
    void countsTheDevicesOwnWrites();
};

void TestWriteback::findsTheDisksBdi_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("bdi");

    QTest::newRow("disk") << "/dev/sdc" << "8:32";
    QTest::newRow("partition: its disk") << "/dev/sdb1" << "8:16";
    QTest::newRow("loop device") << "/dev/loop3" << "7:3";
    // The disk's number is not the partition's less its index here.
    QTest::newRow("nvme partition") << "/dev/nvme0n1p1" << "259:0";
    QTest::newRow("unknown device") << "/dev/sdz1" << "";
    QTest::newRow("dot dot") << "/dev/.." << "";
}

void TestWriteback::findsTheDisksBdi()
{
    QFETCH(QString, device);
    QFETCH(QString, bdi);
    const FakeSysfs sysfs(QStringLiteral("6.2"));
    QCOMPARE(WritebackLimit::bdiDirectoryOf(device, sysfs.root()), bdi.isEmpty() ? QString() : sysfs.bdi(bdi));
}

void TestWriteback::limitsTheStickAlone_data()
{
    QTest::addColumn<QString>("kernel");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("refused"); // a file of 8:16 the kernel refuses to take
    QTest::addColumn<QString>("bdi");     // the one limited, empty for none

    QTest::newRow("6.2, partition") << "6.2" << "/dev/sdb1" << "" << "8:16";
    QTest::newRow("6.1, partition") << "6.1" << "/dev/sdb1" << "" << "8:16";
    QTest::newRow("6.1, loop device") << "6.1" << "/dev/loop3" << "" << "7:3";
    QTest::newRow("no bdi directory") << "none" << "/dev/sdb1" << "" << "";
    QTest::newRow("6.2, max_bytes refused") << "6.2" << "/dev/sdb1" << "max_bytes" << "";
    QTest::newRow("6.2, strict_limit refused") << "6.2" << "/dev/sdb1" << "strict_limit" << "";
    QTest::newRow("6.1, max_ratio refused") << "6.1" << "/dev/sdb1" << "max_ratio" << "";
}

void TestWriteback::limitsTheStickAlone()
{
    QFETCH(QString, kernel);
    QFETCH(QString, device);
    QFETCH(QString, refused);
    QFETCH(QString, bdi);

    FakeSysfs sysfs(kernel == QLatin1String("none") ? QStringLiteral("6.2") : kernel);
    if (kernel == QLatin1String("none"))
        QVERIFY(QDir(sysfs.bdi(QStringLiteral("8:16"))).removeRecursively());
    if (!refused.isEmpty()) {
        // Reads, and fails every write as the kernel fails a value it refuses.
        const QString file = sysfs.bdi(QStringLiteral("8:16")) + QLatin1Char('/') + refused;
        QVERIFY(QFile::remove(file) && QFile::link(QStringLiteral("/dev/full"), file));
    }
    const Files before = sysfs.files();

    WritebackLimit limit(sysfs.root());
    QCOMPARE(limit.apply(device, kLimit), !bdi.isEmpty());
    QCOMPARE(limit.bdiDirectory(), bdi.isEmpty() ? QString() : sysfs.bdi(bdi));
    const QStringList stores = sysfs.settle();
    QVERIFY2(onlyTo(stores, refused.isEmpty() ? bdi : QStringLiteral("8:16")), qPrintable(stores.join(u' ')));

    Files expected;
    const QString prefix = QStringLiteral("class/bdi/") + bdi + QLatin1Char('/');
    if (!bdi.isEmpty() && kernel == QLatin1String("6.2")) {
        const qint64 fine = kLimit * kMillionths / kThreshold;
        expected.insert(prefix + QStringLiteral("strict_limit"), "1");
        expected.insert(prefix + QStringLiteral("max_ratio_fine"), QByteArray::number(fine));
        expected.insert(prefix + QStringLiteral("max_ratio"), "0");
        expected.insert(prefix + QStringLiteral("max_bytes"), QByteArray::number(fine * kThreshold / kMillionths));
    } else if (!bdi.isEmpty()) {
        expected.insert(prefix + QStringLiteral("max_ratio"), QByteArray::number(WritebackLimit::kMaxRatioPercent));
    }
    QCOMPARE(changes(before, sysfs.files()), expected);

    limit.restore();
    QCOMPARE(sysfs.settle().isEmpty(), bdi.isEmpty());
    QCOMPARE(changes(before, sysfs.files()), Files());

    // Restored once is restored: a later change by someone else stays.
    limit.restore();
    QCOMPARE(sysfs.settle(), QStringList());
}

void TestWriteback::destructorRestores()
{
    FakeSysfs sysfs(QStringLiteral("6.2"));
    const Files before = sysfs.files();
    const QString bdi = sysfs.bdi(QStringLiteral("8:16"));
    {
        WritebackLimit limit(sysfs.root());
        QVERIFY(limit.apply(QStringLiteral("/dev/sdb1")));
        sysfs.settle();
        QCOMPARE(sysfs.value(bdi, "strict_limit"), 1);
        // What the kernel shows is the nearest millionth of its threshold.
        QVERIFY(qAbs(sysfs.value(bdi, "max_bytes") - WritebackLimit::kMaxDirtyBytes) < kThreshold / kMillionths);
    }
    sysfs.settle();
    QCOMPARE(changes(before, sysfs.files()), Files());
}

void TestWriteback::restoresWhenTheThresholdMoved()
{
    FakeSysfs sysfs(QStringLiteral("6.2"));
    const QString bdi = sysfs.bdi(QStringLiteral("8:16"));
    WritebackLimit limit(sysfs.root());
    QVERIFY(limit.apply(QStringLiteral("/dev/sdb1")));
    sysfs.settle();
    // Less free memory now: the old max_bytes figure is more than the whole
    // threshold, yet the old setting was the whole of it.
    sysfs.setThreshold(kThreshold - 64 * 1024 * 1024);
    limit.restore();
    sysfs.settle();
    QCOMPARE(sysfs.value(bdi, "max_ratio_fine"), 100 * 10000);
    QCOMPARE(sysfs.value(bdi, "strict_limit"), 0);
}

void TestWriteback::replacedStickIsLeftAlone_data()
{
    QTest::addColumn<bool>("anotherStick");
    QTest::newRow("stick pulled") << false;
    QTest::newRow("another stick with the same numbers") << true;
}

void TestWriteback::replacedStickIsLeftAlone()
{
    QFETCH(bool, anotherStick);
    FakeSysfs sysfs(QStringLiteral("6.2"));
    const QString bdi = sysfs.bdi(QStringLiteral("8:16"));
    WritebackLimit limit(sysfs.root());
    QVERIFY(limit.apply(QStringLiteral("/dev/sdb1")));
    sysfs.settle();
    // sysfs gives a new directory a new inode number; a plain file system
    // may reuse the old one unless it is still taken.
    const QString gone = sysfs.path(QStringLiteral("gone"));
    QVERIFY(QDir().rename(bdi, gone));
    // The new stick's settings, whoever chose them, are not ours to change.
    if (anotherStick)
        sysfs.addBdi(QStringLiteral("8:16"), QStringLiteral("6.2"), "1");
    QVERIFY(QDir(gone).removeRecursively());
    const Files before = sysfs.files();
    limit.restore();
    QCOMPARE(sysfs.settle(), QStringList());
    QCOMPARE(changes(before, sysfs.files()), Files());
}

void TestWriteback::countsTheDevicesOwnWrites_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QByteArray>("stat");
    QTest::addColumn<qint64>("bytes");

    QTest::newRow("disk") << "/dev/sdc" << FakeSysfs::statLine(800, 2048) << qint64(2048 * 512);
    QTest::newRow("partition, not its disk") << "/dev/sdb1" << FakeSysfs::statLine(8, 123456) << qint64(123456) * 512;
    // 16 TiB: beyond 32 bits of sectors.
    QTest::newRow("large") << "sdc" << FakeSysfs::statLine(0, qint64(1) << 35) << (qint64(1) << 44);
    QTest::newRow("older kernel, 11 fields") << "/dev/sdc" << QByteArray("1 2 3 4 5 6 77 8 9 10 11\n") << qint64(77 * 512);
    QTest::newRow("cut short") << "/dev/sdc" << QByteArray("1 2 3 4 5 6\n") << qint64(-1);
    QTest::newRow("beyond any device") << "/dev/sdc" << QByteArray("0 0 0 0 0 0 99999999999999999999 0\n") << qint64(-1);
    QTest::newRow("unknown device") << "/dev/sdz1" << QByteArray() << qint64(-1);
}

void TestWriteback::countsTheDevicesOwnWrites()
{
    QFETCH(QString, device);
    QFETCH(QByteArray, stat);
    QFETCH(qint64, bytes);
    FakeSysfs sysfs(QStringLiteral("6.2"));
    // The disk of a partition has written more than the partition.
    QVERIFY(writeFile(sysfs.path(QStringLiteral("class/block/sdb/stat")), FakeSysfs::statLine(0, 999999)));
    const QString name = device.section(QLatin1Char('/'), -1);
    const bool known = QFileInfo::exists(sysfs.path(QStringLiteral("class/block/") + name));
    if (known)
        QVERIFY(writeFile(sysfs.path(QStringLiteral("class/block/") + name + QStringLiteral("/stat")), stat));

    const DeviceWriteCounter counter(device, sysfs.root());
    QCOMPARE(counter.isValid(), known);
    QCOMPARE(counter.bytesWritten(), bytes);
}

QTEST_GUILESS_MAIN(TestWriteback)
#include "tst_writeback.moc"
