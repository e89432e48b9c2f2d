// Times a whole export by the tool, inside this process: the real window, the
// real drive manager and the real copy engine, driven the way a user drives
// them, on a drive that bench/run-all.sh prepares.
//
//   bench_export <device> [--second]
//
// <device> is the kernel name of a freshly made drive ("loop3"). The window
// gets the device's "add" event, which mounts it and counts the recordings;
// then the start button is clicked and the clock runs until the copy engine
// reports success, which it does only after the drive has been flushed. The
// read-back of the stick that follows is timed apart (exportN_verify_ms, with
// this process's CPU in it, exportN_verify_self_cpu_ms). With
// --second a second export to the same drive follows (nothing left to copy).
// The drive is unmounted at the end.
//
// Must run inside tests/sandbox.sh, where /etc/orveld, /etc/zlmedia and
// /media/zozadoz belong to the sandbox: bench/run-all.sh writes the
// configuration there that points the tool at the generated recordings.
//
// Prints "key value" lines for each export N (1, 2): exportN_ms (wall time
// from the click to the flushed success), exportN_flush_ms (the last part of
// it: from the start of "sync -f" to the success), exportN_self_cpu_ms (this
// process: the window, the output parsing, the logging), exportN_child_cpu_ms
// (rsync and "sync -f"), exportN_progress (batches of rsync output read), and at
// the end maxrss_kib (this process's peak resident size) and child_maxrss_kib
// (the largest child's, which includes this process's size at the fork).
// Window updates of each export: exportN_updates (batches of rsync output the
// window was given, each one a new value for the bar and a new progress line),
// exportN_updates_max_per_s (the most in any one second from the click, the
// last partial second included), exportN_updates_avg_per_s (over the whole
// export), exportN_repaints (paint events of the bar and the progress line).

#include "config/settings.h"
#include "device/devicemanager.h"
#include "platform/backgroundjob.h"
#include "export/exportsession.h"
#include "sync/syncmanager.h"
#include "ui/mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <map>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double cpuMs(const struct rusage &usage)
{
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

struct Usage {
    double self = 0;
    double children = 0;
};

Usage usageNow()
{
    struct rusage self {};
    struct rusage children {};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    return {cpuMs(self), cpuMs(children)};
}

// rsync's helpers could outlive its main process; as the subreaper of this
// process's descendants the bench takes them in here, so that their CPU time
// counts as rsync's. Only called while the copy engine has no child running.
void reapOrphans()
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 5000) {
        const pid_t pid = ::waitpid(-1, nullptr, WNOHANG);
        if (pid < 0 && errno == ECHILD)
            return;
        if (pid == 0)
            ::usleep(10000);
    }
}

// The copy engine logs the start of its flush; the moment is kept so that
// the flush's share of an export can be told.
QElapsedTimer exportClock;
qint64 flushStartedNs = -1;
QtMessageHandler chainedHandler = nullptr;

void noteFlush(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QStringLiteral("正在写入U盘缓存:")) && exportClock.isValid())
        flushStartedNs = exportClock.nsecsElapsed();
    chainedHandler(type, context, message);
}

QString text(const MainWindow &window, const char *name)
{
    const auto *label = window.findChild<QLabel *>(QLatin1String(name));
    return label ? label->text() : QString();
}

