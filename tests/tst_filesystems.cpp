// What probeDrive finds where the export through the window cannot go: FAT32
// through the fusefat driver, and a drive with a link where it probes. (What
// it finds on ext4, exFAT, NTFS and FAT32 as mount mounts them, and the
// exports with the options it chooses, are tested through the window.)

#include "device/drivecapabilities.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>


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

} // namespace

class TestFileSystems : public QObject
{
    Q_OBJECT

private slots:
    void probeOnFuseFat();
    void linkAsProbedPathIsNotFollowed();
};

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
