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
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QString findProgram(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(name, {QStringLiteral("/sbin"), QStringLiteral("/usr/sbin")})
                           : found;
}

// Lines of rsync's --itemize-changes output, one per changed item.
int itemizedChanges(const QByteArray &output)
{
    static const QRegularExpression line(QStringLiteral("^[<>ch.*][fdLDS][.+?a-zA-Z]{9} "),
                                         QRegularExpression::MultilineOption);
    int count = 0;
    auto matches = line.globalMatch(QString::fromUtf8(output));
    for (; matches.hasNext(); matches.next())
        ++count;
    return count;
}

const QStringList regularFiles = {QStringLiteral("sub/clip.mp4"), QStringLiteral("owned.txt"),
                                  QStringLiteral("odd.txt")};

// A recording-like tree: a file of another owner, a symbolic link, a file
// whose time is an odd second and a half, and a hidden file rsync excludes.
bool makeSource(const QString &root)
{
    QByteArray clip(300000, Qt::Uninitialized);
    for (int i = 0; i < clip.size(); ++i)
        clip[i] = char((i * 31 + i / 977) & 0xff);
    const QString odd = root + QStringLiteral("/odd.txt");
    QFile oddFile(odd);
    return writeFile(root + QStringLiteral("/sub/clip.mp4"), clip)
            && writeFile(root + QStringLiteral("/owned.txt"), "owned by 1234\n")
            && ::chown(QFile::encodeName(root + QStringLiteral("/owned.txt")).constData(), 1234, 1234) == 0
            && writeFile(odd, "odd time\n") && oddFile.open(QIODevice::ReadWrite)
            && oddFile.setFileTime(QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1614834367500)),
                                   QFileDevice::FileModificationTime)
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
    QTest::addColumn<bool>("owners");
    QTest::addColumn<bool>("permissions");
    QTest::addColumn<bool>("symlinks");
    QTest::addColumn<int>("timeResolution");
    QTest::addColumn<qint64>("maxFileSize");
    QTest::addColumn<QStringList>("options");

    const QStringList noAttributes = {QStringLiteral("--no-owner"), QStringLiteral("--no-group"),
                                      QStringLiteral("--no-perms")};
    QTest::newRow("ext4") << "ext4" << true << true << true << 0 << qint64(-1) << QStringList();
    QTest::newRow("exfat") << "exfat" << false << false << false << 0 << qint64(-1)
                           << noAttributes + QStringList{QStringLiteral("--no-links")};
    // ntfs-3g answers a chown and a chmod with success and keeps neither.
    QTest::newRow("ntfs") << "ntfs" << false << false << true << 0 << qint64(-1) << noAttributes;
    QTest::newRow("vfat") << "vfat" << false << false << false << 2 << Q_INT64_C(4294967295)
                          << noAttributes + QStringList{QStringLiteral("--no-links"), QStringLiteral("--modify-window=1")};
}

