// The counterfeit stick of the test support: its flash through the whole
// stack (nbdkit, nbdfuse, the loop device) byte for byte, and what the real
// file systems make of it after a fresh mount.

#include "counterfeitdrive.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace TestSupport;
using Mode = CounterfeitDrive::Mode;

Q_DECLARE_METATYPE(CounterfeitDrive::Mode)

namespace {

constexpr qint64 kMiB = 1024 * 1024;

enum class Request { Write, WriteZeroes, Discard };
// What the file system shows after the files went on the stick and it was
// mounted again.
enum class Outcome {
    FirstFilesKept,  // it mounts; the first file is right, later ones are not
    Damaged,         // it no longer mounts, or files read back wrong
    NoFirstMount,    // mkfs succeeds, but its own metadata is already gone
};

// Direct I/O on the device, so that the block device's page cache answers
// for nothing; buffers aligned for it.
struct AlignedBuffer {
    explicit AlignedBuffer(qint64 bytes) : data(static_cast<char *>(std::aligned_alloc(4096, size_t(bytes)))) {}
    ~AlignedBuffer() { std::free(data); }
    AlignedBuffer(const AlignedBuffer &) = delete;
    AlignedBuffer &operator=(const AlignedBuffer &) = delete;
    char *data;
};

bool transfer(const QString &device, bool write, qint64 offset, const QByteArray &in, QByteArray *out, qint64 length)
{
    const int fd = ::open(QFile::encodeName(device).constData(), (write ? O_WRONLY : O_RDONLY) | O_DIRECT | O_CLOEXEC);
    if (fd < 0)
        return false;
    AlignedBuffer buffer(length);
    if (write)
        std::memcpy(buffer.data, in.constData(), size_t(length));
    const ssize_t done = write ? ::pwrite(fd, buffer.data, size_t(length), offset)
                               : ::pread(fd, buffer.data, size_t(length), offset);
    if (out)
        *out = QByteArray(buffer.data, int(length));
    return ::close(fd) == 0 && done == length;
}

bool request(const QString &device, Request what, qint64 offset, const QByteArray &data)
{
    if (what == Request::Write)
        return transfer(device, true, offset, data, nullptr, data.size());
    const int fd = ::open(QFile::encodeName(device).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    quint64 range[2] = {quint64(offset), quint64(data.size())};
    const int result = ::ioctl(fd, what == Request::Discard ? BLKDISCARD : BLKZEROOUT, range);
    return ::close(fd) == 0 && result == 0;
}

struct WrittenFile {
    QString name;
    QByteArray sha256;
};

} // namespace

Q_DECLARE_METATYPE(Request)
Q_DECLARE_METATYPE(Outcome)

class CounterfeitTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void flash_data();
    void flash();
    void fileSystem_data();
    void fileSystem();
};

void CounterfeitTest::initTestCase()
{
    REQUIRE_SANDBOX();
    const QString missing = CounterfeitDrive::unavailableReason();
    if (!missing.isEmpty())
        QSKIP(qPrintable("no counterfeit drive on this machine: " + missing));
}

// A drive of 8 MiB with 3 MiB of flash (no power of two, so that a wrong
// modulo shows), filled with a pattern, then one request; every byte the
// drive reports must then read as a controller of that kind would give it.
// Offsets off the page size take the plugin's partial-page paths.
void CounterfeitTest::flash_data()
{
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<Request>("what");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("length");
    const qint64 kept = 3 * kMiB;
    const qint64 across = kept - 64 * 1024 - 1536;
    for (const Mode mode : {Mode::LosesData, Mode::WrapsAround}) {
        const char *name = mode == Mode::LosesData ? "loses" : "wraps";
        QTest::addRow("%s: write across the end of the flash", name) << mode << Request::Write << across << qint64(256 * 1024);
        QTest::addRow("%s: write two flash sizes on", name) << mode << Request::Write << 2 * kept + kMiB + 512 << qint64(96 * 1024);
        QTest::addRow("%s: write-zeroes across the end", name) << mode << Request::WriteZeroes << across << qint64(kMiB + 4096);
        QTest::addRow("%s: discard past the end", name) << mode << Request::Discard << kept + 8192 << qint64(kMiB);
    }
}

