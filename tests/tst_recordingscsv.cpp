// recordings.csv as Python's csv module reads it back: awkward names (commas,
// quotes, line breaks, Chinese, bytes that are not UTF-8), known and unknown
// durations, and the times' UTC offset in several zones. Needs no root and no
// drive.

#include "testsupport.h"

#include "proof/recordingscsv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <ctime>

using namespace TestSupport;

class RecordingsCsvTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void readByPython_data();
    void readByPython();
    void isoTimeOffset_data();
    void isoTimeOffset();
    void cleanupTestCase();

private:
    void setZone(const QByteArray &zone);
    QTemporaryDir m_dir;
};

void RecordingsCsvTest::setZone(const QByteArray &zone)
{
    qputenv("TZ", zone);
    tzset();
}

void RecordingsCsvTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    setZone("XST-8"); // eight hours east of UTC, no summer time
}

void RecordingsCsvTest::cleanupTestCase()
{
    qunsetenv("TZ");
    tzset();
}

void RecordingsCsvTest::readByPython_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<qint64>("durationMs");
    QTest::addColumn<QString>("fileRead");
    QTest::addColumn<QString>("startRead");
    QTest::addColumn<QString>("durationRead");

    const QString end = QStringLiteral("2026-12-09T10:05:00+08:00");
    const QString minuteBefore = QStringLiteral("2026-12-09T10:04:00+08:00");
    QTest::newRow("plain") << QByteArray("cam1/a.mp4") << qint64(60000) << QStringLiteral("cam1/a.mp4") << minuteBefore
                           << QStringLiteral("60.000");
    QTest::newRow("comma") << QByteArray("cam1/a,b.mp4") << qint64(59500) << QStringLiteral("cam1/a,b.mp4")
                           << minuteBefore << QStringLiteral("59.500");
    QTest::newRow("quotes") << QByteArray("cam1/\"a\".mp4") << qint64(7) << QStringLiteral("cam1/\"a\".mp4") << end
                            << QStringLiteral("0.007");
    QTest::newRow("line breaks") << QByteArray("cam1/a\r\nb\n.mp4") << qint64(-1)
                                 << QStringLiteral("cam1/a\r\nb\n.mp4") << QString() << QString();
    QTest::newRow("Chinese") << QByteArray("前门/录像 1.mp4") << qint64(3600000)
                             << QString::fromUtf8("前门/录像 1.mp4") << QStringLiteral("2026-12-09T09:05:00+08:00")
                             << QStringLiteral("3600.000");
    // A lone lead byte, a cut three-byte sequence, an overlong slash and a
    // surrogate; the valid character after them stays.
    QTest::newRow("not UTF-8") << QByteArray("cam1/\xff\xe5\x89-\xc0\xaf\xed\xa0\x80\xe9\x97\xa8.mp4") << qint64(-1)
                               << QString::fromUtf8("cam1/\\xFF\\xE5\\x89-\\xC0\\xAF\\xED\\xA0\\x80门.mp4") << QString()
                               << QString();
}

void RecordingsCsvTest::readByPython()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, durationMs);
    QFETCH(QString, fileRead);
    QFETCH(QString, startRead);
    QFETCH(QString, durationRead);

    RecordingRow row;
    row.camera = "cam,1";
    row.file = file;
    row.endSecs = 1796781900; // 2026-12-09T02:05:00Z
    row.durationMs = durationMs;
    row.bytes = 123456789012;
    row.sha256 = QByteArray(31, '\0') + '\xab';
    const QString path = m_dir.filePath(QStringLiteral("recordings.csv"));
    QVERIFY(writeFile(path, csvHeader() + csvRow(row) + csvRow(row)));

    QByteArray output;
    const QString script = QStringLiteral(
        "import csv, json, sys\n"
        "with open(sys.argv[1], newline='', encoding='utf-8', errors='strict') as f:\n"
        "    print(json.dumps(list(csv.reader(f, strict=True))))\n");
    QCOMPARE(run(QStringLiteral("python3"), {QStringLiteral("-c"), script, path}, &output), 0);
    const QJsonArray rows = QJsonDocument::fromJson(output).array();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(0).toVariant().toStringList(),
             QStringLiteral("camera,file,start,end,duration_s,bytes,sha256").split(QLatin1Char(',')));
    const QStringList expected{QStringLiteral("cam,1"),          fileRead,
                               startRead,                         QStringLiteral("2026-12-09T10:05:00+08:00"),
                               durationRead,                      QStringLiteral("123456789012"),
                               QString(62, QLatin1Char('0')) + QStringLiteral("ab")};
    QCOMPARE(rows.at(1).toVariant().toStringList(), expected);
    QCOMPARE(rows.at(2).toVariant().toStringList(), expected);
}

void RecordingsCsvTest::isoTimeOffset_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("msecs");
    QTest::addColumn<QString>("expected");

    const QByteArray central = "CET-1CEST,M3.5.0,M10.5.0/3";
    QTest::newRow("UTC") << QByteArray("UTC0") << qint64(1796781900999) << QStringLiteral("2026-12-09T02:05:00+00:00");
    QTest::newRow("east") << QByteArray("XST-8") << qint64(1796781900000)
                          << QStringLiteral("2026-12-09T10:05:00+08:00");
    QTest::newRow("west, half hour") << QByteArray("NST3:30") << qint64(1796781900000)
                                     << QStringLiteral("2026-12-08T22:35:00-03:30");
    QTest::newRow("winter time") << central << qint64(1796781900000) << QStringLiteral("2026-12-09T03:05:00+01:00");
    QTest::newRow("summer time") << central << qint64(1781000000000) << QStringLiteral("2026-06-09T12:13:20+02:00");
}

void RecordingsCsvTest::isoTimeOffset()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, msecs);
    QFETCH(QString, expected);
    setZone(zone);
    const QString time = isoTime(msecs);
    setZone("XST-8");
    QCOMPARE(time, expected);
}

QTEST_GUILESS_MAIN(RecordingsCsvTest)
#include "tst_recordingscsv.moc"
