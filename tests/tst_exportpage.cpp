// The export's index.html in a real browser: Debian's headless Chromium opens
// a page written for a small export directory of real H.264 recordings made
// by ffmpeg, plays them in the page's player and shows the timeline. Needs no
// root and no drive; skips without chromium, ffmpeg or ffprobe.

#include "testsupport.h"

#include "proof/exportpage.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace TestSupport;

namespace {

const qint64 kBase = QDateTime(QDate(2026, 12, 9), QTime(10, 0), Qt::OffsetFromUTC, 8 * 3600).toMSecsSinceEpoch();

// What the export holds, in the page's order: camera, file, start and end
// (seconds after 10:00), length of the H.264 recording ffmpeg makes (0: a
// file that is no video at all). The third starts after a gap of almost five
// minutes; the fourth's name is not UTF-8.
struct Planted
{
    const char *camera;
    QByteArray file;
    int start;
    int end;
    int seconds;
};
const Planted kPlanted[] = {
    {"前门 Front", "前门 Front/0001.mp4", 0, 2, 2},
    {"前门 Front", "前门 Front/a <b> & #1 ?.mp4", 2, 5, 3},
    {"前门 Front", "前门 Front/\xff\xfe raw.mp4", 295, 297, 2},
    {"cam2", "cam2/broken.mp4", 0, 0, 0},
};

QString attribute(const QByteArray &element, const char *name)
{
    const auto match = QRegularExpression(QLatin1String(name) + QStringLiteral("=\"([^\"]*)\""))
                           .match(QString::fromUtf8(element));
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace

class ExportPageTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void pageStaysInItsDirectory();
    void play_data();
    void play();
    void timeline_data();
    void timeline();

private:
    QByteArray open(const QString &fragment, const QString &netLog = QString());
    QByteArray openSettled(const QString &fragment, const QString &netLog = QString());

    QTemporaryDir m_tmp;
    QString m_dir;
    double m_probed[std::size(kPlanted)] = {}; // ffprobe's durations
};

void ExportPageTest::initTestCase()
{
    for (const char *tool : {"chromium", "ffmpeg", "ffprobe"}) {
        if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }
    QVERIFY(m_tmp.isValid());
    m_dir = m_tmp.filePath(QStringLiteral("rec01"));
    for (const Planted &p : kPlanted) {
        const QByteArray path = QFile::encodeName(m_dir) + '/' + p.file;
        QVERIFY(QDir().mkpath(m_dir + QLatin1Char('/') + QString::fromUtf8(p.camera)));
        if (p.seconds == 0) {
            QVERIFY(writeFile(QFile::decodeName(path), QByteArray(4096, 'x')));
            continue;
        }
        // ffmpeg takes its output name as text; the odd names are given by rename().
        const QString made = m_tmp.filePath("made.mp4");
        QByteArray output;
        QVERIFY2(run("ffmpeg", QString("-loglevel error -y -f lavfi -i testsrc=duration=%1:size=160x120:rate=25 -c:v "
                                       "libx264 -preset ultrafast -pix_fmt yuv420p")
                                       .arg(p.seconds)
                                       .split(' ')
                                       << made,
                     &output) == 0,
                 output.constData());
        QByteArray probed;
        QCOMPARE(run("ffprobe", QString("-v error -show_entries format=duration -of default=nw=1:nk=1").split(' ') << made,
                     &probed),
                 0);
        m_probed[&p - kPlanted] = probed.trimmed().toDouble();
        QCOMPARE(std::rename(QFile::encodeName(made).constData(), path.constData()), 0);
    }

    QFile page(m_dir + QStringLiteral("/index.html"));
    QVERIFY(page.open(QIODevice::WriteOnly));
    ExportPageWriter writer([&page](const QByteArray &bytes) { return page.write(bytes) == bytes.size(); });
    writer.begin({QStringLiteral("rec01"), QStringLiteral("2026-12-09 10:00 – 10:10 (+08:00)"),
                  QStringLiteral("2026-12-09T11:00:00+08:00"), QStringLiteral("全部正确 all files match"),
                  QStringLiteral("SHA256:abc"), QString(), 8 * 3600});
    const char *camera = nullptr;
    for (const Planted &p : kPlanted) {
        if (!camera || qstrcmp(camera, p.camera) != 0) {
            if (camera)
                writer.endCamera({{kBase + 5000, kBase + 295000}}, 1);
            camera = p.camera;
            writer.beginCamera(camera, kBase, kBase + 600000);
        }
        writer.recording({p.file, kBase + p.start * qint64(1000), kBase + p.end * qint64(1000),
                          p.seconds ? (p.end - p.start) * qint64(1000) : -1, 4096});
    }
    writer.endCamera({}, 0);
    QVERIFY(writer.end());
}

// QTemporaryDir cannot name a file whose name is not UTF-8 to remove it.
void ExportPageTest::cleanupTestCase()
{
    for (const Planted &p : kPlanted)
        ::unlink(QByteArray(QFile::encodeName(m_dir) + '/' + p.file).constData());
}

QByteArray ExportPageTest::open(const QString &fragment, const QString &netLog)
{
    QTemporaryDir profile;
    QStringList arguments = QString("--headless --no-sandbox --disable-gpu --disable-background-networking "
                                    "--disable-component-update --disable-sync --no-first-run --mute-audio "
                                    "--autoplay-policy=no-user-gesture-required --virtual-time-budget=4000")
                                    .split(' ')
            << "--user-data-dir=" + profile.path();
    if (!netLog.isEmpty())
        arguments << QStringLiteral("--log-net-log=") + netLog;
    const QUrl url = QUrl::fromLocalFile(m_dir + QStringLiteral("/index.html"));
    arguments << QStringLiteral("--dump-dom") << url.toString() + fragment;
    // Only the page on stdout: Chromium talks about D-Bus on stderr.
    QProcess chromium;
    chromium.setStandardErrorFile(QProcess::nullDevice());
    chromium.start(QStringLiteral("chromium"), arguments);
    if (!chromium.waitForFinished(60000)) {
        chromium.kill();
        chromium.waitForFinished(5000);
        return QByteArray();
    }
    return chromium.exitStatus() == QProcess::NormalExit && chromium.exitCode() == 0 ? chromium.readAllStandardOutput()
                                                                                     : QByteArray();
}

// Virtual time runs ahead of the media threads on a busy machine, and the
// page may be dumped while the player still loads: a run that has not come
// to playing or to an error is repeated a few times.
QByteArray ExportPageTest::openSettled(const QString &fragment, const QString &netLog)
{
    QByteArray dom;
    for (int attempt = 0; attempt < 4; ++attempt) {
        dom = open(fragment, netLog);
        if (dom.contains("data-state=\"playing\"") || dom.contains("data-state=\"error\""))
            break;
    }
    return dom;
}

// The page asks for nothing on the network (the browser's own background
// requests carry no origin and are not the page's), each of its links is
// relative and opens a file of the export directory, and names are text.
void ExportPageTest::pageStaysInItsDirectory()
{
    const QString netLog = m_tmp.filePath(QStringLiteral("net.json"));
    const QByteArray dom = openSettled(QStringLiteral("#play=1"), netLog);
    QVERIFY(dom.contains("data-state=\"playing\""));

    const QJsonObject log = QJsonDocument::fromJson(readFile(netLog)).object();
    const int startJob = log.value(QStringLiteral("constants")).toObject().value(QStringLiteral("logEventTypes"))
                             .toObject().value(QStringLiteral("URL_REQUEST_START_JOB")).toInt(-1);
    QVERIFY(startJob >= 0);
    for (const QJsonValue event : log.value(QStringLiteral("events")).toArray()) {
        const QJsonObject params = event.toObject().value(QStringLiteral("params")).toObject();
        if (event.toObject().value(QStringLiteral("type")).toInt() == startJob && params.contains(QStringLiteral("url")))
            QVERIFY2(params.value(QStringLiteral("initiator")).toString() == QLatin1String("not an origin"),
                     qPrintable(params.value(QStringLiteral("url")).toString()));
    }

    // The name with markup in it is shown as text, nowhere as an element.
    const QByteArray calm = open(QString());
    QVERIFY(!calm.contains(" src="));
    QVERIFY(calm.contains("a &lt;b&gt; &amp; #1 ?.mp4</a>") && !calm.contains("<b>"));
    QRegularExpressionMatchIterator links = QRegularExpression(QStringLiteral("href=\"([^\"]*)\""))
                                                .globalMatch(QString::fromUtf8(calm));
    int count = 0;
    for (; links.hasNext(); ++count) {
        const QByteArray href = links.next().captured(1).toUtf8();
        QVERIFY2(!href.contains(':') && !href.startsWith('/') && !href.contains(".."), href.constData());
        struct stat st;
        const QByteArray path = QFile::encodeName(m_dir) + '/' + QByteArray::fromPercentEncoding(href);
        QVERIFY2(::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode), href.constData());
    }
    QCOMPARE(count, int(std::size(kPlanted)));
}

