#include "export/exporttarget.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cerrno>
#include <sys/stat.h>

namespace {

bool lstatPath(const QString &path, struct stat *st)
{
    return ::lstat(QFile::encodeName(path).constData(), st) == 0;
}

// The root of the drive mounted at `mountPath` into `drive`; false when that
// is no directory, or no other file system than the one holding the mount
// point (nothing is mounted there any more).
bool statMountedDrive(const QString &mountPath, struct stat *drive)
{
    struct stat parent;
    return ::stat(QFile::encodeName(mountPath).constData(), drive) == 0 && S_ISDIR(drive->st_mode)
            && ::stat(QFile::encodeName(mountPath + QLatin1String("/..")).constData(), &parent) == 0
            && parent.st_dev != drive->st_dev;
}

} // namespace

namespace ExportTarget {

bool readHostname(const QString &path, QString *hostname)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    *hostname = stream.readLine().trimmed();
    return true;
}

QString hostname()
{
    QString name;
    if (readHostname(QStringLiteral("/etc/hostname"), &name)) {
        qInfo() << "getHostname:" << name;
        return name;
    }
    qCritical() << "无法打开 /etc/hostname 文件";
    return QStringLiteral("ORVELD-ffff");
}

bool isSafeName(const QString &hostname)
{
    // The kernel reads a path only up to its first NUL byte: "..\0x" is ".."
    // to lstat(), mkdir() and rsync, whatever Qt's comparison says.
    return !hostname.contains(QLatin1Char('/')) && !hostname.contains(QChar::Null)
            && hostname != QLatin1String("..");
}

bool isMountedAt(const QString &mountPath)
{
    struct stat drive;
    return statMountedDrive(mountPath, &drive);
}

bool prepare(const QString &mountPath, const QString &hostname)
{
    struct stat drive;
    if (!isSafeName(hostname) || !statMountedDrive(mountPath, &drive))
        return false;

    const QString targetPath = mountPath + QLatin1Char('/') + hostname;
    struct stat target;
    if (!lstatPath(targetPath, &target)) {
        if (errno != ENOENT || !QDir().mkpath(targetPath) || !lstatPath(targetPath, &target))
            return false;
    }
    return S_ISDIR(target.st_mode) && target.st_dev == drive.st_dev;
}

} // namespace ExportTarget
