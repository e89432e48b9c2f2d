// The drive manager against a real ext4 drive on a loop device, mounted and
// unmounted with the system's mount and umount in the sandbox. Fake programs
// stand in only for what the real ones cannot do on demand: hang, crash, fail
// with a chosen message.

#include "testsupport.h"

#include "config/settings.h"
#include "device/devicemanager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <memory>
#include <sys/statvfs.h>
#include <utility>

using namespace TestSupport;

namespace {

// The lines about the stick's write cache say what this kernel offers; the
// rest of the log is the same everywhere.
QString withoutCacheLines(QString dump)
{
    return dump.remove(QRegularExpression(QStringLiteral("^info U盘写缓存[^\n]*\n"), QRegularExpression::MultilineOption));
}

const QString kDefaultMountPath = QStringLiteral("/media/zozadoz/usb_backup");

qint64 fileSystemSize(const QString &path)
{
    struct statvfs st;
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return qint64(st.f_blocks) * qint64(st.f_frsize);
}

// What the kernel has mounted on `path`, as findmnt sees it.
QString mountedOn(const QString &path)
{
    QByteArray out;
    run(QStringLiteral("findmnt"), {QStringLiteral("-n"), QStringLiteral("-o"), QStringLiteral("SOURCE"),
                                    QStringLiteral("--mountpoint"), path}, &out);
    return QString::fromUtf8(out).trimmed();
}

// Fake mount and umount first on PATH, each with its settings of
// tests/fakes/program.sh (none: the real program). Every fake records its call.
// With `alone`, PATH holds nothing else.
struct Fakes : FakePrograms {
    Fakes(const QStringList &mount, const QStringList &umount, bool alone = false)
    {
        for (const auto &[name, settings] : {std::pair(QStringLiteral("mount"), mount),
                                             std::pair(QStringLiteral("umount"), umount)}) {
            if (!settings.isEmpty()) {
                configure(name, settings);
                install(name);
            }
        }
        if (alone)
            qputenv("PATH", QFile::encodeName(path()));
    }
};

// Critical lines equal to `expected`, or starting with it when it ends in ':'.
int criticalLines(const LogRecorder &log, const QString &expected)
{
    return expected.endsWith(QLatin1Char(':')) ? log.countStartingWith(QtCriticalMsg, expected)
                                               : log.count(QtCriticalMsg, expected);
}

} // namespace

class TestDeviceManager : public QObject
{
    Q_OBJECT

    DeviceManager &manager() { return DeviceManager::instance(); }
    std::unique_ptr<LoopDrive> drive;

private slots:
    void initTestCase()
    {
        REQUIRE_SANDBOX();
        useMonitorConfig();
        drive = std::make_unique<LoopDrive>();
        if (!drive->isValid())
            QSKIP(qPrintable(QStringLiteral("no loop drive: ") + drive->errorString()));
    }

    // The manager is one object for the whole run: every test leaves it, and
    // the mount point, with no drive.
    void cleanup()
    {
        writeMonitorIni({});
        if (manager().isMounted())
            QVERIFY2(manager().unmountDevice(), "the drive could not be unmounted after the test");
        while (!mountedOn(kDefaultMountPath).isEmpty())
            QCOMPARE(run(QStringLiteral("umount"), {QStringLiteral("-l"), kDefaultMountPath}), 0);
    }

    void mountAndUnmount_data()
    {
        QTest::addColumn<bool>("byPath");
        QTest::addColumn<QString>("mountPath");
        QTest::addColumn<bool>("alreadyMounted");
        QTest::newRow("kernel name") << false << kDefaultMountPath << false;
        QTest::newRow("/dev path") << true << kDefaultMountPath << false;
        QTest::newRow("configured mount point, created") << false << QStringLiteral("/media/zozadoz/new/deep/usb") << false;
        QTest::newRow("already mounted there and busy") << false << kDefaultMountPath << true;
    }

