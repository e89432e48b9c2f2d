// What an export still has to copy, as the fit check and the progress count
// it: one walk of the recordings against the export directory on the drive.
#include "testsupport.h"

#include "export/exportplan.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace TestSupport;

namespace {

const QDateTime kTime = QDateTime::fromSecsSinceEpoch(1764000000);

// Writes a file of `size` bytes with modification time kTime + `offsetSeconds`.
bool makeFile(const QString &path, int size, int offsetSeconds = 0)
{
    if (!writeFile(path, QByteArray(size, 'r')))
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadWrite)
            && file.setFileTime(kTime.addSecs(offsetSeconds), QFileDevice::FileModificationTime);
}

} // namespace

class TestExportPlan : public QObject
{
    Q_OBJECT
private slots:
    void plan_data();
    void plan();
};

void TestExportPlan::plan_data()
{
    // Each row: what the drive already holds of the three recordings a (1000
    // bytes), sub/b (3000) and sub/c (5000), and what is left to copy.
    QTest::addColumn<QString>("onDrive");     // "name:size:offset" entries, or "sub->" for a link where sub/ is
    QTest::addColumn<int>("modifyWindow");
    QTest::addColumn<qint64>("maxFileSize");
    QTest::addColumn<qint64>("bytesToCopy");
    QTest::addColumn<qint64>("filesToCopy");
    QTest::addColumn<qint64>("tooLargeFiles");
    QTest::newRow("empty drive") << "" << 0 << qint64(-1) << qint64(9000) << qint64(3) << qint64(0);
    QTest::newRow("all there: a second export") << "a:1000:0 sub/b:3000:0 sub/c:5000:0" << 0 << qint64(-1)
                                                << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("resumed: half there") << "a:1000:0 sub/b:3000:0" << 0 << qint64(-1) << qint64(5000) << qint64(1)
                                         << qint64(0);
    QTest::newRow("other size or time is copied again") << "a:999:0 sub/b:3000:1 sub/c:5000:0" << 0 << qint64(-1)
                                                        << qint64(4000) << qint64(2) << qint64(0);
    QTest::newRow("time within the drive's window") << "a:1000:1 sub/b:3000:-1 sub/c:5000:2" << 1 << qint64(-1)
                                                    << qint64(5000) << qint64(1) << qint64(0);
    QTest::newRow("larger than the drive's largest file") << "" << 0 << qint64(4000) << qint64(4000) << qint64(2)
                                                          << qint64(1);
    // A link planted where the export has a directory is never followed: its
    // target's files do not count as copied.
    QTest::newRow("link planted for a directory") << "a:1000:0 elsewhere/b:3000:0 elsewhere/c:5000:0 sub->elsewhere"
                                                  << 0 << qint64(-1) << qint64(8000) << qint64(2) << qint64(0);
}

void TestExportPlan::plan()
{
    QFETCH(QString, onDrive);
    QFETCH(int, modifyWindow);
    QFETCH(qint64, maxFileSize);
    QFETCH(qint64, bytesToCopy);
    QFETCH(qint64, filesToCopy);
    QFETCH(qint64, tooLargeFiles);

    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("record"));
    const QString target = dir.filePath(QStringLiteral("drive/rec01"));
    QVERIFY(makeFile(source + "/a", 1000) && makeFile(source + "/sub/b", 3000) && makeFile(source + "/sub/c", 5000));
    // Left out of the export as they are left out of the copy.
    QVERIFY(makeFile(source + "/.index", 7000) && makeFile(source + "/.thumbs/t", 7000));
    QVERIFY(QFile::link(source + "/a", source + "/latest"));
    QVERIFY(QDir().mkpath(target));
    for (const QString &entry : onDrive.split(' ', Qt::SkipEmptyParts)) {
        if (entry.contains("->")) {
            QVERIFY(QFile::link(target + '/' + entry.section("->", 1), target + '/' + entry.section("->", 0, 0)));
            continue;
        }
        const QStringList fields = entry.split(':');
        QVERIFY(makeFile(target + '/' + fields.at(0), fields.at(1).toInt(), fields.at(2).toInt()));
    }

    ExportPlan::Options options;
    options.modifyWindowSeconds = modifyWindow;
    options.maxFileSize = maxFileSize;
    options.blockSize = 4096;
    const ExportPlan plan = planExport(source, target, options);
    QVERIFY(plan.complete);
    QCOMPARE(plan.bytesToCopy, bytesToCopy);
    QCOMPARE(plan.filesToCopy, filesToCopy);
    QCOMPARE(plan.tooLargeFiles, tooLargeFiles);
    QCOMPARE(plan.tooLargeBytes, tooLargeFiles * 5000);
    // Whole blocks for each file, and one for a directory the copy creates.
    QVERIFY(plan.spaceNeeded >= plan.bytesToCopy);
    QCOMPARE(plan.spaceNeeded % 4096, 0);

    std::atomic<bool> cancelled{true};
    QVERIFY(!planExport(source, target, options, &cancelled).complete);
}

QTEST_GUILESS_MAIN(TestExportPlan)
#include "tst_exportplan.moc"
