// What an export still has to copy, as the fit check and the progress count
// it: one walk of the recordings against the export directory on the drive.
#include "testsupport.h"

#include "export/fitpolicy.h"
#include "recordings/dirsize.h"
#include "recordings/exportplan.h"
#include "recordings/recordingindex.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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
    void spanRule_data();
    void spanRule();
    void fitPolicy_data();
    void fitPolicy();
    void newestCut_data();
    void newestCut();
    void exactCut_data();
    void exactCut();
    void exactCutBounded();
    void cameraFolders_data();
    void cameraFolders();
    void listWriter();
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

// Which recordings a choice of cameras and span selects. Every folder holds
// recordings at minutes 0, 10, 20, 30 (after kTime); the span is given in
// minutes too.
void TestExportPlan::spanRule_data()
{
    QTest::addColumn<QStringList>("cameras");
    QTest::addColumn<int>("from");   // minutes; -1: no start
    QTest::addColumn<int>("to");     // minutes; -1: no end
    QTest::addColumn<QString>("selected");
    QTest::newRow("everything") << QStringList() << -1 << -1
                                << "ch1/00 ch1/10 ch1/20 ch1/30 d/ch2/00 d/ch2/10 d/ch2/20 d/ch2/30 loose";
    QTest::newRow("one camera, no span") << QStringList{"ch1"} << -1 << -1 << "ch1/00 ch1/10 ch1/20 ch1/30";
    QTest::newRow("a start: the newest") << QStringList{"ch1"} << 15 << -1 << "ch1/20 ch1/30";
    // Minute 10 holds the span's last minutes.
    QTest::newRow("an end: the first after it too") << QStringList{"ch1"} << -1 << 5 << "ch1/00 ch1/10";
    QTest::newRow("start and end within one recording") << QStringList{"ch1"} << 12 << 14 << "ch1/20";
    QTest::newRow("end on a recording's time") << QStringList{"ch1"} << 10 << 20 << "ch1/10 ch1/20 ch1/30";
    QTest::newRow("per folder") << QStringList{"ch1", "d/ch2"} << 21 << 25 << "ch1/30 d/ch2/30";
    QTest::newRow("after every recording") << QStringList{"ch1"} << 40 << -1 << "";
    QTest::newRow("a camera that is gone") << QStringList{"ch9"} << -1 << -1 << "";
}

void TestExportPlan::spanRule()
{
    QFETCH(QStringList, cameras);
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(QString, selected);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("record"));
    for (const char *folder : {"ch1", "d/ch2"}) {
        for (int minute = 0; minute <= 30; minute += 10)
            QVERIFY(makeFile(QStringLiteral("%1/%2/%3").arg(source, folder).arg(minute, 2, 10, QLatin1Char('0')), 100, minute * 60));
    }
    QVERIFY(makeFile(source + "/loose", 100) && makeFile(source + "/ch1/.partial", 100, 25 * 60));
    ExportSelection selection;
    selection.cameras = cameras;
    if (from >= 0)
        selection.start = kTime.toSecsSinceEpoch() + from * 60;
    if (to >= 0)
        selection.end = kTime.toSecsSinceEpoch() + to * 60;
    QStringList visited;
    const ExportPlan plan = planExport(source, QString(), ExportPlan::Options(), nullptr, selection, nullptr,
                                       [&](const char *path, size_t length) {
                                           visited << QString::fromUtf8(path, int(length));
                                           return true;
                                       });
    visited.sort();
    QCOMPARE(visited.join(' '), selected);
    QCOMPARE(plan.filesToCopy, qint64(visited.size()));
}