    void mountAndUnmount()
    {
        QFETCH(bool, byPath);
        QFETCH(QString, mountPath);
        QFETCH(bool, alreadyMounted);
        if (mountPath != kDefaultMountPath)
            writeMonitorIni("[Paths]\nUsbMountPath=" + mountPath.toUtf8() + '\n');
        const bool creates = !QFileInfo::exists(mountPath);
        const QString device = drive->device();
        const QString name = byPath ? device : drive->kernelName();

        // Left mounted by someone else and held busy, so that the preliminary
        // umount fails and mount answers "already mounted on".
        QFile holder(mountPath + QStringLiteral("/held"));
        if (alreadyMounted) {
            QVERIFY(drive->mountAt(mountPath));
            QVERIFY(holder.open(QIODevice::WriteOnly));
        }

        QSignalSpy mounted(&manager(), &DeviceManager::deviceMounted);
        QSignalSpy unmounted(&manager(), &DeviceManager::deviceUnmounted);
        QSignalSpy errors(&manager(), &DeviceManager::error);
        LogRecorder log;
        QVERIFY(manager().mountDevice(name));
        holder.close();

        const qint64 size = fileSystemSize(mountPath);
        QVERIFY(size > 0);
        QVERIFY(manager().isMounted());
        QCOMPARE(manager().deviceSize(), size);
        QCOMPARE(mountedOn(mountPath), device);
        QCOMPARE(mounted.count(), 1);
        QCOMPARE(mounted.at(0).at(0).toString(), mountPath);
        QCOMPARE(mounted.at(0).at(1).toLongLong(), size);
        QCOMPARE(errors.count(), 0);
        QString expected = QStringLiteral("info 尝试挂载设备: \"%1\"\n").arg(name);
        if (creates)
            expected += QStringLiteral("info 创建挂载点目录: \"%1\"\n").arg(mountPath);
        expected += QStringLiteral("debug 尝试卸载设备: \"%1\"\nwarning 设备未挂载\n"
                                   "debug 执行挂载命令: mount \"%2 %1\"\n").arg(mountPath, device);
        if (alreadyMounted)
            expected += QStringLiteral("info 设备已经挂载在目标位置，继续使用\n");
        expected += QStringLiteral("info 设备挂载成功，挂载点: \"%1\" 大小: %2\n").arg(mountPath).arg(size);
        QCOMPARE(withoutCacheLines(log.dump()), expected);
        QVERIFY(writeFile(mountPath + QStringLiteral("/probe.txt"), "written through the mount\n"));

        // Any further mount is refused while a drive is mounted, and runs
        // nothing: a preliminary umount would have taken the drive off.
        log.clear();
        QVERIFY(!manager().mountDevice(name));
        QVERIFY(!manager().mountDevice(QStringLiteral("sdz9")));
        QCOMPARE(log.dump(), QStringLiteral("info 尝试挂载设备: \"%1\"\nwarning 已有其他设备被挂载\n"
                                            "info 尝试挂载设备: \"sdz9\"\nwarning 已有其他设备被挂载\n").arg(name));
        QCOMPARE(errors.count(), 2);
        QCOMPARE(errors.at(1).at(0).toString(), QStringLiteral("已有其他设备被挂载"));
        QVERIFY(manager().isMounted());
        QCOMPARE(manager().deviceSize(), size);
        QCOMPARE(mountedOn(mountPath), device);

        // The kernel name is not the stored device path.
        log.clear();
        QVERIFY(!manager().unmountDevice(drive->kernelName()));
        QCOMPARE(log.dump(), QStringLiteral("info 尝试卸载设备: \"%1\"\nwarning 设备未挂载或与当前设备不匹配\n")
                                 .arg(drive->kernelName()));
        QVERIFY(manager().isMounted());

        log.clear();
        QVERIFY(manager().unmountDevice());
        QCOMPARE(withoutCacheLines(log.dump()), QStringLiteral("info 尝试卸载设备: \"%1\"\ninfo 设备卸载成功\n").arg(device));
        QCOMPARE(unmounted.count(), 1);
        QVERIFY(!manager().isMounted());
        QCOMPARE(manager().deviceSize(), qint64(0));
        QCOMPARE(mountedOn(mountPath), QString());
        log.clear();
        QVERIFY(!manager().unmountDevice());
        QCOMPARE(log.dump(), QString());
        QCOMPARE(unmounted.count(), 1);
        QCOMPARE(errors.count(), 2);

        // The file reached the drive itself.
        const QString inspect = QStringLiteral("/media/zozadoz/inspect");
        QVERIFY(drive->mountAt(inspect));
        const QByteArray content = readFile(inspect + QStringLiteral("/probe.txt"));
        QVERIFY(drive->unmountFrom(inspect));
        QCOMPARE(content, QByteArray("written through the mount\n"));
    }