void ExportPageTest::play_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(std::size(kPlanted)); ++i)
        QTest::newRow(kPlanted[i].file.constData()) << i;
}

// Each recording plays from its link, for as long as ffprobe says it lasts;
// one that is no video leaves the player in error and names VLC.
void ExportPageTest::play()
{
    QFETCH(int, index);
    const QByteArray dom = openSettled(QStringLiteral("#play=%1").arg(index));
    const QByteArray player = QRegularExpression(QStringLiteral("<video id=\"player\"[^>]*>"))
                                  .match(QString::fromUtf8(dom)).captured(0).toUtf8();
    QVERIFY2(!player.isEmpty(), dom.constData());
    QCOMPARE(attribute(player, "data-index"), QString::number(index));
    QCOMPARE(QByteArray::fromPercentEncoding(attribute(player, "src").toUtf8()), kPlanted[index].file);
    const QByteArray note = QRegularExpression(QStringLiteral("<p id=\"note\"[^>]*>")).match(QString::fromUtf8(dom))
                                .captured(0).toUtf8();
    if (kPlanted[index].seconds == 0) {
        QCOMPARE(attribute(player, "data-state"), QStringLiteral("error"));
        QVERIFY(!attribute(player, "data-error").isEmpty());
        QVERIFY(!note.contains("hidden") && dom.contains("VLC"));
        return;
    }
    QCOMPARE(attribute(player, "data-state"), QStringLiteral("playing"));
    QVERIFY(note.contains("hidden"));
    QVERIFY2(m_probed[index] > 1 && qAbs(attribute(player, "data-duration").toDouble() - m_probed[index]) < 0.05,
             player.constData());
}

