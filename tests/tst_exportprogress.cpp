// The progress model of a whole export, fed with rsync output recorded from
// the real rsync (tests/data/rsync/README.md tells how each was made).

#include "export/exportprogress.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTest>

namespace {

QByteArray progressLine(qint64 bytes, bool last)
{
    QByteArray digits = QByteArray::number(bytes);
    for (int at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, ',');
    QByteArray line = "\r" + digits.rightJustified(15, ' ')
                      + "  50%    1.00MB/s    0:00:01";
    if (last)
        return line + " (xfr#1, to-chk=0/9)\n";
    return line + "  ";
}

} // namespace

class TestExportProgress : public QObject
{
    Q_OBJECT
private slots:
    void recordedOutput_data();
    void recordedOutput();
    void speedAndTimeLeft();
    void whatTheDriveHolds_data();
    void whatTheDriveHolds();
    void boundedWhateverRsyncWrites();
};

void TestExportProgress::recordedOutput_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<qint64>("totalToCopy");
    QTest::addColumn<qint64>("transferred");
    QTest::addColumn<QStringList>("names");

    const auto row = [](const char *tag, const char *file, qint64 total, qint64 transferred,
                        std::initializer_list<const char *> names) {
        QFile recorded(QFINDTESTDATA(QStringLiteral("data/rsync/") + QLatin1String(file)));
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        QStringList list;
        for (const char *name : names)
            list << QString::fromUtf8(name);
        QTest::newRow(tag) << recorded.readAll() << total << transferred << list;
    };
    row("first export, odd names", "first-export.txt", 3006710, 3006710,
        {"ch01/2026-12-01 08.mp4", "ch01/a b.mp4", "ch02/100% done.mp4", "ch02/new\nline.mp4",
         "ch02/中文 录像.mp4"});
    row("nothing to copy", "nothing-to-copy.txt", 0, 0, {});
    row("resumed", "resumed.txt", 5710, 5710,
        {"ch02/100% done.mp4", "ch02/new\nline.mp4", "ch02/中文 录像.mp4"});
    // The walk counted the vanished file too.
    row("over 4 GiB, vanished file", "big-file-and-vanished.txt", 4403024776, 4403019776,
        {"ch01/big.mp4"});
    // The walk saw the file at 2.5 GB; it had grown when rsync listed it.
    row("grown file", "grown-file.txt", 2500001234, 3000001234, {"ch01/grow.mp4", "ch01/next.mp4"});
    row("ir-chk and to-chk", "incremental-ir-chk.txt", 12000, 12000,
        {"1/a/f.mp4", "1200/a/h.mp4", "2/g.mp4"});
    row("file sent twice", "resent-after-shrink.txt", 3000001234, 4000001234,
        {"ch01/next.mp4", "ch01/shrink.mp4", "ch01/shrink.mp4"});
    row("names that look like progress", "lookalike-names.txt", 11500, 11500,
        {"sent 1 bytes  received 2 bytes", "      1,000 100%    1.00kB/s    0:00:00",
         "      9,999 100%    1.00kB/s    0:00:00 (xfr#9, to-chk=0", "ch 01/50% off.mp4",
         "ch 01/tab\tcr\rx.mp4"});
    // Older rsync ended each update with "\r" instead of starting with it.
    QTest::newRow("carriage return after the update")
        << QByteArray("ch01/a.mp4\n      1,048,576  45%  102.40MB/s    0:00:00\r"
                      "      2,330,112 100%   98.10MB/s    0:00:00 (xfr#1, to-chk=0/2)\n")
        << qint64(2330112) << qint64(2330112) << QStringList{QStringLiteral("ch01/a.mp4")};
}

void TestExportProgress::recordedOutput()
{
    QFETCH(QByteArray, output);
    QFETCH(qint64, totalToCopy);
    QFETCH(qint64, transferred);
    QFETCH(QStringList, names);

    // Whole, byte by byte, and in random pieces.
    for (int split = 0; split < 8; ++split) {
        QRandomGenerator random(split);
        ExportProgress progress;
        QStringList seen;
        progress.onFileDone([&](const QByteArray &path) { seen << QString::fromUtf8(path); });
        progress.start(totalToCopy, 0);
        int lastPercent = 0;
        for (int at = 0; at < output.size();) {
            const int length = split == 0 ? output.size() : split == 1 ? 1 : random.bounded(1, 80);
            progress.feed(output.mid(at, length), at);
            at += length;
            QVERIFY2(progress.percent() >= lastPercent, qPrintable(QString::number(split)));
            QVERIFY(progress.percent() <= 99);
            QVERIFY(progress.bytesDone() <= progress.total());
            lastPercent = progress.percent();
        }
        QCOMPARE(progress.bytesDone(), transferred);
        QCOMPARE(progress.total(), qMax(totalToCopy, transferred));
        QCOMPARE(seen, names);
        if (totalToCopy == 0)
            QCOMPARE(progress.percent(), 0);
        progress.finish();
        QCOMPARE(progress.percent(), 100);
    }
}