    void mountFailure_data()
    {
        QTest::addColumn<QStringList>("fakeMount");  // settings of a fake mount, none: the real one
        QTest::addColumn<QStringList>("fakeUmount"); // settings of a fake umount, none: the real one
        QTest::addColumn<bool>("onlyFakesOnPath");
        QTest::addColumn<QByteArray>("monitorIni");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("critical");       // the failing step's line; a trailing ':' means a prefix
        QTest::addColumn<bool>("mountRuns");
        QTest::addColumn<bool>("notMountedWarning"); // the preliminary umount ended nonzero
        const QStringList real, hang{"END=hang"}, succeed{"EXIT=0"};
        const QByteArray blocked = "[Paths]\nUsbMountPath=/media/zozadoz/blocker/usb\n";
        QTest::newRow("mount hangs") << hang << real << false << QByteArray()
                                     << "挂载操作超时" << "挂载超时:" << true << true;
        // A preliminary umount still running has no exit code to warn about.
        QTest::newRow("both hang") << hang << hang << false << QByteArray()
                                   << "挂载操作超时" << "挂载超时:" << true << false;
        QTest::newRow("mount missing") << real << real << true << QByteArray()
                                       << "挂载操作超时" << "挂载超时:" << false << false;
        QTest::newRow("mount fails") << QStringList{"STDERR=mount: bad superblock", "EXIT=32"} << real << false
                                     << QByteArray() << "设备挂载失败"
                                     << "挂载失败: \"mount: bad superblock\\n\"" << true << true;
        QTest::newRow("mount crashes") << QStringList{"END=KILL"} << real << false << QByteArray()
                                       << "设备挂载失败" << "挂载失败: \"\"" << true << true;
        QTest::newRow("mount point blocked by a file") << succeed << succeed << false << blocked
                                                       << "创建挂载点目录失败" << "创建挂载点目录失败" << false << false;
    }

    void mountFailure()
    {
        QFETCH(QStringList, fakeMount);
        QFETCH(QStringList, fakeUmount);
        QFETCH(bool, onlyFakesOnPath);
        QFETCH(QByteArray, monitorIni);
        QFETCH(QString, error);
        QFETCH(QString, critical);
        QFETCH(bool, mountRuns);
        QFETCH(bool, notMountedWarning);
        writeMonitorIni(monitorIni);
        QVERIFY(writeFile(QStringLiteral("/media/zozadoz/blocker"), "a regular file\n"));
        {
            Fakes fakes(fakeMount, fakeUmount, onlyFakesOnPath);
            QSignalSpy mounted(&manager(), &DeviceManager::deviceMounted);
            QSignalSpy errors(&manager(), &DeviceManager::error);
            LogRecorder log;
            QVERIFY(!manager().mountDevice(drive->kernelName()));
            QCOMPARE(errors.count(), 1);
            QCOMPARE(errors.at(0).at(0).toString(), error);
            QCOMPARE(mounted.count(), 0);
            QVERIFY(!manager().isMounted());
            QCOMPARE(manager().deviceSize(), qint64(0));
            QCOMPARE(criticalLines(log, critical), 1);
            QCOMPARE(log.lines().last().text, QStringLiteral("设备挂载失败: \"%1\"").arg(drive->device()));
            QCOMPARE(log.count(QtWarningMsg, QStringLiteral("设备未挂载")), notMountedWarning ? 1 : 0);
            // A fake umount, when mount runs, is the preliminary one before it.
            QByteArray calls;
            if (mountRuns && !fakeUmount.isEmpty())
                calls += "umount " + kDefaultMountPath.toUtf8() + '\n';
            if (mountRuns)
                calls += QStringLiteral("mount %1 %2\n").arg(drive->device(), kDefaultMountPath).toUtf8();
            QCOMPARE(fakes.calls(), calls);
            QVERIFY2(fakes.hangersGone(), "a hanging child outlived its operation");
        }
        // Nothing of the failed attempt stays behind: the next one is accepted.
        writeMonitorIni({});
        QVERIFY(manager().mountDevice(drive->kernelName()));
        QVERIFY(manager().unmountDevice());
    }

