// A camera's timeline from its recordings' ends and durations: the gaps of
// more than 10 s between them, and its first start, last end and total.
// Needs no root and no drive.

#include "proof/gaps.h"

#include <QTest>

class GapsTest : public QObject
{
    Q_OBJECT
private slots:
    void timeline_data();
    void timeline();
    void keepsTheFirstGapsAndCountsAll();
};

void GapsTest::timeline_data()
{
    // Each recording is an end in seconds and a duration in ms (-1: unknown).
    QTest::addColumn<QVector<qint64>>("recordings");
    QTest::addColumn<QVector<qint64>>("gaps"); // start and end in seconds, pairwise
    QTest::addColumn<qint64>("firstStartSecs");
    QTest::addColumn<qint64>("totalMs");
    QTest::addColumn<int>("unknown");

    using V = QVector<qint64>;
    QTest::newRow("contiguous") << V{1060, 60000, 1120, 60000, 1180, 60000} << V{} << qint64(1000) << qint64(180000)
                                << 0;
    QTest::newRow("a planted minute") << V{1060, 60000, 1180, 60000, 1240, 60000} << V{1060, 1120} << qint64(1000)
                                      << qint64(180000) << 0;
    QTest::newRow("exactly 10 s") << V{1060, 60000, 1130, 60000} << V{} << qint64(1000) << qint64(120000) << 0;
    QTest::newRow("11 s") << V{1060, 60000, 1131, 60000} << V{1060, 1071} << qint64(1000) << qint64(120000) << 0;
    // 49.5 s rounds to 50 s: the start is 10 s after the end before.
    QTest::newRow("rounded duration") << V{1060, 60000, 1120, 49500} << V{} << qint64(1000) << qint64(109500) << 0;
    QTest::newRow("unknown duration opens none") << V{1060, 60000, 1300, -1} << V{} << qint64(1000) << qint64(60000)
                                                 << 1;
    QTest::newRow("unknown duration's end closes one") << V{1060, 60000, 1300, -1, 1360, 60000} << V{} << qint64(1000)
                                                       << qint64(120000) << 1;
    QTest::newRow("a long one covers the one before") << V{1060, 60000, 1070, 600000, 1200, 60000} << V{1070, 1140}
                                                      << qint64(470) << qint64(720000) << 0;
    QTest::newRow("unknown first") << V{1060, -1, 1200, 60000} << V{1060, 1140} << qint64(1060) << qint64(60000) << 1;
}

void GapsTest::timeline()
{
    QFETCH(QVector<qint64>, recordings);
    QFETCH(QVector<qint64>, gaps);
    QFETCH(qint64, firstStartSecs);
    QFETCH(qint64, totalMs);
    QFETCH(int, unknown);

    TimelineBuilder builder;
    for (int i = 0; i < recordings.size(); i += 2)
        builder.add(recordings.at(i), recordings.at(i + 1));
    const CameraTimeline &t = builder.result();
    QVector<qint64> found;
    for (const Gap &gap : t.firstGaps)
        found << gap.startMs / 1000 << gap.endMs / 1000;
    QCOMPARE(found, gaps);
    QCOMPARE(t.gapCount, gaps.size() / 2);
    QCOMPARE(t.firstStartMs, firstStartSecs * 1000);
    QCOMPARE(t.lastEndMs, recordings.at(recordings.size() - 2) * 1000);
    QCOMPARE(t.totalMs, totalMs);
    QCOMPARE(t.unknown, unknown);
    QCOMPARE(t.recordings, recordings.size() / 2);
}

void GapsTest::keepsTheFirstGapsAndCountsAll()
{
    // 30 one-minute recordings an hour apart: 29 gaps of 59 minutes.
    TimelineBuilder builder;
    for (qint64 hour = 1; hour <= 30; ++hour)
        builder.add(hour * 3600, 60000);
    const CameraTimeline &t = builder.result();
    QCOMPARE(t.gapCount, 29);
    QCOMPARE(int(t.firstGaps.size()), kGapsKept);
    QCOMPARE(t.firstGaps.back().startMs, qint64(20 * 3600 * 1000));
    QCOMPARE(t.firstGaps.back().endMs, qint64((21 * 3600 - 60) * 1000));
}

QTEST_GUILESS_MAIN(GapsTest)
#include "tst_gaps.moc"
