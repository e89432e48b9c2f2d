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
#include "proof/ledger.h"
#include "proof/mp4duration.h"
#include "proof/recipientfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    // ...and the header reads alone, from the same page cache.
    clock.restart();
    qint64 known = 0;
    for (int i = 0; i < ledger.size(); ++i) {
        const Descriptor file(::openat(recordings.get(), ledger.path(i).constData(), O_RDONLY | O_CLOEXEC));
        struct stat st;
        if (file.isValid() && ::fstat(file.get(), &st) == 0 && mp4DurationMs(file.get(), st.st_size) >= 0)
            ++known;
    }
    const qint64 headersMs = clock.elapsed();

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

    std::printf("recordings %d\n", count);
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
