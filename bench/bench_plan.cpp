// Times what 开始复制 does before the fit question: the drive probe and the
// walk of the recordings against the export directory on the drive.
//
//   bench_plan <recordings> <mount point> <export directory> [runs]
//
// Prints the plan's totals and the median wall times in milliseconds of the
// probe and of the walk over `runs` rounds (default 5), one "key value" pair
// per line; the reference is the size count of the same tree (directorySize,
// itself measured against du in bench/dirsize.sh).

#include "recordings/dirsize.h"
#include "device/drivecapabilities.h"
#include "recordings/exportplan.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QTextStream out(stdout);
    if (arguments.size() < 4 || arguments.size() > 5) {
        QTextStream(stderr) << "usage: bench_plan <recordings> <mount point> <export directory> [runs]\n";
        return 2;
    }
    const int runs = arguments.size() == 5 ? qMax(1, arguments.at(4).toInt()) : 5;
    std::vector<double> probe, walk, count;
    ExportPlan plan;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const DriveCapabilities drive = probeDrive(arguments.at(2));
        probe.push_back(timer.nsecsElapsed() / 1e6);
        ExportPlan::Options options;
        options.maxFileSize = drive.maxFileSize;
        timer.restart();
        plan = planExport(arguments.at(1), arguments.at(3), options);
        walk.push_back(timer.nsecsElapsed() / 1e6);
        timer.restart();
        directorySize(arguments.at(1));
        count.push_back(timer.nsecsElapsed() / 1e6);
    }
    out << "files_to_copy " << plan.filesToCopy << '\n'
        << "bytes_to_copy " << plan.bytesToCopy << '\n'
        << "probe_ms " << QString::number(median(probe), 'f', 3) << '\n'
        << "walk_ms " << QString::number(median(walk), 'f', 3) << '\n'
        << "count_ms " << QString::number(median(count), 'f', 3) << '\n'
        << "click_to_question_ms " << QString::number(median(probe) + median(walk), 'f', 3) << '\n';
    return 0;
}
