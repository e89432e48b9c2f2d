// What the recipient's files cost an export, side by side with bare rsync of
// the same tree in the same run: the MP4 header read of every recording (done
// by the hasher right after it has hashed the recording, from the page
// cache), and the writing of recordings.csv, index.html, the record and
// SHA256SUMS, with the peak memory that writing adds.
//
//   bench_recipient <work dir> [recordings, default 46080]
//
// The recordings are copies of one small real H.264 MP4 (ffmpeg, 2 s) in 16
// camera folders; <work dir> should be on the disk whose speed matters.
// Prints "key value" lines.
#include "platform/descriptor.h"
#include "proof/exportpage.h"
#include "proof/ledger.h"
#include "proof/mp4duration.h"
#include "platform/sha256.h"
#include "proof/recipientfiles.h"
#include "proof/signing.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 vmHwmKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_recipient <work dir> [recordings]\n");
        return 2;
    }
    const QString work = QString::fromLocal8Bit(argv[1]);
    const int count = argc > 2 ? std::atoi(argv[2]) : 46080;
    const QString source = work + QStringLiteral("/record");
    const QString target = work + QStringLiteral("/stick/rec01");
    QDir(work).removeRecursively();
    QDir().mkpath(source);
    const QString clip = work + QStringLiteral("/clip.mp4");
    if (!run(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
                                        QStringLiteral("lavfi"), QStringLiteral("-i"),
                                        QStringLiteral("testsrc=duration=2:size=64x48:rate=5"), QStringLiteral("-c:v"),
                                        QStringLiteral("libx264"), QStringLiteral("-preset"),
                                        QStringLiteral("ultrafast"), QStringLiteral("-pix_fmt"),
                                        QStringLiteral("yuv420p"), clip})) {
        std::fprintf(stderr, "bench_recipient: ffmpeg failed\n");
        return 1;
    }
    QFile clipFile(clip);
    clipFile.open(QIODevice::ReadOnly);
    const QByteArray bytes = clipFile.readAll();
    ExportLedger ledger;
    QStringList cameras;
    for (int camera = 0; camera < 16; ++camera)
        cameras << QStringLiteral("ch%1").arg(camera + 1, 2, 10, QLatin1Char('0'));
    ledger.setCameras(cameras);
    const qint64 base = 1765000000;
    for (int i = 0; i < count; ++i) {
        const int camera = i % 16;
        const QString relative = QStringLiteral("%1/%2.mp4").arg(cameras.at(camera)).arg(i / 16, 6, 10, QLatin1Char('0'));
        QFile file(source + QLatin1Char('/') + relative);
        QDir().mkpath(source + QLatin1Char('/') + cameras.at(camera));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return 1;
        file.setFileTime(QDateTime::fromSecsSinceEpoch(base + (i / 16) * 2), QFileDevice::FileModificationTime);
        file.close();
        struct stat st;
        ::stat(QFile::encodeName(file.fileName()).constData(), &st);
        ledger.add(relative.toStdString(), camera, st);
    }
    ledger.sort();
    ::sync();

    // The reference: bare rsync of the same tree.
    QDir().mkpath(target);
    QElapsedTimer clock;
    clock.start();
    run(QStringLiteral("rsync"), {QStringLiteral("-a"), source + QLatin1Char('/'), target});
    const qint64 rsyncMs = clock.elapsed();

    // The hasher's work as the export does it, the header read included...
    const Descriptor recordings(::open(QFile::encodeName(source).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::atomic<bool> cancelled{false};
    clock.restart();
    for (int i = 0; i < ledger.size(); ++i)
        ledger.hashSource(recordings.get(), ledger.path(i), cancelled);
    const qint64 hashMs = clock.elapsed();
    // ...and the header reads alone, as the hasher makes them: from the
    // recording's bytes it has just read.
    qint64 known = 0;
    qint64 headersNs = 0;
    QElapsedTimer parse;
    for (int i = 0; i < ledger.size(); ++i) {
        const QByteArray content = readFile(source + QLatin1Char('/') + QFile::decodeName(ledger.path(i)));
        parse.start();
        const qint64 size = content.size();
        const qint64 duration = mp4DurationMs(
                [&content, size](qint64 offset, char *buffer, qint64 want) -> qint64 {
                    const qint64 n = qBound<qint64>(0, qMin(want, size - offset), size);
                    std::memcpy(buffer, content.constData() + offset, size_t(n));
                    return n;
                },
                size);
        headersNs += parse.nsecsElapsed();
        known += duration >= 0 ? 1 : 0;
    }
    const qint64 headersMs = headersNs / 1000000;
    for (int i = 0; i < ledger.size(); ++i)
        known -= ledger.entry(i).durationMs >= 0 ? 0 : 1;

    // The files for the recipient, unsigned, onto the copy.
    const qint64 hwmBefore = vmHwmKiB();
    const Descriptor dir(::open(QFile::encodeName(target).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ExportRecord record;
    record.hostname = QStringLiteral("rec01");
    record.start = record.end = QDateTime::currentDateTime();
    clock.restart();
    const RecipientFiles files = writeRecipientFiles(dir.get(), ledger, record, QStringLiteral("/nonexistent"));
    const qint64 recipientMs = clock.elapsed();
    const qint64 hwmAfter = vmHwmKiB();

    // The page alone, the same rows into nowhere.
    clock.restart();
    {
        qint64 written = 0;
        ExportPageWriter page([&written](const QByteArray &piece) {
            written += piece.size();
            return true;
        });
        page.begin(PageHeader());
        const std::vector<int> order = recordingOrder(ledger);
        int current = -1;
        for (const int i : order) {
            const int slot = cameraSlot(ledger, i);
            if (slot != current) {
                if (current >= 0)
                    page.endCamera({}, 0);
                current = slot;
                page.beginCamera(ledger.cameras().value(slot - 1).toUtf8(), base * 1000, (base + count) * 1000);
            }
            PageRecording recording;
            recording.file = ledger.path(i);
            recording.endMs = ledger.entry(i).mtime * 1000;
            recording.durationMs = ledger.entry(i).durationMs;
            recording.startMs = recording.endMs - qMax<qint64>(0, recording.durationMs);
            recording.bytes = ledger.entry(i).size;
            page.recording(recording);
        }
        page.endCamera({}, 0);
        page.end();
    }
    const qint64 pageMs = clock.elapsed();

    // Signing: the key read, SHA-512 over SHA256SUMS as it is written (here
    // over the one written above), and the Ed25519 signature.
    const QString key = work + QStringLiteral("/key");
    run(QStringLiteral("openssl"), {QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("ed25519"),
                                    QStringLiteral("-out"), key});
    QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner);
    const QByteArray sums = readFile(target + QStringLiteral("/SHA256SUMS"));
    clock.restart();
    Sha512 sha512;
    sha512.update(sums);
    const Signing::Signature signature = Signing::signDigest(key, sha512.finish());
    const qint64 signMs = clock.elapsed();

    std::printf("recordings %d\n", count);
    std::printf("sign_ms %lld (SHA256SUMS of %lld KiB, %s)\n", signMs, qint64(sums.size() / 1024),
                signature.armored.isEmpty() ? "failed" : "signed");
    std::printf("page_ms %lld\n", pageMs);
    std::printf("page_vs_rsync_percent %.2f\n", 100.0 * double(pageMs) / double(qMax<qint64>(1, rsyncMs)));
    std::printf("durations_known %lld\n", known);
    std::printf("rsync_ms %lld\n", rsyncMs);
    std::printf("hash_ms %lld\n", hashMs);
    std::printf("headers_ms %lld\n", headersMs);
    std::printf("headers_vs_rsync_percent %.2f\n", 100.0 * double(headersMs) / double(qMax<qint64>(1, rsyncMs)));
    std::printf("recipient_files_ms %lld\n", recipientMs);
    std::printf("recipient_files_vs_rsync_percent %.2f\n", 100.0 * double(recipientMs) / double(qMax<qint64>(1, rsyncMs)));
    std::printf("page_kib %lld\n", QFileInfo(target + QStringLiteral("/index.html")).size() / 1024);
    std::printf("vmhwm_before_kib %lld\n", hwmBefore);
    std::printf("vmhwm_growth_kib %lld\n", hwmAfter - hwmBefore);
    std::printf("problem %s\n", files.problem.isEmpty() ? "none" : qPrintable(files.problem));
    QDir(work).removeRecursively();
    return 0;
}
