#include "device/partitionchoice.h"

#include "platform/command.h"
#include "platform/fileutil.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <limits>

namespace {

// A stick that does not answer holds up every instance of its disk, but only
// for so long: each probe gets kProbeTimeoutMs, and once kProbeBudgetMs have
// gone by the devices left are taken as carrying nothing.
constexpr int kProbeTimeoutMs = 3000;
constexpr qint64 kProbeBudgetMs = 10000;
// Every sysfs file read here is one short line.
constexpr int kSmallFileBytes = 64;
constexpr qint64 kSectorBytes = 512;
constexpr qint64 kMiB = qint64(1024) * 1024;

// The file system of the device asked about when its probe gave no answer.
const QString kUnknownFileSystem = QStringLiteral("unknown");

// A block device's kernel name, as sysfs and /dev use it ("sdb1", "nvme0n1p2",
// "loop3"); anything else found in a directory listing or on the command line
// is not made into a path.
bool isKernelName(const QString &name)
{
    if (name.isEmpty() || name.size() > 32 || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    return std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
                || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('_')
                || c == QLatin1Char('.') || c == QLatin1Char(':');
    });
}

// A file system type as blkid names them ("exfat", "crypto_LUKS", "ext4").
bool isTypeName(const QByteArray &type)
{
    if (type.isEmpty() || type.size() > 32)
        return false;
    return std::all_of(type.begin(), type.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'
                || c == '.';
    });
}


// A non-negative decimal number of one line; -1 for anything else.
qint64 readNumber(const QString &path)
{
    const QByteArray text = readSmallFile(path, kSmallFileBytes).trimmed();
    if (text.isEmpty())
        return -1;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || value > (std::numeric_limits<qint64>::max() - 9) / 10)
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool isBlockDirectory(const QString &directory)
{
    return QFileInfo(directory + QStringLiteral("/dev")).isFile();
}

// The kernel name of a device given as a name, a /dev path or a link to one.
QString kernelNameOf(const QString &device)
{
    const QString path = device.contains(QLatin1Char('/')) ? device : QStringLiteral("/dev/") + device;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return QFileInfo(canonical.isEmpty() ? path : canonical).fileName();
}

// The size in bytes sysfs gives a block device, always counted in 512-byte
// sectors; 0 when it cannot be read.
qint64 sizeOf(const QString &directory)
{
    const qint64 sectors = readNumber(directory + QStringLiteral("/size"));
    if (sectors < 0 || sectors > std::numeric_limits<qint64>::max() / kSectorBytes)
        return 0;
    return sectors * kSectorBytes;
}

} // namespace

bool isWritableFileSystem(const QString &fileSystem)
{
    // Disc images, and the compressed images of installers and firmware: the
    // kernel has no way to write any of them. UDF is not among them; Linux
    // writes the versions that sticks are formatted with.
    static const QStringList readOnly{QStringLiteral("iso9660"), QStringLiteral("squashfs"),
                                      QStringLiteral("cramfs"), QStringLiteral("erofs"), QStringLiteral("romfs")};
    return !fileSystem.isEmpty() && !readOnly.contains(fileSystem);
}

QString chooseExportDevice(const QVector<BlockDeviceInfo> &devices)
{
    const auto largest = [&](bool writableOnly) -> const BlockDeviceInfo * {
        const BlockDeviceInfo *best = nullptr;
        for (const BlockDeviceInfo &device : devices) {
            if (device.fileSystem.isEmpty() || (writableOnly && !isWritableFileSystem(device.fileSystem)))
                continue;
            if (!best || device.sizeBytes > best->sizeBytes)
                best = &device;
        }
        return best;
    };
    const BlockDeviceInfo *chosen = largest(true);
    if (!chosen)
        chosen = largest(false);
    return chosen ? chosen->name : QString();
}

