#include "device/writeback.h"

#include "platform/descriptor.h"
#include "platform/fileutil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <limits>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Every sysfs file read here is one line of a few numbers.
constexpr int kSmallFileBytes = 512;

QByteArray readValue(const QString &path)
{
    return readSmallFile(path, kSmallFileBytes).trimmed();
}

// Writes a value to a sysfs attribute in one write(), as sysfs wants it; on
// failure the kernel's reason (EINVAL for a value it refuses) is in `error`.
// Sysfs ignores O_TRUNC (as with the shell's ">"); a plain file of a copied
// tree needs it.
bool writeValue(const QString &path, const QByteArray &value, QString *error)
{
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    bool ok = file.isValid();
    if (ok) {
        const QByteArray line = value + '\n';
        ssize_t n;
        do {
            n = ::write(file.get(), line.constData(), size_t(line.size()));
        } while (n < 0 && errno == EINTR);
        ok = n == line.size();
        if (n >= 0 && !ok)
            errno = EIO;
    }
    if (!ok && error)
        *error = errnoText(errno);
    return ok;
}

// A "major:minor" line such as the "dev" files hold.
bool isDeviceNumber(const QByteArray &text)
{
    const int colon = text.indexOf(':');
    if (colon <= 0 || colon == text.size() - 1)
        return false;
    for (int i = 0; i < text.size(); ++i) {
        if (i != colon && (text.at(i) < '0' || text.at(i) > '9'))
            return false;
    }
    return true;
}

} // namespace

// The device's own directory in sysfs (a partition's or a whole disk's), with
// the links resolved; empty when it cannot be found. The device node's
// numbers come first; the kernel's name (the node's file name, which is what
// devtmpfs calls it) serves where the path is no device node of this system,
// as in a fake sysfs tree.
QString blockDeviceDirectory(const QString &device, const QString &sysfsRoot)
{
    QString path = device.contains(QLatin1Char('/')) ? device : QStringLiteral("/dev/") + device;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (!canonical.isEmpty())
        path = canonical;

    QStringList candidates;
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISBLK(st.st_mode))
        candidates << sysfsRoot + QStringLiteral("/dev/block/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
    const QString name = QFileInfo(path).fileName();
    if (!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String(".."))
        candidates << sysfsRoot + QStringLiteral("/class/block/") + name;

    for (const QString &candidate : qAsConst(candidates)) {
        QString directory = QFileInfo(candidate).canonicalFilePath();
        if (!directory.isEmpty() && isDeviceNumber(readValue(directory + QStringLiteral("/dev"))))
            return directory;
    }
    return {};
}

QString WritebackLimit::bdiDirectoryOf(const QString &device, const QString &sysfsRoot)
{
    QString directory = blockDeviceDirectory(device, sysfsRoot);
    if (directory.isEmpty())
        return {};
    // The page cache belongs to the whole disk: a partition's writes are
    // accounted to its disk's backing device, the partition's parent
    // directory in sysfs.
    if (pathExists(directory + QStringLiteral("/partition")))
        directory = QFileInfo(directory).path();
    const QByteArray number = readValue(directory + QStringLiteral("/dev"));
    if (!isDeviceNumber(number))
        return {};
    const QString bdi = sysfsRoot + QStringLiteral("/class/bdi/") + QString::fromLatin1(number);
    return pathExists(bdi + QStringLiteral("/max_ratio")) ? bdi : QString();
}

WritebackLimit::WritebackLimit(const QString &sysfsRoot)
    : m_sysfsRoot(sysfsRoot)
{
}

WritebackLimit::~WritebackLimit()
{
    restore();
}