    void unmountFailure_data()
    {
        QTest::addColumn<QStringList>("fakeUmount"); // settings of a fake umount, none: the real one on a busy drive
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("critical");       // a trailing ':' means a prefix
        QTest::newRow("busy") << QStringList() << "设备卸载失败"
                              << QString("卸载失败: \"umount: " + kDefaultMountPath + ": target is busy.\\n\"");
        // The message is logged as bytes, not as decoded text.
        QTest::newRow("message") << QStringList{"STDERR=umount: 设备忙", "EXIT=32"} << "设备卸载失败"
                                 << "卸载失败: \"umount: \\xE8\\xAE\\xBE\\xE5\\xA4\\x87\\xE5\\xBF\\x99\\n\"";
        QTest::newRow("crashes") << QStringList{"END=KILL"} << "设备卸载失败" << "卸载失败: \"\"";
        QTest::newRow("hangs") << QStringList{"END=hang"} << "设备卸载失败: 超时" << "卸载超时:";
    }

    void unmountFailure()
    {
        QFETCH(QStringList, fakeUmount);
        QFETCH(QString, error);
        QFETCH(QString, critical);
        QVERIFY(manager().mountDevice(drive->kernelName()));
        const qint64 size = manager().deviceSize();
        QSignalSpy unmounted(&manager(), &DeviceManager::deviceUnmounted);
        {
            Fakes fakes({}, fakeUmount);
            QFile holder(kDefaultMountPath + QStringLiteral("/held"));
            if (fakeUmount.isEmpty())
                QVERIFY(holder.open(QIODevice::WriteOnly));
            QSignalSpy errors(&manager(), &DeviceManager::error);
            LogRecorder log;
            QVERIFY(!manager().unmountDevice());
            QCOMPARE(errors.count(), 1);
            QCOMPARE(errors.at(0).at(0).toString(), error);
            QCOMPARE(log.indexOf(QStringLiteral("尝试卸载设备: \"%1\"").arg(drive->device())), 0);
            QCOMPARE(log.countStartingWith(QtCriticalMsg, QString()), 1);
            QVERIFY2(criticalLines(log, critical) == 1, qPrintable(log.dump()));
            QVERIFY(manager().isMounted());
            QCOMPARE(manager().deviceSize(), size);
            QCOMPARE(mountedOn(kDefaultMountPath), drive->device());
            QVERIFY2(fakes.hangersGone(), "a hanging child outlived its operation");
        }
        QCOMPARE(unmounted.count(), 0);
        // Released, or with the real umount back, the next attempt succeeds.
        QVERIFY(manager().unmountDevice());
        QCOMPARE(unmounted.count(), 1);
        QCOMPARE(mountedOn(kDefaultMountPath), QString());
    }
};

QTEST_MAIN(TestDeviceManager)
#include "tst_devicemanager.moc"
