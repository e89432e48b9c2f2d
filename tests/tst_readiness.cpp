// The window's reaction to a drive mounted and unmounted for real (the source
// directory, its size, the two information lines and the status), the drive
// manager's mount-point check and the configuration read from the sandbox's
// files, and the size count itself against a plain QDir walk.

#include "testsupport.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "recordings/dirsize.h"
#include "export/exporttarget.h"
#include "ui/mainwindow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <cstdio>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

// The count as a plain recursive QDir listing gives it, without any guard.
qint64 referenceSize(const QString &path)
{
    qint64 total = 0;
    const QFileInfoList entries = QDir(path).entryInfoList(QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries)
        total += entry.isFile() ? entry.size() : entry.isDir() ? referenceSize(entry.absoluteFilePath()) : 0;
    return total;
}

// directorySize() in a child process, so that a count that never ends fails
// the test instead of hanging it; -1 when it did not answer within 30 s.
qint64 boundedDirectorySize(const QString &path)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    ::fflush(nullptr); // or the child repeats what is still buffered
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A crash of the child is its own end, not the test program's.
        for (int signum : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
            ::signal(signum, SIG_DFL);
        const qint64 size = directorySize(path);
        ::_exit(::write(fds[1], &size, sizeof size) == sizeof size ? 0 : 1);
    }
    ::close(fds[1]);
    qint64 size = -1;
    pollfd readable{fds[0], POLLIN, 0};
    if (pid < 0 || ::poll(&readable, 1, 30000) != 1 || ::read(fds[0], &size, sizeof size) != sizeof size)
        size = -1;
    ::close(fds[0]);
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return size;
}

void file(const QString &path, int size)
{
    QVERIFY(writeFile(path, QByteArray(size, 'x')));
}

void link(const QString &target, const QString &path)
{
    QDir().mkpath(QFileInfo(path).path());
    QVERIFY(QFile::link(target, path));
}

// Builds one of the named trees under `root`; the sizes are prime-ish so that a
// file counted twice or left out shows.
void buildTree(const QString &root, const QString &shape)
{
    QDir().mkpath(root);
    if (shape == QLatin1String("nested")) {
        file(root + "/a", 101);
        file(root + "/.hidden", 1009);
        file(root + "/d1/b", 211);
        file(root + "/d1/d2/c", 307);
        file(root + "/d1/d2/.h/x", 401);
        file(root + "/.cache/d3/y", 503);
    } else if (shape == QLatin1String("links")) {
        file(root + "/data/f", 13);
        file(root + "/data/sub/g", 17);
        link(root + "/data/f", root + "/in/to-file");
        link(QStringLiteral("../data/sub"), root + "/in/to-dir");
        link(root + "/in/to-dir", root + "/in/to-link");
        link(root + "/data", root + "/.hidden-link");
        link(root + "/nowhere", root + "/dangling");
        QCOMPARE(::mkfifo(QFile::encodeName(root + "/fifo").constData(), 0600), 0);
    } else if (shape == QLatin1String("two links to one directory")) {
        file(root + "/shared/f", 23);
        file(root + "/shared/deeper/g", 29);
        link(root + "/shared", root + "/x/one");
        link(QStringLiteral("../shared"), root + "/y/two");
    } else if (shape == QLatin1String("empty")) {
        QDir().mkpath(root + "/e1");
        QDir().mkpath(root + "/e2/e3/e4");
        file(root + "/e2/empty-file", 0);
    } else if (shape == QLatin1String("deep")) {
        QString dir = root;
        for (int level = 0; level < 300; ++level) {
            dir += QStringLiteral("/level");
            file(dir + "/f", level + 1);
        }
    }
}

} // namespace

class TestReadiness : public QObject
{
    Q_OBJECT

    std::unique_ptr<LoopDrive> drive;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<BoxAnswerer> boxes;
    QTemporaryDir trees;

