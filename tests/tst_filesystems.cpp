// What probeDrive finds on real file systems mounted as the product mounts
// them, and whether rsync with the options chosen for them exports cleanly
// and, a second time, copies nothing.

#include "export/drivecapabilities.h"
#include "testsupport.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace TestSupport;

namespace {

QStringList entriesOf(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

bool installed(const QString &program)
{
    return !QStandardPaths::findExecutable(program, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")}).isEmpty();
}

const QStringList regularFiles = {QStringLiteral("sub/clip.mp4"), QStringLiteral("owned.txt"), QStringLiteral("odd.txt")};

// A recording-like tree: a file of another owner, a symbolic link, a file
// whose time is an odd second and a half, and a hidden file rsync excludes.
bool makeSource(const QString &root)
{
    QByteArray clip(300000, Qt::Uninitialized);
    for (int i = 0; i < clip.size(); ++i)
        clip[i] = char((i * 31 + i / 977) & 0xff);
    QFile odd(root + QStringLiteral("/odd.txt"));
    return writeFile(root + QStringLiteral("/sub/clip.mp4"), clip) && writeFile(odd.fileName(), "odd time\n")
            && writeFile(root + QStringLiteral("/owned.txt"), "owned by 1234\n")
            && ::chown(QFile::encodeName(root + QStringLiteral("/owned.txt")).constData(), 1234, 1234) == 0
            && odd.open(QIODevice::ReadWrite)
            && odd.setFileTime(QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1614834367500)), QFileDevice::FileModificationTime)
            && QFile::link(QStringLiteral("sub/clip.mp4"), root + QStringLiteral("/link"))
            && writeFile(root + QStringLiteral("/.hidden"), "not exported\n");
}

} // namespace

class TestFileSystems : public QObject
{
    Q_OBJECT

private slots:
    void probeAndExport_data();
    void probeAndExport();
    void probeOnFuseFat();
    void linkAsProbedPathIsNotFollowed();
};

void TestFileSystems::probeAndExport_data()
{
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<QString>("found");
    QTest::addColumn<QString>("options");

    QTest::newRow("ext4") << "ext4" << "ext4: owners yes, permissions yes, links yes, time 1 s, largest file unlimited"
                          << "";
    QTest::newRow("exfat") << "exfat" << "exfat: owners no, permissions no, links no, time 1 s, largest file unlimited"
                           << "--no-owner --no-group --no-perms --no-links";
    // ntfs-3g answers a chown and a chmod with success and keeps neither.
    QTest::newRow("ntfs") << "ntfs" << "ntfs: owners no, permissions no, links yes, time 1 s, largest file unlimited"
                          << "--no-owner --no-group --no-perms";
    QTest::newRow("vfat") << "vfat" << "vfat: owners no, permissions no, links no, time 2 s, largest file 4294967295 bytes"
                          << "--no-owner --no-group --no-perms --no-links --modify-window=1";
}