bool WritebackLimit::apply(const QString &device, qint64 maxBytes)
{
    restore();
    if (maxBytes <= 0)
        return false;

    const QString bdi = bdiDirectoryOf(device, m_sysfsRoot);
    struct stat st;
    if (bdi.isEmpty() || ::stat(QFile::encodeName(bdi).constData(), &st) != 0) {
        qWarning() << "找不到设备的写回设置(bdi)，不限制U盘写缓存:" << device;
        return false;
    }
    m_bdi = bdi;
    m_bdiDevice = st.st_dev;
    m_bdiInode = st.st_ino;
    const QString strictLimit = bdi + QStringLiteral("/strict_limit");
    const QString maxBytesFile = bdi + QStringLiteral("/max_bytes");
    const QString maxRatio = bdi + QStringLiteral("/max_ratio");
    const QString maxRatioFine = bdi + QStringLiteral("/max_ratio_fine");
    QString error;

    if (pathExists(strictLimit) && pathExists(maxBytesFile)) {
        // max_ratio_fine (millionths) is the exact form of what max_bytes
        // sets; kernels with max_bytes have it, max_ratio is the fallback.
        const QString ratioFile = pathExists(maxRatioFine) ? maxRatioFine : maxRatio;
        const QByteArray oldRatio = readValue(ratioFile);
        const QByteArray oldStrict = readValue(strictLimit);
        const QByteArray oldBytes = readValue(maxBytesFile);
        if (oldRatio.isEmpty() || oldStrict.isEmpty()) {
            qWarning() << "读取写回设置失败，不限制U盘写缓存:" << bdi;
            m_bdi.clear();
            return false;
        }
        if (!writeValue(maxBytesFile, QByteArray::number(maxBytes), &error)) {
            // The kernel changes nothing when it refuses a value.
            qWarning() << "设置U盘写缓存上限失败:" << maxBytesFile << maxBytes << error;
            m_bdi.clear();
            return false;
        }
        m_saved.append({ratioFile, oldRatio});
        if (!writeValue(strictLimit, "1", &error)) {
            qWarning() << "设置U盘写缓存严格上限失败:" << strictLimit << error;
            restore();
            return false;
        }
        m_saved.prepend({strictLimit, oldStrict});
        qInfo().noquote() << QStringLiteral("U盘写缓存上限: %1 max_bytes=%2 strict_limit=1 (原值 max_bytes=%3 %4=%5 strict_limit=%6)")
                                     .arg(bdi).arg(maxBytes).arg(QString::fromLatin1(oldBytes), QFileInfo(ratioFile).fileName(),
                                          QString::fromLatin1(oldRatio), QString::fromLatin1(oldStrict));
        return true;
    }

    const QByteArray oldRatio = readValue(maxRatio);
    if (oldRatio.isEmpty()) {
        qWarning() << "内核不提供U盘写缓存设置，不限制U盘写缓存:" << bdi;
        m_bdi.clear();
        return false;
    }
    const QByteArray ratio = QByteArray::number(kMaxRatioPercent);
    if (!writeValue(maxRatio, ratio, &error)) {
        qWarning() << "设置U盘写缓存比例失败:" << maxRatio << ratio << error;
        m_bdi.clear();
        return false;
    }
    m_saved.append({maxRatio, oldRatio});
    qInfo().noquote() << QStringLiteral("U盘写缓存上限: %1 max_ratio=%2 (原值 %3)")
                                 .arg(bdi, QString::fromLatin1(ratio), QString::fromLatin1(oldRatio));
    return true;
}

bool WritebackLimit::sameDirectory() const
{
    struct stat st;
    return ::stat(QFile::encodeName(m_bdi).constData(), &st) == 0 && st.st_dev == m_bdiDevice && st.st_ino == m_bdiInode;
}

void WritebackLimit::restore()
{
    if (m_saved.isEmpty()) {
        m_bdi.clear();
        return;
    }
    // A pulled stick takes its settings with it; the same numbers may by now
    // name another drive, whose settings are not ours to write.
    const bool same = sameDirectory();
    const QList<Saved> saved = m_saved;
    const QString bdi = m_bdi;
    m_saved.clear();
    m_bdi.clear();
    if (!same) {
        qInfo() << "U盘已移除，写缓存设置无需恢复:" << bdi;
        return;
    }
    QStringList restored;
    for (const Saved &entry : saved) {
        QString error;
        if (writeValue(entry.file, entry.value, &error))
            restored << QFileInfo(entry.file).fileName() + QLatin1Char('=') + QString::fromLatin1(entry.value);
        else
            qWarning() << "恢复U盘写缓存设置失败:" << entry.file << entry.value << error;
    }
    if (!restored.isEmpty())
        qInfo().noquote() << QStringLiteral("U盘写缓存设置已恢复: %1 %2").arg(bdi, restored.join(QLatin1Char(' ')));
}

DeviceWriteCounter::DeviceWriteCounter(const QString &device, const QString &sysfsRoot)
{
    const QString directory = blockDeviceDirectory(device, sysfsRoot);
    if (!directory.isEmpty() && pathExists(directory + QStringLiteral("/stat")))
        m_statPath = QFile::encodeName(directory + QStringLiteral("/stat"));
}

qint64 DeviceWriteCounter::bytesWritten() const
{
    if (m_statPath.isEmpty())
        return -1;
    const QByteArray line = readSmallFile(QFile::decodeName(m_statPath), kSmallFileBytes);
    // Fields: reads completed, reads merged, sectors read, ms reading,
    // writes completed, writes merged, sectors written, ...
    constexpr int kSectorsWrittenField = 7;
    constexpr qint64 kSectorBytes = 512;
    int field = 0;
    int i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line.at(i) == ' ' || line.at(i) == '\t' || line.at(i) == '\n'))
            ++i;
        if (i >= line.size() || line.at(i) < '0' || line.at(i) > '9')
            return -1;
        ++field;
        qint64 value = 0;
        for (; i < line.size() && line.at(i) >= '0' && line.at(i) <= '9'; ++i) {
            if (value > (std::numeric_limits<qint64>::max() / kSectorBytes - 9) / 10)
                return -1;
            value = value * 10 + (line.at(i) - '0');
        }
        if (field == kSectorsWrittenField)
            return value * kSectorBytes;
    }
    return -1;
}
