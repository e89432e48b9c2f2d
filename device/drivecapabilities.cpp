#include "device/drivecapabilities.h"

#include "platform/descriptor.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRandomGenerator>

#include <algorithm>

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr qint64 fat32Limit = Q_INT64_C(4) * 1024 * 1024 * 1024 - 1;

// Families of file systems as far as an export cares.
enum class Family { Posix, Fat, Exfat, Ntfs, Unknown };

Family familyOf(const QString &type)
{
    static const QStringList fat = {QStringLiteral("vfat"), QStringLiteral("msdos"), QStringLiteral("fat"),
                                    QStringLiteral("umsdos"), QStringLiteral("fuse.fusefat")};
    static const QStringList exfat = {QStringLiteral("exfat"), QStringLiteral("fuse.exfat"),
                                      QStringLiteral("fuse.exfat-fuse")};
    static const QStringList ntfs = {QStringLiteral("ntfs"), QStringLiteral("ntfs3"), QStringLiteral("fuse.ntfs"),
                                     QStringLiteral("fuse.ntfs-3g"), QStringLiteral("fuse.lowntfs-3g")};
    if (fat.contains(type))
        return Family::Fat;
    if (exfat.contains(type))
        return Family::Exfat;
    if (ntfs.contains(type))
        return Family::Ntfs;
    // A FUSE mount that could not be told apart says nothing about its files.
    if (type.isEmpty() || type == QLatin1String("fuse") || type == QLatin1String("fuseblk")
            || type.startsWith(QLatin1String("fuse.")))
        return Family::Unknown;
    return Family::Posix;
}

// Undoes the octal escapes (\040 for a space and so on) of a mountinfo field.
QByteArray unescapeField(const QByteArray &field)
{
    QByteArray result;
    result.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size()) {
            const QByteArray digits = field.mid(i + 1, 3);
            bool ok = false;
            const int value = digits.toInt(&ok, 8);
            if (ok && value < 256) {
                result.append(char(value));
                i += 3;
                continue;
            }
        }
        result.append(field.at(i));
    }
    return result;
}

struct MountEntry {
    QByteArray type;
    QByteArray source;
};

// The entry of /proc/self/mountinfo whose mount point is `path`; the last one
// when mounts are stacked, since that is the one visible there.
MountEntry findMount(const QByteArray &path)
{
    MountEntry found;
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return found;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        // id parent major:minor root mountpoint options [optional...] - type source superoptions
        const QList<QByteArray> fields = line.split(' ');
        const int separator = fields.indexOf("-");
        if (fields.size() < 5 || separator < 6 || separator + 2 >= fields.size())
            continue;
        if (unescapeField(fields.at(4)) != path)
            continue;
        found.type = unescapeField(fields.at(separator + 1));
        found.source = unescapeField(fields.at(separator + 2));
    }
    return found;
}