// The fit policy, from a plan of four recordings of 1 MiB (times 100 to 400)
// against a 16 MiB drive, whose file system keeps 1 MiB for itself.
void TestExportPlan::fitPolicy_data()
{
    QTest::addColumn<int>("span");
    QTest::addColumn<qint64>("freeKiB");
    QTest::addColumn<int>("tooLarge");    // recordings larger than the drive's largest file
    QTest::addColumn<int>("kind");        // FitDecision::Kind
    QTest::addColumn<bool>("tooMuch");    // the question is about the space
    QTest::addColumn<qint64>("start");    // what is copied, or Yes copies: from this time on; -1: all
    const int all = int(Span::All);
    const int newest = int(Span::NewestThatFit);
    QTest::newRow("fits: copied, no question") << all << qint64(8192) << 0 << int(FitDecision::Copy) << false << qint64(-1);
    QTest::newRow("the newest that fit chosen: cut, no question")
            << newest << qint64(3072) << 0 << int(FitDecision::Copy) << false << qint64(300);
    QTest::newRow("all chosen, too much: asked, Yes copies the newest")
            << all << qint64(3072) << 0 << int(FitDecision::Ask) << true << qint64(300);
    QTest::newRow("not even the newest fits") << all << qint64(1536) << 0 << int(FitDecision::NothingFits) << false
                                              << qint64(-1);
    QTest::newRow("fits, one recording too large: asked")
            << all << qint64(8192) << 1 << int(FitDecision::Ask) << false << qint64(-1);
    QTest::newRow("the newest that fit, one too large: asked, cut")
            << newest << qint64(3072) << 1 << int(FitDecision::Ask) << false << qint64(300);
}

void TestExportPlan::fitPolicy()
{
    QFETCH(int, span);
    QFETCH(qint64, freeKiB);
    QFETCH(int, tooLarge);
    QFETCH(int, kind);
    QFETCH(bool, tooMuch);
    QFETCH(qint64, start);
    constexpr qint64 kMiB = 1024 * 1024;
    PlannedExport planned;
    for (qint64 time = 100; time <= 400; time += 100) {
        RecordingSizes sizes;
        sizes.files = sizes.filesToCopy = 1;
        sizes.bytes = sizes.bytesToCopy = sizes.spaceNeeded = kMiB;
        planned.newest.add(time, sizes);
        planned.plan.filesToCopy += 1;
        planned.plan.bytesToCopy += kMiB;
        planned.plan.spaceNeeded += kMiB;
    }
    planned.plan.tooLargeFiles = tooLarge;
    const FitDecision decision = decideFit(planned, Span(span), freeKiB * 1024, 16 * kMiB);
    QCOMPARE(int(decision.kind), kind);
    if (decision.kind == FitDecision::NothingFits)
        return;
    QCOMPARE(decision.question.tooMuch, tooMuch);
    QCOMPARE(decision.cut, start != -1);
    QCOMPARE(decision.exported.selection.start, start == -1 ? ExportSelection::kNoStart : start);
    // What is copied fits, and the question names exactly that.
    QVERIFY(decision.exported.fits(freeKiB * 1024, 16 * kMiB));
    if (decision.kind == FitDecision::Ask && tooMuch)
        QCOMPARE(decision.question.newestBytes, decision.exported.plan.bytesToCopy);
}

// One time cut across the cameras: the newest half-hour stretches of all of
// them together while they fit.
void TestExportPlan::newestCut_data()
{
    QTest::addColumn<QString>("files");   // "camera:stretch:space" entries, times in half hours
    QTest::addColumn<QStringList>("cameras");
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<int>("cut");         // stretch of the cut; -1: everything fits, -2: nothing does
    const QString files = "a:0:100 b:0:100 a:1:100 b:1:100 a:2:100 b:2:100";
    QTest::newRow("everything fits") << files << QStringList() << qint64(600) << -1;
    QTest::newRow("the newest two stretches") << files << QStringList() << qint64(450) << 1;
    QTest::newRow("a stretch only whole") << files << QStringList() << qint64(399) << 2;
    QTest::newRow("not even the newest") << files << QStringList() << qint64(199) << -2;
    QTest::newRow("one camera's own stretches") << files << QStringList{"a"} << qint64(200) << 1;
    QTest::newRow("what the stick holds takes no room") << "a:0:0 a:1:0 a:2:100" << QStringList() << qint64(100) << -1;
}