void TestFileSystems::probeAndExport()
{
    QFETCH(QString, fileSystem);
    QFETCH(QString, found);
    QFETCH(QString, options);
    REQUIRE_SANDBOX();
    if (!installed(LoopDrive::formatProgram(fileSystem)))
        QSKIP(qPrintable(LoopDrive::formatProgram(fileSystem) + QStringLiteral(" is not installed (scripts/install-deps.sh)")));
    // The drive goes first, unmounting itself, so that removing the mount
    // point never reaches into the drive.
    QTemporaryDir media;
    LoopDrive drive(64, fileSystem);
    QVERIFY2(drive.isValid(), qPrintable(drive.errorString()));
    const QString mountPath = media.filePath(QStringLiteral("usb_backup"));
    QVERIFY(QDir().mkpath(mountPath));
    // Exactly as the product mounts a drive: no type, no options.
    QByteArray output;
    if (run(QStringLiteral("mount"), {drive.device(), mountPath}, &output) != 0) {
        const QString plain = QStringLiteral("`mount DEV DIR` cannot mount %1 here (%2)").arg(fileSystem, QString::fromUtf8(output.trimmed()));
        // Debian's exfat-fuse installs its helper only as mount.exfat-fuse;
        // the recorder runs the same driver as /sbin/mount.exfat.
        if (fileSystem != QLatin1String("exfat") || !installed(QStringLiteral("mount.exfat-fuse")))
            QSKIP(qPrintable(plain + QStringLiteral(": no kernel driver and no /sbin/mount.") + fileSystem
                             + QStringLiteral(" helper on this machine")));
        QVERIFY(drive.mountAt(mountPath, QStringLiteral("exfat-fuse")));
        qInfo("%s; mounted with -t exfat-fuse instead", qPrintable(plain));
    }

    const QStringList before = entriesOf(mountPath);
    const DriveCapabilities caps = probeDrive(mountPath);
    QCOMPARE(describe(caps), found);
    QCOMPARE(rsyncOptions(caps).join(QLatin1Char(' ')), options);
    QCOMPARE(entriesOf(mountPath), before);

    QTemporaryDir source;
    QVERIFY(makeSource(source.path()));
    const QString target = mountPath + QStringLiteral("/rec01");
    const QStringList arguments = QStringList{QStringLiteral("-av"), QStringLiteral("--exclude=.*")} + rsyncOptions(caps)
            + QStringList{source.path() + QLatin1Char('/'), target};
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(run(QStringLiteral("rsync"), arguments, &output), 0);
    const qint64 firstMs = timer.restart();
    for (const QString &file : regularFiles)
        QVERIFY2(readFile(target + QLatin1Char('/') + file) == readFile(source.filePath(file)), qPrintable(file));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/.hidden")));
    QCOMPARE(QFileInfo(target + QStringLiteral("/link")).isSymLink(), caps.symlinks);

    // Nothing copied, and no owner, mode or time that rsync would set again.
    QCOMPARE(run(QStringLiteral("rsync"), arguments + QStringList{QStringLiteral("--itemize-changes"), QStringLiteral("--stats")}, &output), 0);
    QVERIFY2(output.contains("Number of regular files transferred: 0"), output.constData());
    static const QRegularExpression changed(QStringLiteral("^[<>ch.*][fdLDS][.+?a-zA-Z]{9} "), QRegularExpression::MultilineOption);
    QVERIFY2(!changed.match(QString::fromUtf8(output)).hasMatch(), output.constData());
    qInfo("rsync -av %s: first run %lld ms, second run %lld ms, nothing copied", qPrintable(options), firstMs, timer.elapsed());
}

// FAT32 through the fusefat driver, which the plain mount cannot use; its
// type shows only as a FUSE subtype. Only the probe: fusefat rejects every
// chmod, which rsync makes for a new file even with --no-perms (the kernel's
// vfat quietly ignores such a chmod).
void TestFileSystems::probeOnFuseFat()
{
    REQUIRE_SANDBOX();
    if (!installed(QStringLiteral("fusefat")) || !installed(QStringLiteral("mkfs.vfat")))
        QSKIP("fusefat or mkfs.vfat is not installed (scripts/install-deps.sh)");
    QTemporaryDir media;
    LoopDrive drive(64, QStringLiteral("vfat"));
    QVERIFY2(drive.isValid(), qPrintable(drive.errorString()));
    QVERIFY(run(QStringLiteral("fusefat"), {QStringLiteral("-o"), QStringLiteral("rw+"), drive.device(), media.path()}) == 0);
    const DriveCapabilities caps = probeDrive(media.path());
    const QStringList left = entriesOf(media.path());
    drive.unmountFrom(media.path());
    QCOMPARE(describe(caps), QStringLiteral("fuse.fusefat: owners no, permissions no, links no, time 2 s, largest file 4294967295 bytes"));
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
}

// A drive can hold a symbolic link where a directory is expected; probing
// through it must not write to where it points.
void TestFileSystems::linkAsProbedPathIsNotFollowed()
{
    QTemporaryDir drive;
    QTemporaryDir elsewhere;
    const QString planted = drive.filePath(QStringLiteral("rec01"));
    QVERIFY(QFile::link(elsewhere.path(), planted));
    const DriveCapabilities caps = probeDrive(planted);
    QVERIFY(entriesOf(elsewhere.path()).isEmpty());
    // Unprobed and of no known type: nothing is taken for granted.
    QVERIFY(!caps.holdsEverything());
}

QTEST_GUILESS_MAIN(TestFileSystems)
#include "tst_filesystems.moc"
