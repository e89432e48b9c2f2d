#include "app/journal.h"
#include "app/termination.h"
#include "config/settings.h"
#include "device/partitionchoice.h"
#include "platform/command.h"
#include "proof/signing.h"
#include "session/shutdown.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QIcon>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kXsetTimeoutMs = 30000;

void prepareDisplay()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("DISPLAY", ":0");
        qInfo() << "Set DISPLAY environment to :0";
    }

    // A kiosk screen must neither blank nor power down while an export runs.
    const Command power(QStringLiteral("xset"), {QStringLiteral("dpms"), QStringLiteral("force"), QStringLiteral("on")},
                        kXsetTimeoutMs);
    qInfo() << "Screen power management:" << (power.succeeded() ? "enabled" : "failed");
    if (!power.succeeded())
        qDebug() << "xset dpms force on:" << power.errorString();

    const Command saver(QStringLiteral("xset"), {QStringLiteral("s"), QStringLiteral("off")}, kXsetTimeoutMs);
    qInfo() << "Screen saver:" << (saver.succeeded() ? "disabled" : "failed");
    if (!saver.succeeded())
        qDebug() << "xset s off:" << saver.errorString();
}

// `corvalet fingerprint`: the export signing key's fingerprint on standard
// output, as `ssh-keygen -l` prints it, for the recorder's installer or a
// register of the fleet; or why the key cannot sign, on standard error.
int printFingerprint()
{
    Settings::instance().configFile = QString::fromLatin1(kMonitorConfigFile);
    const QString path = Settings::signingKeyPathValue();
    const Signing::KeyCheck key = Signing::checkKey(path);
    if (!key.canSign()) {
        std::fprintf(stderr, "%s: %s\n", key.problem.toUtf8().constData(), QFile::encodeName(path).constData());
        return 1;
    }
    std::printf("%s\n", Signing::fingerprint(key.publicKey).toLatin1().constData());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Needs neither a display nor Qt's application object.
    if (argc == 2 && qstrcmp(argv[1], "fingerprint") == 0)
        return printFingerprint();
    // The window paints with the raster engine; without this Qt's X11 backend
    // loads the system's OpenGL stack at start-up, about 50 MiB the tool never
    // uses and a third of its start-up time.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    // Started by udev through systemd, the tool has no session and so no
    // XDG_RUNTIME_DIR; Qt then warns on every start and makes and uses the
    // directory named here. Making it first keeps the journal's warnings for
    // real ones.
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        const struct passwd *user = ::getpwuid(::geteuid());
        const QByteArray runtime = "/tmp/runtime-" + (user ? QByteArray(user->pw_name) : QByteArray::number(::geteuid()));
        if (::mkdir(runtime.constData(), 0700) == 0 || errno == EEXIST)
            qputenv("XDG_RUNTIME_DIR", runtime);
    }
    installJournalPriorities();
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/logo.png")));
    QApplication::setApplicationName(QStringLiteral("Corvalet"));
    QApplication::setApplicationVersion(QStringLiteral(CORVALET_VERSION));
    QApplication::setOrganizationName(QStringLiteral("ORVELD"));
    QApplication::setOrganizationDomain(QStringLiteral("orveld.example"));
    qInfo() << "Starting Corvalet version:" << QApplication::applicationVersion();

    QDir().mkpath(QString::fromLatin1(kMonitorConfigDir));
    Settings::instance().configFile = QString::fromLatin1(kMonitorConfigFile);

    TerminationHandler termination;
    termination.install();

    const QString device = argc > 1 ? QString::fromUtf8(argv[1]) : QStringLiteral("sdb1");
    const QString action = argc > 2 ? QString::fromUtf8(argv[2]) : QStringLiteral("add");
    qInfo() << "======================"
            << "\nDetected USB device action:"
            << "\nDevice:" << device
            << "\nAction:" << action;

    // A stick with several partitions starts one instance for each; they all
    // make the same choice, and only the chosen one goes on. "check" is how
    // the unit asks before it takes the lock: 0 for the chosen device, 1 (the
    // code that makes systemd skip the start) for any other.
    const bool check = action == QLatin1String("check");
    if (check || action == QLatin1String("add")) {
        const DiskChoice choice = chooseExportDeviceFor(device);
        if (!choice.devices.isEmpty())
            qInfo().noquote() << "U盘设备:" << choice.describe();
        if (!choice.isChosen()) {
            qInfo().noquote() << "未使用的分区:" << choice.device << "导出到" << choice.chosen;
            return check ? 1 : 0;
        }
        if (check)
            return 0;
    }

    prepareDisplay();

    int result = 0;
    {
        MainWindow window;
        window.handleDeviceEvent(device, action);
        window.show();
        // A quit requested while an error box was open before this point was
        // taken by the box's own event loop and ended only that loop; the
        // request must still end the main loop as soon as it starts.
        if (quitRequested())
            requestQuit();
        result = QApplication::exec();
        // Whatever ended the event loop (the exit button, a signal, a
        // "remove" event, or the window manager closing the window), a copy
        // still writing to the drive is stopped and the drive is unmounted
        // before the process goes away, through the window's session. The
        // person is gone by now, so failures only reach the log.
        shutDown(true);
    }
    return result;
}