void TestExportPlan::newestCut()
{
    QFETCH(QString, files);
    QFETCH(QStringList, cameras);
    QFETCH(qint64, budget);
    QFETCH(int, cut);
    const qint64 kStretch = RecordingIndex::kBucketSeconds;
    const qint64 base = 1764000000 / kStretch * kStretch;
    RecordingIndex index(base);
    for (const QString &entry : files.split(' ')) {
        const QStringList fields = entry.split(':');
        RecordingSizes sizes;
        sizes.files = 1;
        sizes.bytes = sizes.spaceNeeded = fields.at(2).toLongLong();
        index.addFile(index.addCamera(fields.at(0)), base + fields.at(1).toLongLong() * kStretch, sizes);
        index.endDirectory();
    }
    index.finish();
    const qint64 expected = cut == -1 ? ExportSelection::kNoStart
            : cut == -2                ? ExportSelection::kNoEnd
                                       : base + cut * kStretch;
    QCOMPARE(index.newestCut(cameras, budget), expected);
    if (cut >= 0)
        QVERIFY(index.sizesFrom(cameras, expected).spaceNeeded <= budget);
}

// The exact cut of "the newest that fit", at a recording: the times of the
// recordings in seconds (any order, over several cameras), their space, a
// budget, and the time from which on they all fit.
void TestExportPlan::exactCut_data()
{
    QTest::addColumn<QString>("recordings"); // "time:space" entries
    QTest::addColumn<qint64>("budget");
    QTest::addColumn<qint64>("cut");         // -1: everything fits; -2: nothing does
    // Four cameras write a recording each at 300 s steps within one half hour.
    const QString busy = "1200:8 300:8 900:8 0:8 1201:8 301:8 901:8 1:8 1202:8 302:8 902:8 2:8";
    QTest::newRow("a boundary inside a half hour") << busy << qint64(50) << qint64(900);
    QTest::newRow("a half hour larger than the stick") << busy << qint64(24) << qint64(1200);
    QTest::newRow("everything") << busy << qint64(96) << qint64(-1);
    QTest::newRow("equal times go together") << "10:5 20:5 20:5 30:5" << qint64(14) << qint64(30);
    QTest::newRow("equal times, room for both") << "10:5 20:5 20:5 30:5" << qint64(15) << qint64(20);
    QTest::newRow("a stick that takes nothing") << busy << qint64(7) << qint64(-2);
    QTest::newRow("nothing at all") << "" << qint64(100) << qint64(-1);
    QTest::newRow("what the stick holds takes no room") << "10:0 20:0 30:4 40:0" << qint64(4) << qint64(-1);
    QTest::newRow("held copies older than the cut stay out") << "10:0 20:6 30:4 40:0" << qint64(4) << qint64(30);
}

void TestExportPlan::exactCut()
{
    QFETCH(QString, recordings);
    QFETCH(qint64, budget);
    QFETCH(qint64, cut);
    const qint64 base = 1764000000;
    NewestCut newest(budget);
    qint64 total = 0;
    for (const QString &entry : recordings.split(' ', Qt::SkipEmptyParts)) {
        RecordingSizes sizes;
        sizes.files = sizes.filesToCopy = 1;
        sizes.spaceNeeded = sizes.bytesToCopy = entry.section(':', 1).toLongLong();
        total += sizes.spaceNeeded;
        newest.add(base + entry.section(':', 0, 0).toLongLong(), sizes);
    }
    const qint64 expected = cut == -1 ? ExportSelection::kNoStart : cut == -2 ? ExportSelection::kNoEnd : base + cut;
    QCOMPARE(newest.cut(budget), expected);
    if (cut >= 0)
        QVERIFY(newest.sizesFrom(expected).spaceNeeded <= budget);
    if (cut == -1)
        QCOMPARE(newest.sizesFrom(ExportSelection::kNoStart).spaceNeeded, total);
}

