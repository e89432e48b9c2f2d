// Writes an export's index.html for a given number of recordings, spread over
// cameras like a recorder's (15-minute files, a 2-minute gap now and then),
// into a directory, and prints how long writing took, the page's size and
// the process's peak memory. bench/page-open.sh then opens the pages in
// headless Chromium.
//
//   bench_page DIR RECORDINGS [CAMERAS]

#include "proof/exportpage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: bench_page DIR RECORDINGS [CAMERAS]\n");
        return 2;
    }
    const int recordings = args.at(2).toInt();
    const int cameras = args.size() > 3 ? std::max(1, args.at(3).toInt()) : 16;
    QFile page(args.at(1) + QStringLiteral("/index.html"));
    if (recordings < 0 || !page.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(page.fileName()));
        return 1;
    }

    QElapsedTimer timer;
    timer.start();
    ExportPageWriter writer([&page](const QByteArray &bytes) { return page.write(bytes) == bytes.size(); });
    const qint64 base = QDateTime(QDate(2026, 12, 1), QTime(0, 0), Qt::OffsetFromUTC, 8 * 3600).toMSecsSinceEpoch();
    const qint64 fileMs = qint64(15) * 60 * 1000;
    const int perCamera = (recordings + cameras - 1) / cameras;
    const qint64 spanEnd = base + qint64(perCamera) * fileMs + 3600 * qint64(1000);
    writer.begin({QStringLiteral("rec01"), QStringLiteral("2026-12-01 00:00 – (+08:00)"),
                  QStringLiteral("2026-12-31T12:00:00+08:00"), QStringLiteral("全部正确 all files match"),
                  QStringLiteral("SHA256:0123456789abcdefghijklmnopqrstuvwxyzABCDEFG"), QString(), 8 * 3600});
    int written = 0;
    for (int c = 0; c < cameras && written < recordings; ++c) {
        const QByteArray camera = "ch" + QByteArray::number(c + 1).rightJustified(2, '0');
        writer.beginCamera(camera, base, spanEnd);
        std::vector<Gap> gaps;
        int gapCount = 0;
        qint64 start = base;
        for (int i = 0; i < perCamera && written < recordings; ++i, ++written) {
            if (i > 0 && i % 97 == 0) {
                if (gaps.size() < 20)
                    gaps.push_back({start, start + 120000});
                ++gapCount;
                start += 120000;
            }
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(start, Qt::OffsetFromUTC, 8 * 3600);
            const QByteArray file = camera + '/' + at.toString(QStringLiteral("yyyyMMdd")).toUtf8() + '/'
                + at.toString(QStringLiteral("HHmmss")).toUtf8() + ".mp4";
            writer.recording({file, start, start + fileMs, fileMs, 52428800});
            start += fileMs;
        }
        writer.endCamera(gaps, gapCount);
    }
    const bool ok = writer.end();
    page.close();
    const qint64 elapsed = timer.elapsed();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("recordings %d  page %lld bytes  written in %lld ms  peak RSS %ld KiB\n", written,
                static_cast<long long>(page.size()), static_cast<long long>(elapsed), usage.ru_maxrss);
    return ok ? 0 : 1;
}