void CounterfeitTest::flash()
{
    QFETCH(Mode, mode);
    QFETCH(Request, what);
    QFETCH(qint64, offset);
    QFETCH(qint64, length);
    const qint64 reported = 8 * kMiB;
    const qint64 kept = 3 * kMiB;
    CounterfeitDrive drive(reported / kMiB, kept / kMiB, mode, QString());
    QVERIFY2(drive.isValid(), qPrintable(drive.errorString()));

    QByteArray model = randomBytes(int(kept));
    QVERIFY(request(drive.device(), Request::Write, 0, model));
    const QByteArray data = what == Request::Write ? randomBytes(int(length)) : QByteArray(int(length), '\0');
    QVERIFY(request(drive.device(), what, offset, data));
    for (qint64 i = 0; i < length; ++i) {
        const qint64 address = offset + i;
        if (mode == Mode::WrapsAround)
            model[int(address % kept)] = data.at(int(i));
        else if (address < kept)
            model[int(address)] = data.at(int(i));
    }

    QByteArray read;
    QVERIFY(transfer(drive.device(), false, 0, QByteArray(), &read, reported));
    for (qint64 start = 0; start < reported; start += kept) {
        const int size = int(qMin(kept, reported - start));
        const QByteArray expected = mode == Mode::WrapsAround || start == 0 ? model.left(size) : QByteArray(size, '\0');
        QVERIFY2(read.mid(int(start), size) == expected, qPrintable(QString("wrong at %1 MiB").arg(start / kMiB)));
    }
}

// About 40 MB of recordings on a 64 MiB stick: each file's SHA-256 after a
// fresh mount against what was written. Losing sticks keep 24 MiB; wrapping
// ones keep 32 MiB: with 24 the backup superblock that mkfs.ext4 writes at
// 40 MiB already lands on the journal's superblock at 16 MiB, and ext4 does
// not mount at all. NTFS keeps the mirror of its file table in the middle of
// the volume, so a stick that loses everything past 24 MiB loses the mirror
// and ntfs-3g refuses it; with 40 MiB it mounts.
void CounterfeitTest::fileSystem_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<qint64>("keptMiB");
    QTest::addColumn<Outcome>("outcome");
    for (const char *fileSystem : {"ext4", "exfat"}) {
        QTest::addRow("%s, loses data", fileSystem) << fileSystem << Mode::LosesData << qint64(24) << Outcome::FirstFilesKept;
        QTest::addRow("%s, wraps around", fileSystem) << fileSystem << Mode::WrapsAround << qint64(32) << Outcome::Damaged;
    }
    QTest::newRow("ntfs, loses data past its mirror") << "ntfs" << Mode::LosesData << qint64(40) << Outcome::FirstFilesKept;
    QTest::newRow("ntfs, loses its mirror") << "ntfs" << Mode::LosesData << qint64(24) << Outcome::NoFirstMount;
}

void CounterfeitTest::fileSystem()
{
    QFETCH(QString, fileSystem);
    QFETCH(Mode, mode);
    QFETCH(qint64, keptMiB);
    QFETCH(Outcome, outcome);
    QTemporaryDir dir; // outlives the drive, which unmounts what a failure left
    CounterfeitDrive drive(64, keptMiB, mode, fileSystem);
    QVERIFY2(drive.isValid(), qPrintable(drive.errorString()));
    const QString mountPoint = dir.filePath("stick");
    if (outcome == Outcome::NoFirstMount) {
        QVERIFY(!drive.mountAt(mountPoint));
        return;
    }
    QVERIFY(drive.mountAt(mountPoint));

    // The stick takes every byte without a word: each write and the sync succeed.
    QList<WrittenFile> files;
    for (int i = 0; i < 34; ++i) {
        const QByteArray content = randomBytes(1200 * 1000);
        const QString name = QString("ch%1/%2.mp4").arg(i % 3 + 1).arg(i, 2, 10, QChar('0'));
        QVERIFY(writeFile(mountPoint + '/' + name, content));
        files.append({name, QCryptographicHash::hash(content, QCryptographicHash::Sha256)});
    }
    QCOMPARE(run("sync", {"-f", mountPoint}), 0);
    QVERIFY(drive.unmountFrom(mountPoint));

    const bool mounted = drive.mountAt(mountPoint);
    int wrong = 0;
    for (const WrittenFile &file : files) {
        QFile onStick(mountPoint + '/' + file.name);
        const bool right = mounted && onStick.open(QIODevice::ReadOnly)
                && QCryptographicHash::hash(onStick.readAll(), QCryptographicHash::Sha256) == file.sha256;
        wrong += right ? 0 : 1;
        if (file.name == files.first().name && outcome == Outcome::FirstFilesKept)
            QVERIFY2(right, "the first file written did not survive");
    }
    std::printf("%s, keeps %lld of 64 MiB: %s, %d of %d files read back wrong\n", qPrintable(fileSystem), keptMiB,
                mounted ? "mounts again" : "does not mount again", wrong, int(files.size()));
    if (outcome == Outcome::FirstFilesKept)
        QVERIFY(mounted);
    QVERIFY(wrong > 0);
    if (mounted)
        QVERIFY(drive.unmountFrom(mountPoint));
}

QTEST_GUILESS_MAIN(CounterfeitTest)
#include "tst_counterfeit.moc"