// A million recordings of a second each, most of which would fit: what is
// held stays bounded, and the cut still fits and counts what it selects.
void TestExportPlan::exactCutBounded()
{
    const qint64 budget = 600000;
    NewestCut newest(budget);
    RecordingSizes one;
    one.files = one.filesToCopy = 1;
    one.spaceNeeded = one.bytesToCopy = 1;
    for (qint64 time = 0; time < 1000000; ++time)
        newest.add((time * 7919) % 1000000, one); // every second once, in no order
    const qint64 cut = newest.cut(budget);
    QVERIFY(newest.step() > 1);
    QVERIFY(cut > 0 && cut < 1000000);
    const RecordingSizes kept = newest.sizesFrom(cut);
    QVERIFY(kept.spaceNeeded <= budget);
    QCOMPARE(kept.files, 1000000 - cut); // exactly the recordings from the cut on
    QVERIFY(kept.spaceNeeded > budget - 2 * newest.step());
}

// Camera folders: the top-level folders, or while there is exactly one, the
// folders below it. Hidden folders and links are no cameras.
void TestExportPlan::cameraFolders_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("cameras");
    QTest::newRow("top-level folders") << QStringList{"ch1/a", "ch2/a", "ch10/b", "loose"} << QStringList{"ch1", "ch10", "ch2"};
    QTest::newRow("one folder: the ones below") << QStringList{"disk0/ch1/a", "disk0/ch2/a", "top"}
                                                << QStringList{"disk0/ch1", "disk0/ch2"};
    QTest::newRow("a chain of single folders") << QStringList{"a/b/ch1/x", "a/b/ch2/x"} << QStringList{"a/b/ch1", "a/b/ch2"};
    QTest::newRow("hidden folders are no cameras") << QStringList{"ch1/a", ".thumbs/t", "ch2/a"} << QStringList{"ch1", "ch2"};
    QTest::newRow("files only") << QStringList{"a", "b"} << QStringList();
}

void TestExportPlan::cameraFolders()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, cameras);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("record"));
    for (const QString &file : files)
        QVERIFY(makeFile(source + '/' + file, 10));
    QVERIFY(QFile::link(source + "/" + files.at(0).section('/', 0, 0), source + "/linked"));
    const std::atomic<bool> cancelled{false};
    const RecordingCount count = countRecordings(source, QString(), ExportPlan::Options(), 0, cancelled);
    QStringList found = count.index.cameras();
    found.sort();
    QCOMPARE(found, cameras);
    // Every recording is in the index once, loose ones included; the link is counted only in the total.
    QCOMPARE(count.index.sizes(QStringList()).files, qint64(files.size() - (files.contains(".thumbs/t") ? 1 : 0)));
}

// The list rsync reads: every chosen path once, NUL-ended, written while the
// reader reads, also when it is far larger than the socket's buffer.
void TestExportPlan::listWriter()
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("record"));
    for (int i = 0; i < 3000; ++i)
        QVERIFY(makeFile(QStringLiteral("%1/ch%2/%3-a-long-name-to-fill-the-socket-buffer.mp4").arg(source).arg(i % 3).arg(i), 1, i));
    int ends[2];
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
    ExportSelection selection;
    selection.cameras = QStringList{"ch1"};
    std::atomic<bool> cancelled{false};
    bool written = false;
    std::thread writer([&] {
        written = writeRecordingList(ends[1], source, selection, cancelled);
        ::close(ends[1]);
    });
    QByteArray list;
    char buffer[4096];
    for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
        list.append(buffer, int(n));
    writer.join();
    ::close(ends[0]);
    QVERIFY(written);
    QVERIFY(list.endsWith('\0'));
    const QList<QByteArray> paths = list.chopped(1).split('\0');
    QCOMPARE(paths.size(), 1000);
    for (const QByteArray &path : paths)
        QVERIFY2(path.startsWith("ch1/") && path.endsWith(".mp4"), path.constData());

    // A reader that goes away ends the writer, with no signal to the process.
    QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
    ::close(ends[0]);
    QVERIFY(!writeRecordingList(ends[1], source, ExportSelection(), cancelled));
    ::close(ends[1]);
}

QTEST_GUILESS_MAIN(TestExportPlan)
#include "tst_exportplan.moc"
