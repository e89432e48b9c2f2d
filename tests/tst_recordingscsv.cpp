// What each recording shows: recordings.csv as Python's csv module reads it
// back (awkward names: commas, quotes, line breaks, Chinese, bytes that are
// not UTF-8; known and unknown durations; the UTC offset in several zones),
// and a camera's gaps of more than 10 s. Needs no root and no drive.
#include "testsupport.h"

#include "proof/gaps.h"
#include "proof/recordingscsv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <ctime>

using namespace TestSupport;

namespace {

void setZone(const QByteArray &zone)
{
    qputenv("TZ", zone);
    tzset();
}

} // namespace

class RecordingsCsvTest : public QObject
{
    Q_OBJECT
private slots:
    void readByPython();
    void isoTimeOffset_data();
    void isoTimeOffset();
    void gaps_data();
    void gaps();
};

void RecordingsCsvTest::readByPython()
{
    setZone("XST-8"); // eight hours east of UTC, no summer time
    // The file as written, its duration, and what Python reads: the name,
    // the start and the duration. A lone lead byte, a cut three-byte
    // sequence, an overlong slash and a surrogate are escaped; the valid
    // character after them stays.
    const struct
    {
        QByteArray file;
        qint64 durationMs;
        QString name, start, duration;
    } rows[] = {
        {"cam1/a,b.mp4", 59500, "cam1/a,b.mp4", "2026-12-09T10:04:00+08:00", "59.500"},
        {"cam1/\"a\".mp4", 7, "cam1/\"a\".mp4", "2026-12-09T10:05:00+08:00", "0.007"},
        {"cam1/a\r\nb\n.mp4", -1, "cam1/a\r\nb\n.mp4", "", ""},
        {"前门/录像 1.mp4", 3600000, "前门/录像 1.mp4", "2026-12-09T09:05:00+08:00", "3600.000"},
        {"cam1/\xff\xe5\x89-\xc0\xaf\xed\xa0\x80\xe9\x97\xa8.mp4", -1,
         "cam1/\\xFF\\xE5\\x89-\\xC0\\xAF\\xED\\xA0\\x80门.mp4", "", ""},
    };
    QByteArray csv = csvHeader();
    for (const auto &expected : rows) {
        RecordingRow row;
        row.camera = "cam,1";
        row.file = expected.file;
        row.endSecs = 1796781900; // 2026-12-09T02:05:00Z
        row.durationMs = expected.durationMs;
        row.bytes = 123456789012;
        row.sha256 = QByteArray(31, '\0') + '\xab';
        csv += csvRow(row);
    }
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("recordings.csv"), csv));
    QByteArray output;
    QCOMPARE(run("python3", {"-c", "import csv, json, sys\n"
                                   "with open(sys.argv[1], newline='', encoding='utf-8', errors='strict') as f:\n"
                                   "    print(json.dumps(list(csv.reader(f, strict=True))))\n",
                             dir.filePath("recordings.csv")},
                 &output),
             0);
    const QJsonArray read = QJsonDocument::fromJson(output).array();
    QCOMPARE(read.size(), int(std::size(rows)) + 1);
    QCOMPARE(read.at(0).toVariant().toStringList(), QString("camera,file,start,end,duration_s,bytes,sha256").split(','));
    for (size_t i = 0; i < std::size(rows); ++i)
        QCOMPARE(read.at(int(i) + 1).toVariant().toStringList(),
                 QStringList({"cam,1", rows[i].name, rows[i].start, "2026-12-09T10:05:00+08:00", rows[i].duration,
                              "123456789012", QString(62, '0') + "ab"}));
}

void RecordingsCsvTest::isoTimeOffset_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("msecs");
    QTest::addColumn<QString>("expected");
    const QByteArray central = "CET-1CEST,M3.5.0,M10.5.0/3";
    QTest::newRow("UTC") << QByteArray("UTC0") << qint64(1796781900999) << "2026-12-09T02:05:00+00:00";
    QTest::newRow("west, half hour") << QByteArray("NST3:30") << qint64(1796781900000) << "2026-12-08T22:35:00-03:30";
    QTest::newRow("winter time") << central << qint64(1796781900000) << "2026-12-09T03:05:00+01:00";
    QTest::newRow("summer time") << central << qint64(1781000000000) << "2026-06-09T12:13:20+02:00";
}

void RecordingsCsvTest::isoTimeOffset()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, msecs);
    QFETCH(QString, expected);
    setZone(zone);
    QCOMPARE(isoTime(msecs), expected);
}

void RecordingsCsvTest::gaps_data()
{
    // Each recording is an end in seconds and a duration in ms (-1: unknown).
    QTest::addColumn<QVector<qint64>>("recordings");
    QTest::addColumn<QVector<qint64>>("gaps"); // the first gaps' start and end in seconds, pairwise
    QTest::addColumn<int>("gapCount");
    QTest::addColumn<qint64>("totalMs");
    using V = QVector<qint64>;
    QTest::newRow("exactly 10 s is none") << V{1060, 60000, 1130, 60000} << V{} << 0 << qint64(120000);
    QTest::newRow("11 s") << V{1060, 60000, 1131, 60000} << V{1060, 1071} << 1 << qint64(120000);
    QTest::newRow("unknown duration opens none, its end closes one")
            << V{1060, 60000, 1300, -1, 1360, 60000} << V{} << 0 << qint64(120000);
    QTest::newRow("a long one covers the one before")
            << V{1060, 60000, 1070, 600000, 1200, 60000} << V{1070, 1140} << 1 << qint64(720000);
    V hourly; // 30 one-minute recordings an hour apart: 29 gaps, the first 20 kept
    V first20;
    for (qint64 hour = 1; hour <= 30; ++hour) {
        hourly << hour * 3600 << 60000;
        if (hour <= kGapsKept)
            first20 << hour * 3600 << (hour + 1) * 3600 - 60;
    }
    QTest::newRow("the first 20 of 29") << hourly << first20 << 29 << qint64(30 * 60000);
}

void RecordingsCsvTest::gaps()
{
    QFETCH(QVector<qint64>, recordings);
    QFETCH(QVector<qint64>, gaps);
    QFETCH(int, gapCount);
    QFETCH(qint64, totalMs);
    TimelineBuilder builder;
    for (int i = 0; i < recordings.size(); i += 2)
        builder.add(recordings.at(i), recordings.at(i + 1));
    const CameraTimeline &t = builder.result();
    QVector<qint64> found;
    for (const Gap &gap : t.firstGaps)
        found << gap.startMs / 1000 << gap.endMs / 1000;
    QCOMPARE(found, gaps);
    QCOMPARE(t.gapCount, gapCount);
    QCOMPARE(t.totalMs, totalMs);
    QCOMPARE(t.lastEndMs, recordings.at(recordings.size() - 2) * 1000);
}

QTEST_GUILESS_MAIN(RecordingsCsvTest)
#include "tst_recordingscsv.moc"