// A FUSE block-device mount ("fuseblk") shows neither exFAT nor NTFS in its
// type and has no subtype here (exfat-fuse and ntfs-3g both leave it empty);
// its source is the block device, whose boot sector names the file system.
QString typeFromBootSector(const QByteArray &device)
{
    if (!device.startsWith("/dev/"))
        return {};
    const Descriptor disk(::open(device.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!disk.isValid())
        return {};
    struct stat st;
    char sector[512];
    ssize_t got = -1;
    if (::fstat(disk.get(), &st) == 0 && S_ISBLK(st.st_mode))
        got = ::pread(disk.get(), sector, sizeof sector, 0);
    if (got != ssize_t(sizeof sector))
        return {};
    const QByteArray boot(sector, sizeof sector);
    if (boot.mid(3, 8) == "EXFAT   ")
        return QStringLiteral("exfat");
    if (boot.mid(3, 8) == "NTFS    ")
        return QStringLiteral("ntfs");
    if (boot.mid(82, 8) == "FAT32   " || boot.mid(54, 5) == "FAT12" || boot.mid(54, 5) == "FAT16")
        return QStringLiteral("vfat");
    return {};
}

QString fileSystemType(const QString &mountPath)
{
    const QByteArray path = QFile::encodeName(QDir::cleanPath(QFileInfo(mountPath).absoluteFilePath()));
    const MountEntry entry = findMount(path);
    if (entry.type == "fuseblk") {
        QString fromDevice = typeFromBootSector(entry.source);
        if (!fromDevice.isEmpty())
            return fromDevice;
    }
    return QString::fromUtf8(entry.type);
}

struct ProbeResult {
    bool ran = false;
    bool owners = false;
    bool permissions = false;
    bool symlinks = false;
    int timeResolutionSeconds = 0;
};

// Removes what the probe made, whatever happened in between.
class ProbeCleanup
{
public:
    ProbeCleanup(int rootFd, const QByteArray &name, Descriptor &dir) : m_rootFd(rootFd), m_name(name), m_dir(dir) {}
    ~ProbeCleanup()
    {
        if (m_dir.get() >= 0) {
            ::unlinkat(m_dir.get(), "file", 0);
            ::unlinkat(m_dir.get(), "link", 0);
            m_dir.reset();
        }
        ::unlinkat(m_rootFd, m_name.constData(), AT_REMOVEDIR);
    }
    ProbeCleanup(const ProbeCleanup &) = delete;
    ProbeCleanup &operator=(const ProbeCleanup &) = delete;

private:
    int m_rootFd;
    QByteArray m_name;
    Descriptor &m_dir;
};

bool statAt(int dirFd, const char *name, struct stat *st)
{
    return ::fstatat(dirFd, name, st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Tries on the drive itself what rsync -a will do. Everything happens relative
// to descriptors opened with O_NOFOLLOW, inside a directory the probe has just
// made, so no symbolic link on the drive is followed or written through.
ProbeResult runProbe(const QString &mountPath)
{
    ProbeResult result;
    const Descriptor root(::open(QFile::encodeName(mountPath).constData(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.get() < 0)
        return result;

    QByteArray name;
    bool made = false;
    for (int attempt = 0; attempt < 8 && !made; ++attempt) {
        name = ".corvalet-probe-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        made = ::mkdirat(root.get(), name.constData(), 0700) == 0;
        if (!made && errno != EEXIST)
            return result;
    }
    if (!made)
        return result;
    Descriptor dir;
    const ProbeCleanup cleanup(root.get(), name, dir);
    dir.reset(::openat(root.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0)
        return result;

    Descriptor file(::openat(dir.get(), "file", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat st;
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0)
        return result;
    result.ran = true;

    // Another owner and group than the file has, as rsync sets for a file of
    // the recorder's other users.
    const uid_t uid = st.st_uid == 1234 ? 1235 : 1234;
    const gid_t gid = st.st_gid == 1234 ? 1235 : 1234;
    const bool chowned = ::fchown(file.get(), uid, gid) == 0;
    // Two different modes, so that a drive showing one fixed mode does not
    // pass by chance.
    bool chmodded = ::fchmod(file.get(), 0640) == 0 && ::fstat(file.get(), &st) == 0
            && (st.st_mode & 07777) == 0640;
    chmodded = chmodded && ::fchmod(file.get(), 0604) == 0;
    // An odd second with a half: FAT keeps only even seconds.
    const time_t probeSecond = 1614834367;
    const struct timespec times[2] = {{probeSecond, 500000000}, {probeSecond, 500000000}};
    const bool timed = ::futimens(file.get(), times) == 0;
    file.reset();

    if (!statAt(dir.get(), "file", &st))
        return result;
    result.owners = chowned && st.st_uid == uid && st.st_gid == gid;
    result.permissions = chmodded && (st.st_mode & 07777) == 0604;
    if (timed && st.st_mtim.tv_sec != probeSecond)
        result.timeResolutionSeconds = 2;

    struct stat linkStat;
    result.symlinks = ::symlinkat("file", dir.get(), "link") == 0 && statAt(dir.get(), "link", &linkStat)
            && S_ISLNK(linkStat.st_mode);
    return result;
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

} // namespace

bool DriveCapabilities::holdsEverything() const
{
    return owners && permissions && symlinks && timeResolutionSeconds == 0 && maxFileSize < 0;
}

DriveCapabilities typeCapabilities(const QString &mountPath)
{
    DriveCapabilities caps;
    caps.fileSystem = fileSystemType(mountPath);
    const Family family = familyOf(caps.fileSystem);

    // What the type alone says. Owners, permissions and links are only a
    // guess from it: mount options and drivers differ (ntfs-3g without a user
    // mapping answers a chown with success but keeps no owner).
    const bool posix = family == Family::Posix;
    caps.owners = posix;
    caps.permissions = posix;
    caps.symlinks = posix || family == Family::Ntfs;
    if (family == Family::Fat) {
        caps.timeResolutionSeconds = 2;
        caps.maxFileSize = fat32Limit;
    }
    return caps;
}

DriveCapabilities probeDrive(const QString &mountPath)
{
    DriveCapabilities caps = typeCapabilities(mountPath);
    const Family family = familyOf(caps.fileSystem);

    // The probe wins for owners, permissions and links: it shows what this
    // driver with these mount options does, which is what rsync will meet.
    // The type stays in charge of the largest file, which no small probe can
    // measure, and of the time resolution unless the probe finds it coarser
    // (a probe can round by chance to a value the type knows is not kept).
    const ProbeResult probe = runProbe(mountPath);
    if (probe.ran) {
        caps.owners = probe.owners;
        caps.permissions = probe.permissions;
        caps.symlinks = probe.symlinks;
        caps.timeResolutionSeconds = std::max(caps.timeResolutionSeconds, probe.timeResolutionSeconds);
        // Only the FAT family keeps times in two-second steps, and with them
        // the 4 GiB limit, even where the type did not tell (a FUSE mount).
        if (family == Family::Unknown && probe.timeResolutionSeconds == 2)
            caps.maxFileSize = fat32Limit;
    }
    return caps;
}

DriveRules driveRules(const DriveCapabilities &caps, const QString &mountPath)
{
    DriveRules rules;
    if (!caps.owners)
        rules.rsyncOptions << QStringLiteral("--no-owner") << QStringLiteral("--no-group");
    if (!caps.permissions)
        rules.rsyncOptions << QStringLiteral("--no-perms");
    if (!caps.symlinks)
        rules.rsyncOptions << QStringLiteral("--no-links");
    // rsync compares whole seconds; a time kept in steps of N seconds is off
    // by at most N - 1 of them.
    if (caps.timeResolutionSeconds > 0) {
        rules.modifyWindowSeconds = std::max(1, caps.timeResolutionSeconds - 1);
        rules.rsyncOptions << QStringLiteral("--modify-window=%1").arg(rules.modifyWindowSeconds);
    }
    rules.maxFileSize = caps.maxFileSize;
    if (caps.maxFileSize >= 0)
        rules.rsyncOptions << QStringLiteral("--max-size=%1").arg(caps.maxFileSize);
    struct statvfs st;
    if (::statvfs(QFile::encodeName(mountPath).constData(), &st) == 0 && st.f_bsize > 0)
        rules.blockSize = qint64(st.f_bsize);
    return rules;
}

QString describe(const DriveCapabilities &caps)
{
    const QString type = caps.fileSystem.isEmpty() ? QStringLiteral("unknown") : caps.fileSystem;
    const QString time = QString::number(std::max(1, caps.timeResolutionSeconds));
    const QString largest = caps.maxFileSize < 0 ? QStringLiteral("unlimited")
                                                 : QString::number(caps.maxFileSize) + QStringLiteral(" bytes");
    return type + QStringLiteral(": owners ") + yesNo(caps.owners) + QStringLiteral(", permissions ")
            + yesNo(caps.permissions) + QStringLiteral(", links ") + yesNo(caps.symlinks)
            + QStringLiteral(", time ") + time + QStringLiteral(" s, largest file ") + largest;
}