void TestFileSystems::probeAndExport()
{
    QFETCH(QString, fileSystem);
    QFETCH(bool, owners);
    QFETCH(bool, permissions);
    QFETCH(bool, symlinks);
    QFETCH(int, timeResolution);
    QFETCH(qint64, maxFileSize);
    QFETCH(QStringList, options);
    REQUIRE_SANDBOX();
    if (findProgram(LoopDrive::formatProgram(fileSystem)).isEmpty())
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
        const QString plain = QStringLiteral("`mount DEV DIR` cannot mount %1 here (%2)")
                                      .arg(fileSystem, QString::fromUtf8(output.trimmed()));
        // Debian's exfat-fuse installs its helper only as mount.exfat-fuse;
        // the recorder runs the same driver as /sbin/mount.exfat.
        if (fileSystem != QLatin1String("exfat") || findProgram(QStringLiteral("mount.exfat-fuse")).isEmpty())
            QSKIP(qPrintable(plain + QStringLiteral(": no kernel driver and no /sbin/mount.") + fileSystem
                             + QStringLiteral(" helper on this machine")));
        QVERIFY2(run(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("exfat-fuse"), drive.device(), mountPath},
                     &output) == 0,
                 output.constData());
        qInfo("%s; mounted with -t exfat-fuse instead", qPrintable(plain));
    }

    const QStringList before = entriesOf(mountPath);
    const DriveCapabilities caps = probeDrive(mountPath);
    qInfo("%s", qPrintable(describe(caps)));
    QCOMPARE(caps.fileSystem, fileSystem);
    QCOMPARE(caps.owners, owners);
    QCOMPARE(caps.permissions, permissions);
    QCOMPARE(caps.symlinks, symlinks);
    QCOMPARE(caps.timeResolutionSeconds, timeResolution);
    QCOMPARE(caps.maxFileSize, maxFileSize);
    QCOMPARE(rsyncOptions(caps), options);
    QCOMPARE(entriesOf(mountPath), before);

    QTemporaryDir source;
    QVERIFY(makeSource(source.path()));
    const QString target = mountPath + QStringLiteral("/rec01");
    const QStringList arguments = QStringList{QStringLiteral("-av"), QStringLiteral("--exclude=.*")} + options
            + QStringList{source.path() + QLatin1Char('/'), target};
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(run(QStringLiteral("rsync"), arguments, &output), 0);
    const qint64 firstMs = timer.restart();
    for (const QString &file : regularFiles)
        QVERIFY2(readFile(target + QLatin1Char('/') + file) == readFile(source.filePath(file)), qPrintable(file));
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/.hidden")));
    const QFileInfo link(target + QStringLiteral("/link"));
    QCOMPARE(link.isSymLink(), symlinks);

    QCOMPARE(run(QStringLiteral("rsync"), arguments + QStringList{QStringLiteral("--itemize-changes"), QStringLiteral("--stats")},
                 &output),
             0);
    const qint64 secondMs = timer.elapsed();
    QVERIFY2(output.contains("Number of regular files transferred: 0"), output.constData());
    QVERIFY2(itemizedChanges(output) == 0, output.constData());
    qInfo("rsync %s: first run %lld ms, second run %lld ms, nothing copied", qPrintable(options.join(QLatin1Char(' '))),
          firstMs, secondMs);
}

// FAT32 through the fusefat driver, which the plain mount cannot use: its
// type shows only as a FUSE subtype. Only the probe, since fusefat rejects
// every chmod, which rsync makes for a new file even with --no-perms (the
// kernel's vfat ignores such a chmod).
void TestFileSystems::probeOnFuseFat()
{
    REQUIRE_SANDBOX();
    if (findProgram(QStringLiteral("fusefat")).isEmpty() || findProgram(QStringLiteral("mkfs.vfat")).isEmpty())
        QSKIP("fusefat or mkfs.vfat is not installed (scripts/install-deps.sh)");
    QTemporaryDir media;
    LoopDrive drive(64, QStringLiteral("vfat"));
    QVERIFY2(drive.isValid(), qPrintable(drive.errorString()));
    QByteArray output;
    QVERIFY2(run(QStringLiteral("fusefat"), {QStringLiteral("-o"), QStringLiteral("rw+"), drive.device(), media.path()},
                 &output) == 0,
             output.constData());

    const DriveCapabilities caps = probeDrive(media.path());
    const QStringList after = entriesOf(media.path());
    run(QStringLiteral("umount"), {media.path()});
    QCOMPARE(caps.fileSystem, QStringLiteral("fuse.fusefat"));
    QCOMPARE(rsyncOptions(caps), (QStringList{QStringLiteral("--no-owner"), QStringLiteral("--no-group"),
                                              QStringLiteral("--no-perms"), QStringLiteral("--no-links"),
                                              QStringLiteral("--modify-window=1")}));
    QCOMPARE(caps.maxFileSize, Q_INT64_C(4294967295));
    QVERIFY2(after.isEmpty(), qPrintable(after.join(QLatin1Char(' '))));
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
