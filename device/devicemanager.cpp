#include "device/devicemanager.h"

#include "app/settings.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStorageInfo>

namespace {

constexpr int kPreliminaryUnmountTimeoutMs = 1000;
constexpr int kMountTimeoutMs = 5000;
constexpr int kUnmountTimeoutMs = 5000;

QString mountPath()
{
    return Settings::usbMountPathValue();
}

// A child killed by a signal reports exit code 0; only a normal exit with
// code 0 counts as success.
bool exitedCleanly(const QProcess &process)
{
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

DeviceManager::DeviceManager(QObject *parent)
    : QObject(parent)
{
}

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
    qInfo() << "设备挂载成功，挂载点:" << mountPath() << "大小:" << m_deviceSize;
    emit deviceMounted(mountPath(), m_deviceSize);
    return true;
}

bool DeviceManager::mountUsbDrive(const QString &device)
{
    if (!checkMountPoint())
        return false;

    // Declared before the mount child so that it is destroyed after it; either
    // child still running at the end of this function is killed then.
    QProcess unmountProcess;
    unmountProcess.start(QStringLiteral("umount"), {mountPath()});
    unmountProcess.waitForFinished(kPreliminaryUnmountTimeoutMs);
    qDebug() << "尝试卸载设备:" << mountPath();
    // Nothing mounted there is the usual case. A child that has not ended or
    // never started has no exit code and stays quiet: QProcess reports 0 for
    // the first but 255 for the second, so a start failure is told apart.
    if (unmountProcess.error() != QProcess::FailedToStart && unmountProcess.exitCode() != 0)
        qWarning() << "设备未挂载";

    const QStringList arguments{device, mountPath()};
    qDebug() << "执行挂载命令: mount" << arguments.join(QLatin1Char(' '));

    QProcess mountProcess;
    mountProcess.start(QStringLiteral("mount"), arguments);
    if (!mountProcess.waitForFinished(kMountTimeoutMs)) {
        qCritical() << "挂载超时:" << mountProcess.errorString();
        emit error(tr("挂载操作超时"));
        return false;
    }
    if (exitedCleanly(mountProcess))
        return true;

    // mount(8) says so when the device already sits on the mount point, for
    // example after an earlier run of this tool that was killed:
    //   "mount: /media/zozadoz/usb_backup: /dev/sdb1 already mounted on /media/zozadoz/usb_backup."
    const QString message = QString::fromUtf8(mountProcess.readAllStandardError());
    if (message.contains(QLatin1String("already mounted on"))) {
        qInfo() << "设备已经挂载在目标位置，继续使用";
        return true;
    }
    qCritical() << "挂载失败:" << message;
    emit error(tr("设备挂载失败"));
    return false;
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

    QProcess unmountProcess;
    unmountProcess.start(QStringLiteral("umount"), {mountPath()});
    if (!unmountProcess.waitForFinished(kUnmountTimeoutMs)) {
        qCritical() << "卸载超时:" << unmountProcess.errorString();
        emit error(tr("设备卸载失败: 超时"));
        return false;
    }
    if (!exitedCleanly(unmountProcess)) {
        qCritical() << "卸载失败:" << unmountProcess.readAllStandardError();
        emit error(tr("设备卸载失败"));
        return false;
    }

    m_isMounted = false;
    m_currentDevice.clear();
    m_deviceSize = 0;
    qInfo() << "设备卸载成功";
    emit deviceUnmounted();
    return true;
}