    QString text(const char *label) const { return window->findChild<QLabel *>(QLatin1String(label))->text(); }

private slots:
    void initTestCase()
    {
        QVERIFY(trees.isValid());
        if (!inSandbox())
            return; // the size count needs no sandbox
        useMonitorConfig();
        drive = std::make_unique<LoopDrive>();
    }

    void cleanup()
    {
        if (!window)
            return;
        writeMediaServerIni({});
        if (DeviceManager::instance().isMounted())
            QVERIFY(DeviceManager::instance().unmountDevice());
        QCOMPARE(boxes->texts(), QStringList());
    }

    void checkMountPoint_data()
    {
        QTest::addColumn<QString>("mountPath"); // empty: no configuration file, the default path
        QTest::addColumn<QString>("blocker");   // a regular file created first
        QTest::addColumn<bool>("exists");       // the directory is there beforehand
        QTest::addColumn<bool>("result");

        const QString root = QStringLiteral("/media/zozadoz/mountpoints");
        QTest::newRow("existing directory") << QString() << QString() << true << true;
        QTest::newRow("deep missing path") << root + "/a/b/c/usb" << QString() << false << true;
        QTest::newRow("file at the path") << root + "/usb" << root + "/usb" << false << false;
        QTest::newRow("file in a parent") << root + "/file/usb" << root + "/file" << false << false;
    }

    void checkMountPoint()
    {
        REQUIRE_SANDBOX();
        QFETCH(QString, mountPath);
        QFETCH(QString, blocker);
        QFETCH(bool, exists);
        QFETCH(bool, result);

        QVERIFY(QDir(QStringLiteral("/media/zozadoz/mountpoints")).removeRecursively());
        writeMonitorIni(mountPath.isEmpty() ? QByteArray() : "[Paths]\nUsbMountPath=" + mountPath.toUtf8() + '\n');
        const QString path = mountPath.isEmpty() ? QStringLiteral("/media/zozadoz/usb_backup") : mountPath;
        if (exists)
            QVERIFY(QDir().mkpath(path));
        if (!blocker.isEmpty())
            QVERIFY(writeFile(blocker, "not a directory"));

        LogRecorder log;
        QSignalSpy errors(&DeviceManager::instance(), &DeviceManager::error);
        QCOMPARE(DeviceManager::instance().checkMountPoint(), result);
        writeMonitorIni(QByteArray());

        QCOMPARE(QFileInfo(path).isDir(), result);
        QCOMPARE(log.count(QtInfoMsg, QStringLiteral("创建挂载点目录: \"%1\"").arg(path)), exists ? 0 : 1);
        QCOMPARE(log.count(QtCriticalMsg, QStringLiteral("创建挂载点目录失败")), result ? 0 : 1);
        QCOMPARE(log.lines().size(), (exists ? 0 : 1) + (result ? 0 : 1));
        QCOMPARE(errors.count(), result ? 0 : 1);
        if (!result)
            QCOMPARE(errors.first().first().toString(), QStringLiteral("创建挂载点目录失败"));
    }

