#include "device/devicemanager.h"

#include "config/settings.h"
#include "device/writeback.h"
#include "platform/command.h"
#include "platform/descriptor.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

namespace {

constexpr int kPreliminaryUnmountTimeoutMs = 1000;
constexpr int kMountTimeoutMs = 5000;
constexpr int kUnmountTimeoutMs = 5000;

QString mountPath()
{
    return Settings::usbMountPathValue();
}

} // namespace

DeviceManager::DeviceManager(QObject *parent)
    : QObject(parent)
{
}

// A limit still in place goes back as the process ends, whatever ended it short
// of a kill.
DeviceManager::~DeviceManager() = default;

DeviceManager &DeviceManager::instance()
{
    static DeviceManager manager;
    return manager;
}

qint64 DeviceManager::freeSpace() const
{
    if (!m_isMounted)
        return 0;
    const QStorageInfo storage(mountPath());
    return storage.isValid() ? storage.bytesAvailable() : 0;
}

bool DeviceManager::checkMountPoint()
{
    const QString path = mountPath();
    if (QFileInfo(path).isDir())
        return true;

    qInfo() << "创建挂载点目录:" << mountPath();
    if (QDir(path).mkpath(QStringLiteral(".")))
        return true;

    qCritical() << "创建挂载点目录失败";
    emit error(tr("创建挂载点目录失败"));
    return false;
}

bool DeviceManager::mountDevice(const QString &device)
{
    qInfo() << "尝试挂载设备:" << device;
    if (m_isMounted) {
        qWarning() << "已有其他设备被挂载";
        emit error(tr("已有其他设备被挂载"));
        return false;
    }

    m_currentDevice = device.startsWith(QLatin1String("/dev/"))
            ? device
            : QStringLiteral("/dev/%1").arg(device);

    if (!mountUsbDrive(m_currentDevice)) {
        qCritical() << "设备挂载失败:" << m_currentDevice;
        m_currentDevice.clear();
        return false;
    }

    m_isMounted = true;
    m_deviceSize = QStorageInfo(mountPath()).bytesTotal();
    m_writeback = std::make_unique<WritebackLimit>();
    m_writeback->apply(m_currentDevice);
    qInfo() << "设备挂载成功，挂载点:" << mountPath() << "大小:" << m_deviceSize;
    emit deviceMounted(mountPath(), m_deviceSize);
    return true;
}

bool DeviceManager::mountUsbDrive(const QString &device)
{
    if (!checkMountPoint())
        return false;

    {
        const Command unmount(QStringLiteral("umount"), {mountPath()}, kPreliminaryUnmountTimeoutMs);
        qDebug() << "尝试卸载设备:" << mountPath();
        // Nothing mounted there is the usual case, and umount says so with
        // its exit code: that warning is expected. A child that did not end
        // in time or never started says nothing about the mount point, so it
        // gets no warning.
        if (unmount.ended() && !unmount.succeeded())
            qWarning() << "设备未挂载";
    }

    const QStringList arguments{device, mountPath()};
    qDebug() << "执行挂载命令: mount" << arguments.join(QLatin1Char(' '));

    const Command mount(QStringLiteral("mount"), arguments, kMountTimeoutMs);
    if (!mount.ended()) {
        qCritical() << "挂载超时:" << mount.errorString();
        emit error(tr("挂载操作超时"));
        return false;
    }
    if (mount.succeeded())
        return true;

    // mount(8) says so when the device already sits on the mount point, for
    // example after an earlier run of this tool that was killed:
    //   "mount: /media/zozadoz/usb_backup: /dev/sdb1 already mounted on /media/zozadoz/usb_backup."
    const QString message = QString::fromUtf8(mount.standardError());
    if (message.contains(QLatin1String("already mounted on"))) {
        qInfo() << "设备已经挂载在目标位置，继续使用";
        return true;
    }
    qCritical() << "挂载失败:" << message;
    emit error(tr("设备挂载失败"));
    return false;
}

bool DeviceManager::remount(bool readOnly)
{
    if (!m_isMounted)
        return false;
    const Command unmount(QStringLiteral("umount"), {mountPath()}, kUnmountTimeoutMs);
    if (!unmount.succeeded()) {
        qCritical() << "重新挂载失败，卸载:" << unmount.errorString() << unmount.standardError();
        return false;
    }
    // The last close of the device empties its cache; a prober that has it
    // open for a moment (udev's blkid after a change) would keep it, so the
    // cache is dropped outright. FUSE drivers read the device through it.
    {
        const Descriptor device(::open(QFile::encodeName(m_currentDevice).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (!device.isValid() || ::ioctl(device.get(), BLKFLSBUF, 0) != 0)
            qWarning() << "无法清空U盘的块设备缓存:" << m_currentDevice << strerror(errno);
    }
    QStringList arguments;
    if (readOnly)
        arguments << QStringLiteral("-o") << QStringLiteral("ro");
    arguments << m_currentDevice << mountPath();
    const Command mount(QStringLiteral("mount"), arguments, kMountTimeoutMs);
    if (!mount.succeeded()) {
        qCritical() << "重新挂载失败:" << mount.errorString() << mount.standardError();
        m_writeback.reset();
        m_isMounted = false;
        m_readOnly = false;
        m_currentDevice.clear();
        m_deviceSize = 0;
        emit deviceUnmounted();
        return false;
    }
    m_readOnly = readOnly;
    qInfo() << (readOnly ? "U盘已只读重新挂载:" : "U盘已重新挂载:") << mountPath();
    return true;
}

bool DeviceManager::unmountDevice()
{
    if (!m_isMounted)
        return false;
    return unmountDevice(m_currentDevice);
}

bool DeviceManager::unmountDevice(const QString &device)
{
    qInfo() << "尝试卸载设备:" << device;
    if (!m_isMounted || device != m_currentDevice) {
        qWarning() << "设备未挂载或与当前设备不匹配";
        return false;
    }

    emit aboutToUnmount();
    // Before umount: the stick's own settings go back whatever its end.
    m_writeback.reset();
    const Command unmount(QStringLiteral("umount"), {mountPath()}, kUnmountTimeoutMs);
    if (!unmount.succeeded()) {
        // Still mounted: its cache stays bounded.
        m_writeback = std::make_unique<WritebackLimit>();
        m_writeback->apply(m_currentDevice);
    }
    if (!unmount.ended()) {
        qCritical() << "卸载超时:" << unmount.errorString();
        emit error(tr("设备卸载失败: 超时"));
        return false;
    }
    if (!unmount.succeeded()) {
        qCritical() << "卸载失败:" << unmount.standardError();
        emit error(tr("设备卸载失败"));
        return false;
    }

    m_isMounted = false;
    m_readOnly = false;
    m_currentDevice.clear();
    m_deviceSize = 0;
    qInfo() << "设备卸载成功";
    emit deviceUnmounted();
    return true;
}
