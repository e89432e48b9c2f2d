// The MP4 duration reader against recordings ffmpeg makes (plain, faststart,
// fragmented, cut short) with ffprobe's figure as the truth, and against small
// hand-made files for what ffmpeg does not write. Needs no root and no drive;
// skips the ffmpeg part when ffmpeg is not installed.

#include "testsupport.h"

#include "proof/mp4duration.h"

#include <QFile>
#include <QStandardPaths>
#include <QTest>
#include <QtEndian>

#include <fcntl.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

QByteArray box(const char *type, const QByteArray &body)
{
    QByteArray header(8, '\0');
    qToBigEndian(quint32(8 + body.size()), header.data());
    memcpy(header.data() + 4, type, 4);
    return header + body;
}

// A version 0 movie header: four zero bytes of version and flags, two times.
QByteArray movieHeader(quint32 timescale, quint32 duration)
{
    QByteArray body(12, '\0');
    body.resize(20);
    qToBigEndian(timescale, body.data() + 12);
    qToBigEndian(duration, body.data() + 16);
    return box("mvhd", body + QByteArray(80, '\0'));
}

qint64 durationOf(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -2;
    const qint64 ms = mp4DurationMs(fd, qint64(::lseek(fd, 0, SEEK_END)));
    ::close(fd);
    return ms;
}

} // namespace

class Mp4DurationTest : public QObject
{
    Q_OBJECT
private slots:
    void ffmpegRecordings_data();
    void ffmpegRecordings();
    void handMade_data();
    void handMade();

private:
    QTemporaryDir m_dir;
};

void Mp4DurationTest::ffmpegRecordings_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("keptPercent");
    QTest::addColumn<qint64>("expectedMs"); // -2: what ffprobe says

    const QStringList fragmented = QStringLiteral("-movflags frag_keyframe+empty_moov").split(QLatin1Char(' '));
    QTest::newRow("plain") << QStringList() << 100 << qint64(-2);
    QTest::newRow("faststart") << QStringLiteral("-movflags +faststart").split(QLatin1Char(' ')) << 100 << qint64(-2);
    QTest::newRow("fragmented") << fragmented << 100 << qint64(-2);
    QTest::newRow("first fragment in the movie box")
        << QStringLiteral("-movflags frag_keyframe").split(QLatin1Char(' ')) << 100 << qint64(-2);
    // The movie box is at the end: cut in half, there is none.
    QTest::newRow("cut before its movie header") << QStringList() << 50 << qint64(-1);
    // Three fragments of one second; the third is cut.
    QTest::newRow("fragmented, cut in its last fragment") << fragmented << 80 << qint64(2000);
}

void Mp4DurationTest::ffmpegRecordings()
{
    QFETCH(QStringList, options);
    QFETCH(int, keptPercent);
    QFETCH(qint64, expectedMs);
    if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("ffprobe")).isEmpty())
        QSKIP("ffmpeg and ffprobe are not installed (scripts/install-deps.sh installs them)");
    QVERIFY(m_dir.isValid());

    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + QStringLiteral(".mp4"));
    const QString space = QStringLiteral(" ");
    const QStringList make = QStringLiteral("-v error -y -f lavfi -i testsrc=duration=3:size=160x120:rate=25 "
                                            "-c:v libx264 -preset ultrafast -g 25").split(space);
    QByteArray output;
    QCOMPARE(run(QStringLiteral("ffmpeg"), make + options + QStringList{path}, &output), 0);
    if (expectedMs == -2) {
        const QStringList probe = QStringLiteral("-v error -show_entries format=duration -of csv=p=0").split(space);
        QCOMPARE(run(QStringLiteral("ffprobe"), probe + QStringList{path}, &output), 0);
        bool ok = false;
        expectedMs = qRound64(output.trimmed().toDouble(&ok) * 1000);
        QVERIFY2(ok, output.constData());
    }
    QFile file(path);
    QVERIFY(file.resize(file.size() * keptPercent / 100));

    const qint64 ms = durationOf(path);
    if (expectedMs < 0)
        QCOMPARE(ms, expectedMs);
    else
        QVERIFY2(qAbs(ms - expectedMs) <= 40, qPrintable(QStringLiteral("%1 ms, not %2").arg(ms).arg(expectedMs)));
}

void Mp4DurationTest::handMade_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<qint64>("expectedMs");

    const QByteArray ftyp = box("ftyp", "isomiso2");
    QByteArray largeV1 = QByteArray::fromHex("00000001" "6d6f6f76" "0000000000000088" // moov, 64-bit size
                                             "00000078" "6d766864" "01000000" // mvhd version 1
                                             "0000000000000000" "0000000000000000" "00015f90" "000000000007128c");
    largeV1 += QByteArray(80, '\0');
    QTest::newRow("empty") << QByteArray() << qint64(-1);
    QTest::newRow("text") << QByteArray("not a recording at all\n") << qint64(-1);
    QTest::newRow("boxes but no movie box") << ftyp + box("mdat", QByteArray(100, 'x')) << qint64(-1);
    QTest::newRow("time scale zero") << ftyp + box("moov", movieHeader(0, 1000)) << qint64(-1);
    QTest::newRow("duration marked unknown") << ftyp + box("moov", movieHeader(1000, 0xffffffff)) << qint64(-1);
    QTest::newRow("rounded to the millisecond") << ftyp + box("moov", movieHeader(3, 5)) << qint64(1667);
    QTest::newRow("64-bit sizes and version 1") << ftyp + largeV1 << qint64(5150);
    QTest::newRow("movie box cut after its header")
        << ftyp + box("moov", movieHeader(600, 1800) + QByteArray(4000, '\0')).left(200) << qint64(3000);
    QTest::newRow("media data to the end, then nothing") << ftyp + QByteArray::fromHex("000000006d646174") + "xyz"
                                                         << qint64(-1);
}

void Mp4DurationTest::handMade()
{
    QFETCH(QByteArray, file);
    QFETCH(qint64, expectedMs);
    const ReadAt readAt = [&](qint64 offset, char *buffer, qint64 size) {
        const QByteArray part = file.mid(int(offset), int(size));
        memcpy(buffer, part.constData(), size_t(part.size()));
        return qint64(part.size());
    };
    QCOMPARE(mp4DurationMs(readAt, file.size()), expectedMs);
}

QTEST_GUILESS_MAIN(Mp4DurationTest)
#include "tst_mp4duration.moc"