void TestExportProgress::speedAndTimeLeft()
{
    // 1 MB/s, a new file every 3 s, a line every 500 ms.
    ExportProgress progress;
    progress.start(100000000, 0);
    qint64 completed = 0;
    for (qint64 now = 500; now <= 10000; now += 500) {
        const bool fileEnds = now % 3000 == 0;
        progress.feed(progressLine(now * 1000 - completed, fileEnds), now);
        if (fileEnds)
            completed = now * 1000;
        if (now < 2000) {
            QCOMPARE(progress.bytesPerSecond(now), 0.0);
            QCOMPARE(progress.secondsLeft(now), qint64(-1));
        } else {
            QCOMPARE(progress.bytesPerSecond(now), 1000000.0);
            QCOMPARE(progress.secondsLeft(now), 100 - now / 1000);
        }
    }
    // 12 s without a line: stalled.
    QCOMPARE(progress.bytesPerSecond(22000), 0.0);
    QCOMPARE(progress.secondsLeft(22000), qint64(-1));
}

void TestExportProgress::boundedWhateverRsyncWrites()
{
    // A megabyte without a line end is no name to keep, and its file is
    // still counted.
    ExportProgress progress;
    QList<QByteArray> done;
    progress.onFileDone([&](const QByteArray &path) { done << path; });
    progress.start(1000, 0);
    for (int i = 0; i < 64; ++i)
        progress.feed(QByteArray(16 * 1024, 'x'), i);
    progress.feed("\n" + progressLine(1000, true), 64);
    QCOMPARE(progress.bytesDone(), qint64(1000));
    QCOMPARE(done, QList<QByteArray>());

    // Names only say which file comes; a file is done with its last update.
    for (int i = 0; i < 5000; ++i)
        progress.feed("ch01/" + QByteArray::number(i) + ".mp4\n", 100);
    progress.feed(progressLine(10, true), 100);
    QCOMPARE(done, QList<QByteArray>{"ch01/4999.mp4"});
}

// rsync hands a file to the page cache long before a slow stick holds it: the
// progress follows the stick's own count of completed writes when there is
// one, never runs ahead of what rsync handed over, and 100 waits for the end.
void TestExportProgress::whatTheDriveHolds_data()
{
    QTest::addColumn<qint64>("written");   // the drive's count; -1: none
    QTest::addColumn<qint64>("bytesDone");
    QTest::addColumn<int>("percent");
    QTest::addColumn<qint64>("unwritten");
    // rsync has handed over 8,000,000 of 10,000,000 bytes.
    QTest::newRow("no count: what rsync handed over") << qint64(-1) << qint64(8000000) << 80 << qint64(0);
    QTest::newRow("the stick behind the cache") << qint64(2000000) << qint64(2000000) << 20 << qint64(6000000);
    QTest::newRow("metadata makes the count larger") << qint64(9000000) << qint64(8000000) << 80 << qint64(0);
}

void TestExportProgress::whatTheDriveHolds()
{
    QFETCH(qint64, written);
    QFETCH(qint64, bytesDone);
    QFETCH(int, percent);
    QFETCH(qint64, unwritten);
    ExportProgress progress;
    progress.start(10000000, 0);
    progress.setWritten(written >= 0 ? 0 : -1, 0);
    progress.feed("video.bin\n\r      8,000,000 100%  100.00MB/s    0:00:00 (xfr#1, to-chk=1/2)\n", 100);
    progress.setWritten(written, 200);
    QCOMPARE(progress.bytesDone(), bytesDone);
    QCOMPARE(progress.percent(), percent);
    QCOMPARE(progress.bytesUnwritten(), unwritten);
    QCOMPARE(progress.total(), qint64(10000000));
    // The speed is the stick's: 3,000,000 bytes in 2.2 s, whatever rsync handed over.
    if (written >= 0 && written < 8000000) {
        progress.setWritten(written + 1000000, 2200);
        QCOMPARE(qRound64(progress.bytesPerSecond(2200)), qint64(1363636));
    }
    progress.finish();
    QCOMPARE(progress.percent(), 100);
    QCOMPARE(progress.bytesDone(), qint64(8000000));
}

QTEST_GUILESS_MAIN(TestExportProgress)
#include "tst_exportprogress.moc"