    // Configuration values that QSettings would deserialise (and that made it
    // reserve gigabytes and abort), and host names that reach the system calls
    // differently from how Qt sees them.
    void hostileInput_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("mountPath");
        QTest::newRow("plain") << QByteArray("[Paths]\nUsbMountPath=/mnt/usb\n") << "/mnt/usb";
        QTest::newRow("variant") << QByteArray("[Paths]\nUsbMountPath=@Variant(\0\0\0\t\x7f\xff\xff\xff)\n", 40)
                                 << "/media/zozadoz/usb_backup";
        QTest::newRow("escaped variant") << QByteArray("[Paths]\nUsbMountPath=\\x40Variant(\\0\\0\\0\\t)\n")
                                         << "/media/zozadoz/usb_backup";
        QTest::newRow("NUL before an escaped variant")
                << QByteArray("\1\0\0\n[Paths]\nUsbMountPath=\\x40Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n", 63)
                << "/media/zozadoz/usb_backup";
        QTest::newRow("other key") << QByteArray("[Paths]\nUsbMountPath=/mnt/usb\nX=@DateTime(\\0)\n")
                                   << "/media/zozadoz/usb_backup";
    }

    void hostileInput()
    {
        REQUIRE_SANDBOX();
        QFETCH(QByteArray, ini);
        QFETCH(QString, mountPath);
        writeMonitorIni(ini);
        QCOMPARE(Settings::usbMountPathValue(), mountPath);
        writeMonitorIni(QByteArray());

        QVERIFY(ExportTarget::isSafeName(QStringLiteral("rec01")));
        QVERIFY(ExportTarget::isSafeName(QString()));
        for (const QString &name : {QStringLiteral(".."), QStringLiteral("../x"), QStringLiteral("a/b"),
                                    QString::fromLatin1("..\0x", 4), QString::fromLatin1("\0", 1)})
            QVERIFY2(!ExportTarget::isSafeName(name), qPrintable(name));
    }

    void mountAndUnmount_data()
    {
        QTest::addColumn<QByteArray>("mediaIni");
        QTest::addColumn<QString>("sourcePath");
        QTest::addColumn<QString>("tree");   // empty: no tree is built
        QTest::addColumn<QString>("total");  // empty: not checked (a host directory may exist)
        const QString defaultSource = QStringLiteral("/media/zozadoz/record/record");
        QTest::newRow("no file") << QByteArray() << defaultSource << QString() << "0 B";
        QTest::newRow("no key") << QByteArray("other=/data\n") << defaultSource << QString() << "0 B";
        QTest::newRow("key in a section") << QByteArray("[zlm]\nmp4_save_path=/data\n") << defaultSource << QString() << "0 B";
        QTest::newRow("/data") << QByteArray("mp4_save_path=/data\n") << "/data/record" << QString() << QString();
        QTest::newRow("/data/") << QByteArray("mp4_save_path=/data/\n") << "/data//record" << QString() << QString();
        QTest::newRow("general in lower case") << QByteArray("[general]\nmp4_save_path=/lower\n") << "/lower/record"
                                               << QString() << QString();
        QTest::newRow("blanks kept") << QByteArray("mp4_save_path=\"  \"\n") << "  /record" << QString() << QString();
        // The tree: a 100, .b 50, sub/c 25, .cache/x 1000, and one extra entry.
        for (const char *tree : {"plain", "link to a 10-byte file", "dangling link", "fifo"}) {
            const QString root = trees.filePath(QString::fromLatin1(tree));
            QTest::newRow(tree) << QByteArray("mp4_save_path=" + QFile::encodeName(root) + '\n') << root + "/record"
                                << QString::fromLatin1(tree) << (qstrcmp(tree, "link to a 10-byte file") ? "125 B" : "135 B");
        }
    }

    void mountAndUnmount()
    {
        REQUIRE_SANDBOX();
        if (!drive->isValid())
            QSKIP(qPrintable("no loop drive: " + drive->errorString()));
        // Made here, not before: the tests above must run without a window,
        // whose error boxes would add Qt's own lines to their logs.
        if (!window) {
            window = std::make_unique<MainWindow>();
            boxes = std::make_unique<BoxAnswerer>();
        }
        QFETCH(QByteArray, mediaIni);
        QFETCH(QString, sourcePath);
        QFETCH(QString, tree);
        QFETCH(QString, total);
        if (!tree.isEmpty()) {
            file(sourcePath + "/a", 100);
            file(sourcePath + "/.b", 50);
            file(sourcePath + "/sub/c", 25);
            file(sourcePath + "/.cache/x", 1000);
            file(sourcePath + "/../ten", 10);
            if (tree == QLatin1String("link to a 10-byte file"))
                link(sourcePath + "/../ten", sourcePath + "/sub/ten");
            else if (tree == QLatin1String("dangling link"))
                link(sourcePath + "/../gone", sourcePath + "/sub/gone");
            else if (tree == QLatin1String("fifo"))
                QCOMPARE(::mkfifo(QFile::encodeName(sourcePath + "/fifo").constData(), 0600), 0);
        }
        writeMediaServerIni(mediaIni);

        LogRecorder log;
        QVERIFY(DeviceManager::instance().mountDevice(drive->device()));
        // The count runs on its own thread; the window is ready once it is done.
        QTRY_COMPARE(text("statusLabel"), QStringLiteral("U盘就绪"));
        const QString line = QStringLiteral("源目录: \"%1\" , 总大小: \"%2").arg(sourcePath, total);
        QCOMPARE(log.countStartingWith(QtDebugMsg, total.isEmpty() ? line : line + '"'), 1);
        if (!total.isEmpty())
            QCOMPARE(text("sourceSizeLabel"), QString("源目录总大小: " + total));
        const QString shownTotal = text("sourceSizeLabel");
        // Ready even without a source directory.
        QCOMPARE(text("statusLabel"), QStringLiteral("U盘就绪"));
        // The drive line shows the free space, not the capacity.
        struct statvfs st;
        QCOMPARE(::statvfs("/media/zozadoz/usb_backup", &st), 0);
        const qint64 free = qint64(st.f_bavail) * qint64(st.f_frsize);
        QVERIFY(free < DeviceManager::instance().deviceSize());
        QCOMPARE(text("usbInfoLabel"), QString("U盘已挂载: 可用空间: " + MainWindow::formatSize(free)));
        QVERIFY(window->findChild<QPushButton *>(QStringLiteral("startButton"))->isEnabled());

        QVERIFY(DeviceManager::instance().unmountDevice());
        QCOMPARE(text("statusLabel"), QStringLiteral("请插入U盘"));
        QCOMPARE(text("usbInfoLabel"), QStringLiteral("请插入U盘..."));
        QCOMPARE(text("sourceSizeLabel"), shownTotal);
        QVERIFY(!window->findChild<QPushButton *>(QStringLiteral("startButton"))->isEnabled());
    }

    void countMatchesReference_data()
    {
        QTest::addColumn<QString>("shape");
        for (const char *shape : {"nested", "links", "two links to one directory", "empty", "deep"})
            QTest::newRow(shape) << QString::fromLatin1(shape);
    }

    void countMatchesReference()
    {
        QFETCH(QString, shape);
        const QString root = trees.filePath(QStringLiteral("reference/") + shape);
        buildTree(root, shape);
        const qint64 expected = referenceSize(root);
        QVERIFY(shape == QLatin1String("empty") ? expected == 0 : expected > 0);
        QCOMPARE(boundedDirectorySize(root), expected);
        QCOMPARE(MainWindow::calculateDirSize(root), expected);
    }

    // No reference here: the plain walk would never end.
    void cycles_data()
    {
        QTest::addColumn<QString>("linkTarget"); // relative to root
        QTest::addColumn<QString>("linkPath");
        QTest::addColumn<qint64>("total");
        QTest::newRow("link to itself") << "a/b" << "a/b/self" << qint64(1 + 2 + 4);
        QTest::newRow("link to the parent") << "a" << "a/b/up" << qint64(1 + 2 + 4);
        QTest::newRow("link to the root") << "" << "a/b/top" << qint64(1 + 2 + 4);
        // Each of two directories linking to the other is entered once on its
        // own and once through the other's link.
        QTest::newRow("two directories in a ring") << "a" << "c/to-a" << qint64(2 * (1 + 2 + 4));
    }

    void cycles()
    {
        QFETCH(QString, linkTarget);
        QFETCH(QString, linkPath);
        QFETCH(qint64, total);
        const QString root = trees.filePath(QStringLiteral("cycles/") + QString::fromLatin1(QTest::currentDataTag()));
        file(root + "/a/f", 1);
        file(root + "/a/b/g", 2);
        file(root + "/c/h", 4);
        if (linkPath.startsWith(QLatin1String("c/")))
            link(root + "/c", root + "/a/b/to-c");
        link(root + '/' + linkTarget, root + '/' + linkPath);
        QCOMPARE(boundedDirectorySize(root), total);
    }
};

QTEST_MAIN(TestReadiness)
#include "tst_readiness.moc"