// Counts the paint events of the widgets it is installed on.
class PaintCounter : public QObject
{
public:
    using QObject::QObject;
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // The program's own start-up setting (app/main.cpp): raster painting, no
    // OpenGL stack loaded by Qt's X11 platform.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2 || arguments.size() > 3
            || (arguments.size() == 3 && arguments.at(2) != QLatin1String("--second"))) {
        err << "usage: bench_export <device> [--second]\n";
        return 2;
    }
    // The window mounts on, and writes below, the recorder's fixed paths.
    if (::geteuid() != 0 || qgetenv("CORVALET_SANDBOX") != "1") {
        err << "bench_export: run it inside tests/sandbox.sh (bench/run-all.sh does)\n";
        return 2;
    }
    const QString device = arguments.at(1);
    const int exports = arguments.size() == 3 ? 2 : 1;

    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    Settings::instance().configFile = QString::fromLatin1(kMonitorConfigFile);

    chainedHandler = qInstallMessageHandler(noteFlush);

    // Connected before the window exists, so this runs before the window's own
    // slot, which opens the modal "文件复制完成" box.
    SyncManager &sync = SyncManager::instance();
    qint64 finishedNs = -1;
    bool succeeded = false;
    Usage atFinish;
    int progress = 0;
    QObject::connect(&sync, &SyncManager::syncFinished, [&](bool success) {
        finishedNs = exportClock.nsecsElapsed();
        atFinish = usageNow();
        succeeded = success;
    });
    // Each batch of output is one update of the bar and the progress line.
    QVector<qint64> updatesNs;
    QObject::connect(&sync, &SyncManager::syncOutput, [&](const QByteArray &) {
        ++progress;
        if (exportClock.isValid())
            updatesNs.append(exportClock.nsecsElapsed());
    });

    MainWindow window;
    window.show();

    // Answers the boxes the window opens, as a user would, without a delay
    // that would count against the tool: the box of a successful copy opens
    // after the clock has stopped.
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box && box->isVisible()) {
            err << "bench_export: box \"" << box->windowTitle() << "\": " << box->text() << '\n';
            box->done(QMessageBox::Ok);
        }
    });
    boxes.start(20);

    QEventLoop wait;
    // Connected after the window's slot: ends the wait once the box is gone.
    QObject::connect(&sync, &SyncManager::syncFinished, &wait, &QEventLoop::quit, Qt::QueuedConnection);
    // A copy that hangs fails the run instead of holding it up for ever.
    QTimer failSafe;
    failSafe.setSingleShot(true);
    failSafe.setInterval(30 * 60 * 1000);
    QObject::connect(&failSafe, &QTimer::timeout, &wait, &QEventLoop::quit);

    window.handleDeviceEvent(device, QStringLiteral("add"));
    // The recordings are counted on a thread of their own; the drive is
    // offered for export once the count is in.
    QElapsedTimer counting;
    counting.start();
    while (DeviceManager::instance().isMounted() && text(window, "statusLabel") != QStringLiteral("U盘就绪")
           && counting.elapsed() < 10 * 60 * 1000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    if (!DeviceManager::instance().isMounted() || text(window, "statusLabel") != QStringLiteral("U盘就绪")) {
        err << "bench_export: the drive " << device << " is not ready: " << text(window, "statusLabel") << '\n';
        return 1;
    }
    QCoreApplication::processEvents(); // the first paint, before the clock runs
    PaintCounter paints;
    for (const char *name : {"progressBar", "progressLabel"}) {
        if (auto *widget = window.findChild<QWidget *>(QLatin1String(name)))
            widget->installEventFilter(&paints);
        else
            err << "bench_export: no widget " << name << '\n';
    }

    auto *start = window.findChild<QPushButton *>(QStringLiteral("startButton"));
    int failures = 0;
    for (int n = 1; n <= exports; ++n) {
        finishedNs = -1;
        flushStartedNs = -1;
        succeeded = false;
        progress = 0;
        updatesNs.clear();
        paints.count = 0;
        const Usage before = usageNow();
        exportClock.start();
        // Both exports are started by the button, as a person does; the look
        // at the drive that comes first runs in the background (and is part
        // of the time measured).
        start->click();
        // The look at the drive and the database's snapshot come first, in
        // the background; the export runs from the press until its verdict.
        const ExportSession *session = window.exportSession();
        while (session->state() == ExportSession::Planning
               || (session->isExporting() && !SyncManager::instance().isSyncing() && finishedNs < 0))
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        // A copy that could not start reports no end.
        if (finishedNs < 0 && SyncManager::instance().isSyncing()) {
            failSafe.start();
            wait.exec();
            failSafe.stop();
        }
        if (!succeeded) {
            err << "bench_export: export " << n << " failed: " << text(window, "statusLabel") << '\n';
            ++failures;
            break;
        }
        reapOrphans();
        const Usage after = usageNow();
        // The stick is read back after the flush; the next export waits for
        // the verdict.
        while (session->state() != ExportSession::Done && session->state() != ExportSession::Idle)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        const qint64 verifiedNs = exportClock.nsecsElapsed();
        const Usage verified = usageNow();
        if (text(window, "statusLabel") != QStringLiteral("复制完成")) {
            err << "bench_export: export " << n << " not verified: " << text(window, "statusLabel") << '\n';
            ++failures;
            break;
        }
        out << "export" << n << "_ms " << QString::number(finishedNs / 1e6, 'f', 1) << '\n'
            << "export" << n << "_self_cpu_ms " << QString::number(atFinish.self - before.self, 'f', 1) << '\n'
            << "export" << n << "_child_cpu_ms " << QString::number(after.children - before.children, 'f', 1) << '\n'
            << "export" << n << "_flush_ms " << QString::number((finishedNs - flushStartedNs) / 1e6, 'f', 1) << '\n'
            << "export" << n << "_progress " << progress << '\n'
            << "export" << n << "_verify_ms " << QString::number((verifiedNs - finishedNs) / 1e6, 'f', 1) << '\n'
            << "export" << n << "_verify_self_cpu_ms " << QString::number(verified.self - after.self, 'f', 1) << '\n';
        std::map<qint64, int> perSecond;
        for (const qint64 at : updatesNs)
            if (at <= finishedNs)
                ++perSecond[at / 1000000000];
        int maxPerSecond = 0;
        int updates = 0;
        for (const auto &second : perSecond) {
            maxPerSecond = std::max(maxPerSecond, second.second);
            updates += second.second;
        }
        out << "export" << n << "_updates " << updates << '\n'
            << "export" << n << "_updates_max_per_s " << maxPerSecond << '\n'
            << "export" << n << "_updates_avg_per_s "
            << QString::number(finishedNs > 0 ? updates / (finishedNs / 1e9) : 0.0, 'f', 1) << '\n'
            << "export" << n << "_repaints " << paints.count << '\n';
    }

    if (!DeviceManager::instance().unmountDevice()) {
        err << "bench_export: the drive could not be unmounted\n";
        ++failures;
    }
    reapOrphans();
    struct rusage self {};
    struct rusage children {};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    out << "maxrss_kib " << self.ru_maxrss << '\n' << "child_maxrss_kib " << children.ru_maxrss << '\n';
    return failures ? 1 : 0;
}