void ExportPageTest::timeline_data()
{
    QTest::addColumn<qint64>("at");
    QTest::addColumn<int>("index");
    QTest::addColumn<double>("from");
    QTest::newRow("inside the second recording") << kBase + 3500 << 1 << 1.5;
    QTest::newRow("in the gap: the next recording") << kBase + 100000 << 2 << 0.0;
}

// The planted gap is marked with its times and left out of the covered
// stretches; a moment chosen on the bar plays the recording that holds it.
void ExportPageTest::timeline()
{
    QFETCH(qint64, at);
    QFETCH(int, index);
    QFETCH(double, from);
    const QString dom = QString::fromUtf8(openSettled(QStringLiteral("#at=0:%1").arg(at)));
    QVERIFY(dom.contains(QStringLiteral("<b data-s=\"%1\" data-e=\"%2\"").arg(kBase + 5000).arg(kBase + 295000)));
    QRegularExpressionMatchIterator covered = QRegularExpression(QStringLiteral("<i data-s=\"(\\d+)\" data-e=\"(\\d+)\""))
                                                  .globalMatch(dom);
    int stretches = 0;
    for (; covered.hasNext(); ++stretches) {
        const auto match = covered.next();
        QVERIFY(match.captured(2).toLongLong() <= kBase + 5000 || match.captured(1).toLongLong() >= kBase + 295000);
    }
    QCOMPARE(stretches, 2);

    const QByteArray player = QRegularExpression(QStringLiteral("<video id=\"player\"[^>]*>")).match(dom)
                                  .captured(0).toUtf8();
    QCOMPARE(attribute(player, "data-index"), QString::number(index));
    QVERIFY2(qAbs(attribute(player, "data-from").toDouble() - from) < 0.001, player.constData());
    QCOMPARE(attribute(player, "data-state"), QStringLiteral("playing"));
}

QTEST_GUILESS_MAIN(ExportPageTest)
#include "tst_exportpage.moc"
