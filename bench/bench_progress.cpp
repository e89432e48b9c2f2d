// Times the rsync progress parser (SyncManager::parseRsyncProgress) on a
// generated stream shaped like "rsync -av --progress" output for a recordings
// tree.
//
//   bench_progress [runs] [files]
//
// The stream holds, for each of `files` recordings (default 2000), its name
// line, twenty progress reports ending in "\r" and a final 100% report with the
// transfer counter. It is fed in two cuttings a pipe reader may see: 4 KiB
// chunks (a reader that falls behind) and one chunk per report or line (a
// reader that keeps up). Each chunk is decoded from UTF-8 and parsed, as the
// engine does for every read. For each cutting the median of `runs` passes
// (default 7) is printed as "key value" lines: chunks, bytes, matches,
// chunks_per_s and mb_per_s.

#include "sync/syncmanager.h"

#include <QByteArrayList>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

int droppedDebugLines = 0;

// The parser must not log; should it start to, the lines are counted rather
// than written, so that the timing stays about parsing.
void countingHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg) {
        ++droppedDebugLines;
        return;
    }
    QTextStream(stderr) << message << '\n';
}

// A byte count as rsync writes it: "104,857,600".
QByteArray grouped(qint64 bytes)
{
    QByteArray digits = QByteArray::number(bytes);
    for (int i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, ',');
    return digits;
}

QByteArray report(qint64 bytes, int percent, const char *tail)
{
    return '\r' + grouped(bytes).rightJustified(15, ' ') + ' '
        + QByteArray::number(percent).rightJustified(3, ' ') + "%   12.34MB/s    0:00:01" + tail;
}

// Returns the stream cut into one chunk per report or line.
QByteArrayList generateReports(int files)
{
    QByteArrayList pieces{"sending incremental file list\n"};
    const qint64 size = 104857600;   // a 100 MiB recording
    for (int file = 0; file < files; ++file) {
        pieces << QByteArray("2024-05-") + QByteArray::number(1 + file / 200).rightJustified(2, '0') + "/ch"
                + QByteArray::number(file % 16).rightJustified(2, '0') + '/'
                + QByteArray::number(file).rightJustified(6, '0') + ".mp4\n";
        for (int step = 0; step < 20; ++step)
            pieces << report(size * step / 20, step * 5, "  ");
        pieces << report(size, 100, QByteArray(" (xfr#" + QByteArray::number(file + 1) + ", to-chk="
                                               + QByteArray::number(files - file - 1) + '/'
                                               + QByteArray::number(files) + ")\n").constData());
    }
    pieces << "\nsent 209,715,200,000 bytes  received 38,000 bytes  101,234,567.89 bytes/sec\n"
           << "total size is 209,715,200,000  speedup is 1.00\n";
    return pieces;
}

QByteArrayList cut(const QByteArray &stream, int size)
{
    QByteArrayList chunks;
    for (int offset = 0; offset < stream.size(); offset += size)
        chunks << stream.mid(offset, size);
    return chunks;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    bool runsOk = true, filesOk = true;
    const int runs = arguments.size() > 1 ? arguments.at(1).toInt(&runsOk) : 7;
    const int files = arguments.size() > 2 ? arguments.at(2).toInt(&filesOk) : 2000;
    if (arguments.size() > 3 || !runsOk || !filesOk || runs < 1 || files < 1) {
        err << "usage: bench_progress [runs] [files]\n";
        return 2;
    }
    qInstallMessageHandler(countingHandler);

    SyncManager &engine = SyncManager::instance();
    qint64 emitted = 0;
    QObject::connect(&engine, &SyncManager::syncProgress, [&emitted](int) { ++emitted; });

    // The first call builds the parser's regular expression; keep it out of
    // the timings.
    engine.parseRsyncProgress(QStringLiteral("warm-up"));

    const QByteArrayList reports = generateReports(files);
    const QByteArray stream = reports.join();
    const QList<QPair<QString, QByteArrayList>> cuttings{{QStringLiteral("4k"), cut(stream, 4096)},
                                                         {QStringLiteral("report"), reports}};
    out << "files " << files << '\n' << "stream_bytes " << stream.size() << '\n';
    for (const auto &cutting : cuttings) {
        const QByteArrayList &chunks = cutting.second;
        std::vector<double> seconds;
        qint64 matches = 0;
        for (int run = 0; run < runs; ++run) {
            emitted = 0;
            QElapsedTimer timer;
            timer.start();
            for (const QByteArray &chunk : chunks)
                engine.parseRsyncProgress(QString::fromUtf8(chunk));
            seconds.push_back(timer.nsecsElapsed() / 1e9);
            matches = emitted;
        }
        std::sort(seconds.begin(), seconds.end());
        const double median = runs % 2 ? seconds[runs / 2] : (seconds[runs / 2 - 1] + seconds[runs / 2]) / 2;
        const QString key = cutting.first + QLatin1Char('_');
        out << key << "chunks " << chunks.size() << '\n'
            << key << "matches " << matches << '\n'
            << key << "median_ms " << QString::number(median * 1e3, 'f', 3) << '\n'
            << key << "chunks_per_s " << QString::number(chunks.size() / median, 'f', 0) << '\n'
            << key << "mb_per_s " << QString::number(stream.size() / median / 1e6, 'f', 1) << '\n';
    }
    out << "debug_lines_dropped " << droppedDebugLines << '\n';
    return 0;
}
