// Times the count the window runs when a drive is mounted, countRecordings()
// with its index by camera and time, over a directory tree (never cancelled
// here, and with no export directory on a drive to compare with).
//
//   bench_dirsize <tree> [runs]
//
// Prints the total the count found and the median wall time of `runs` counts
// (default 5) in milliseconds, one "key value" pair per line, for
// bench/dirsize.sh to read.

#include "recordings/dirsize.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <atomic>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (arguments.size() < 2 || arguments.size() > 3) {
        err << "usage: bench_dirsize <tree> [runs]\n";
        return 2;
    }
    const QString tree = arguments.at(1);
    bool ok = true;
    const int runs = arguments.size() == 3 ? arguments.at(2).toInt(&ok) : 5;
    if (!ok || runs < 1) {
        err << "bench_dirsize: runs must be a positive number\n";
        return 2;
    }

    qint64 total = -1;
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const std::atomic<bool> cancelled{false};
        const qint64 size = countRecordings(tree, QString(), ExportPlan::Options(), 0, cancelled).totalBytes;
        times.push_back(timer.nsecsElapsed() / 1e6);
        if (total != -1 && size != total) {
            err << "bench_dirsize: the total changed between runs: " << total << " then " << size << '\n';
            return 1;
        }
        total = size;
    }
    std::sort(times.begin(), times.end());
    const double median = runs % 2 ? times[runs / 2] : (times[runs / 2 - 1] + times[runs / 2]) / 2;
    out << "total " << total << '\n' << "median_ms " << QString::number(median, 'f', 3) << '\n';
    return 0;
}
