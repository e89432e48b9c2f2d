#pragma once

#include <QObject>
#include <QString>

#include <memory>

class WritebackLimit;

// Owns the state of the USB drive: which block device is mounted on the
// configured mount point and how large its file system is. Mounting and
// unmounting run the system's mount and umount synchronously with fixed
// time-outs; outcomes are reported through the four signals. While the drive
// is mounted, its own write cache is bounded (see WritebackLimit), so that
// what an export hands over reaches the stick as it goes.
class DeviceManager : public QObject
{
    Q_OBJECT
public:
    static DeviceManager &instance();
    ~DeviceManager() override;

    bool mountDevice(const QString &device);
    bool unmountDevice();
    bool unmountDevice(const QString &device);

    bool isMounted() const { return m_isMounted; }
    // The mounted block device ("/dev/sdb1"); empty when none is.
    QString currentDevice() const { return m_isMounted ? m_currentDevice : QString(); }
    qint64 deviceSize() const { return m_deviceSize; }
    // Bytes available to new files on the mounted drive, measured now;
    // 0 when no drive is mounted.
    qint64 freeSpace() const;

    // Unmounts the drive and mounts it again, read-only or not. In between
    // the drive's block cache is dropped (BLKFLSBUF), so that what is read
    // afterwards comes from the drive itself, not from memory; read-only,
    // the drive is clean whenever it is pulled. False (logged) when either
    // step fails; if the drive ended up unmounted, deviceUnmounted() says so.
    // Nothing may hold files open on the drive.
    bool remount(bool readOnly);
    bool isReadOnly() const { return m_readOnly; }

    bool checkMountPoint();
    bool mountUsbDrive(const QString &device);

signals:
    void deviceMounted(const QString &mountPath, qint64 size);
    // Just before umount runs: whatever still has the drive open lets go.
    void aboutToUnmount();
    void deviceUnmounted();
    void error(const QString &message);

private:
    explicit DeviceManager(QObject *parent = nullptr);
    Q_DISABLE_COPY(DeviceManager)

    QString m_currentDevice;
    std::unique_ptr<WritebackLimit> m_writeback;
    bool m_isMounted = false;
    bool m_readOnly = false;
    qint64 m_deviceSize = 0;
};