ProbeResult probeWithBlkid(const QString &devicePath)
{
    // -p: the device's own superblocks, not the cache or udev's database,
    // which may not know a sibling partition yet.
    const Command blkid(QStringLiteral("blkid"), {QStringLiteral("-p"), QStringLiteral("-o"), QStringLiteral("export"),
                                                  devicePath},
                        kProbeTimeoutMs);
    ProbeResult result;
    // 2: nothing found; 8: several file systems that contradict each other,
    // which udev's probe does not take as one either.
    if (blkid.outcome() == Command::Outcome::Failed && (blkid.exitCode() == 2 || blkid.exitCode() == 8)) {
        result.answered = true;
        return result;
    }
    if (!blkid.succeeded()) {
        qWarning() << "无法检测设备内容:" << devicePath << blkid.errorString();
        return result;
    }
    result.answered = true;
    QByteArray type;
    bool filesystem = false;
    const QList<QByteArray> lines = blkid.standardOutput().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("TYPE="))
            type = line.mid(5);
        else if (line == "USAGE=filesystem")
            filesystem = true;
    }
    if (filesystem && isTypeName(type))
        result.fileSystem = QString::fromLatin1(type);
    return result;
}

QString DiskChoice::describe() const
{
    QStringList parts;
    for (const BlockDeviceInfo &info : devices) {
        parts << QStringLiteral("%1 (%2, %3 MiB)")
                         .arg(info.name, info.fileSystem.isEmpty() ? QStringLiteral("-") : info.fileSystem)
                         .arg(info.sizeBytes / kMiB);
    }
    return parts.join(QStringLiteral(", "));
}

DiskChoice chooseExportDeviceFor(const QString &device, const QString &sysfsRoot, const DeviceProbe &probe)
{
    DiskChoice choice;
    choice.device = kernelNameOf(device);
    choice.chosen = choice.device;
    if (!isKernelName(choice.device))
        return choice;

    const QString directory = QFileInfo(sysfsRoot + QStringLiteral("/class/block/") + choice.device).canonicalFilePath();
    if (directory.isEmpty() || !isBlockDirectory(directory))
        return choice;
    // A partition is a directory of its disk's own.
    const bool isPartition = QFileInfo(directory + QStringLiteral("/partition")).isFile();
    const QString disk = isPartition ? QFileInfo(directory).path() : directory;
    if (!isBlockDirectory(disk))
        return choice;

    struct Found {
        qint64 number;
        QString name;
        QString directory;
    };
    QVector<Found> partitions;
    const QStringList entries = QDir(disk).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : entries) {
        const QString path = disk + QLatin1Char('/') + name;
        const qint64 number = readNumber(path + QStringLiteral("/partition"));
        if (number >= 0 && isKernelName(name) && isBlockDirectory(path))
            partitions.append({number, name, path});
    }
    std::sort(partitions.begin(), partitions.end(), [](const Found &a, const Found &b) {
        return a.number != b.number ? a.number < b.number : a.name < b.name;
    });
    const QString diskName = QFileInfo(disk).fileName();
    if (!isKernelName(diskName))
        return choice;
    QVector<Found> all{{0, diskName, disk}};
    all += partitions;
    const auto own = std::find_if(all.cbegin(), all.cend(), [&](const Found &found) { return found.name == choice.device; });
    if (own == all.cend())
        return choice;

    // In the disk's own order, which decides between equal sizes; the device
    // asked about is probed first, so that a stick that runs out of time
    // still has the answer for it.
    for (const Found &found : qAsConst(all))
        choice.devices.append({found.name, sizeOf(found.directory), QString()});
    const int ownIndex = int(own - all.cbegin());
    QVector<int> order{ownIndex};
    for (int i = 0; i < all.size(); ++i) {
        if (i != ownIndex)
            order.append(i);
    }
    QElapsedTimer clock;
    clock.start();
    for (const int i : qAsConst(order)) {
        ProbeResult result;
        if (clock.elapsed() < kProbeBudgetMs)
            result = probe(QStringLiteral("/dev/") + all.at(i).name);
        if (result.answered)
            choice.devices[i].fileSystem = result.fileSystem;
        else if (i == ownIndex)
            choice.devices[i].fileSystem = kUnknownFileSystem;
    }
    const QString chosen = chooseExportDevice(choice.devices);
    if (!chosen.isEmpty())
        choice.chosen = chosen;
    return choice;
}
