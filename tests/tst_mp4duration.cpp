// The MP4 duration reader against recordings ffmpeg makes (plain, faststart,
// fragmented, cut short), with ffprobe's figure as the truth, and against a
// few hand-made files for what ffmpeg does not write. Needs no root and no
// drive; skips without ffmpeg.
#include "testsupport.h"

#include "proof/mp4duration.h"

#include <QFile>
#include <QStandardPaths>
#include <QTest>
#include <QtEndian>

using namespace TestSupport;

namespace {

QByteArray box(const char *type, const QByteArray &body)
{
    QByteArray header(8, '\0');
    qToBigEndian(quint32(8 + body.size()), header.data());
    memcpy(header.data() + 4, type, 4);
    return header + body;
}

// A version 0 movie header: version and flags, two times, scale, duration.
QByteArray movieHeader(quint32 timescale, quint32 duration)
{
    QByteArray body(20, '\0');
    qToBigEndian(timescale, body.data() + 12);
    qToBigEndian(duration, body.data() + 16);
    return box("mvhd", body + QByteArray(80, '\0'));
}

} // namespace

class Mp4DurationTest : public QObject
{
    Q_OBJECT
private slots:
    void duration_data();
    void duration();
};

void Mp4DurationTest::duration_data()
{
    QTest::addColumn<QString>("ffmpeg");   // ffmpeg's options; empty: `file` as it is
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("keptPercent");
    QTest::addColumn<qint64>("expectedMs"); // -2: what ffprobe says
    const QString fragmented = "-movflags frag_keyframe+empty_moov";
    QTest::newRow("plain") << " " << QByteArray() << 100 << qint64(-2);
    QTest::newRow("faststart") << "-movflags +faststart" << QByteArray() << 100 << qint64(-2);
    QTest::newRow("fragmented") << fragmented << QByteArray() << 100 << qint64(-2);
    QTest::newRow("first fragment in the movie box") << "-movflags frag_keyframe" << QByteArray() << 100 << qint64(-2);
    // The movie box is at the end: cut in half, there is none.
    QTest::newRow("cut before its movie header") << " " << QByteArray() << 50 << qint64(-1);
    // Three fragments of one second; the third is cut.
    QTest::newRow("fragmented, cut in its last fragment") << fragmented << QByteArray() << 80 << qint64(2000);

    const QByteArray ftyp = box("ftyp", "isomiso2");
    const QByteArray largeV1 = QByteArray::fromHex("00000001" "6d6f6f76" "0000000000000088" // moov, 64-bit size
                                                   "00000078" "6d766864" "01000000" // mvhd version 1
                                                   "0000000000000000" "0000000000000000" "00015f90"
                                                   "000000000007128c")
            + QByteArray(80, '\0');
    QTest::newRow("no MP4 at all") << QString() << QByteArray("not a recording at all\n") << 100 << qint64(-1);
    QTest::newRow("time scale zero") << QString() << ftyp + box("moov", movieHeader(0, 1000)) << 100 << qint64(-1);
    QTest::newRow("64-bit sizes and version 1") << QString() << ftyp + largeV1 << 100 << qint64(5150);
    QTest::newRow("movie box cut after its header")
            << QString() << ftyp + box("moov", movieHeader(600, 1800) + QByteArray(4000, '\0')) << 10 << qint64(3000);
}

void Mp4DurationTest::duration()
{
    QFETCH(QString, ffmpeg);
    QFETCH(QByteArray, file);
    QFETCH(int, keptPercent);
    QFETCH(qint64, expectedMs);
    QTemporaryDir dir;
    const QString path = dir.filePath("recording.mp4");
    QByteArray output;
    if (ffmpeg.isEmpty()) {
        QVERIFY(writeFile(path, file));
    } else {
        if (QStandardPaths::findExecutable("ffmpeg").isEmpty() || QStandardPaths::findExecutable("ffprobe").isEmpty())
            QSKIP("ffmpeg and ffprobe are not installed (scripts/install-deps.sh installs them)");
        const QString make = "-v error -y -f lavfi -i testsrc=duration=3:size=160x120:rate=25 -c:v libx264 "
                             "-preset ultrafast -g 25 " + ffmpeg;
        QCOMPARE(run("ffmpeg", make.split(' ', Qt::SkipEmptyParts) << path, &output), 0);
    }
    if (expectedMs == -2) {
        QCOMPARE(run("ffprobe", QString("-v error -show_entries format=duration -of csv=p=0").split(' ') << path, &output),
                 0);
        expectedMs = qRound64(output.trimmed().toDouble() * 1000);
        QVERIFY2(expectedMs > 0, output.constData());
    }
    QFile recording(path);
    QVERIFY(recording.resize(recording.size() * keptPercent / 100) && recording.open(QIODevice::ReadOnly));
    const qint64 ms = mp4DurationMs(recording.handle(), recording.size());
    QVERIFY2(expectedMs < 0 ? ms == expectedMs : qAbs(ms - expectedMs) <= 40,
             qPrintable(QString("%1 ms, not %2").arg(ms).arg(expectedMs)));
}

QTEST_GUILESS_MAIN(Mp4DurationTest)
#include "tst_mp4duration.moc"
