#include "counterfeitdrive.h"

#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <sys/prctl.h>

namespace TestSupport {

namespace {

// As SlowDrive: a quarter of a second of the rate in the rate filter's
// bucket, so that a pause does not let the next seconds through at memory
// speed. nbdkit compiles the plugin before it serves, hence the longer start.
constexpr double kRateBurstSeconds = 0.25;
constexpr int kServerStartMs = 30000;

// nbdfuse gets SIGTERM when the test process dies, whatever kills it; nbdkit
// ends with nbdfuse (--exit-with-parent). Nothing else would end them once
// the destructor cannot run.
class ChildOfThisProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

QString modeName(CounterfeitDrive::Mode mode)
{
    return mode == CounterfeitDrive::Mode::LosesData ? QStringLiteral("lose") : QStringLiteral("wrap");
}

} // namespace

QString CounterfeitDrive::pluginSource()
{
    return qEnvironmentVariable("CORVALET_SOURCE_DIR") + QStringLiteral("/tests/support/counterfeit-plugin.c");
}

QString CounterfeitDrive::unavailableReason()
{
    for (const char *program : {"nbdkit", "nbdfuse", "cc", "losetup", "fusermount3"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            return QStringLiteral("%1 is not installed (scripts/install-deps.sh installs it)").arg(QLatin1String(program));
    }
    if (run(QStringLiteral("nbdkit"), {QStringLiteral("--dump-plugin"), QStringLiteral("cc")}) != 0)
        return QStringLiteral("nbdkit has no cc plugin");
    if (run(QStringLiteral("cc"), {QStringLiteral("-fsyntax-only"), QStringLiteral("-x"), QStringLiteral("c"),
                                   QStringLiteral("-include"), QStringLiteral("nbdkit-plugin.h"),
                                   QStringLiteral("/dev/null")}) != 0)
        return QStringLiteral("nbdkit's plugin headers are missing (nbdkit-plugin-dev)");
    if (!QFile::exists(pluginSource()))
        return QStringLiteral("no %1 (is CORVALET_SOURCE_DIR set?)").arg(pluginSource());
    return QString();
}

CounterfeitDrive::CounterfeitDrive(qint64 reportedMiB, qint64 keptMiB, Mode mode, const QString &fileSystem,
                                   qint64 bytesPerSecond)
    : m_fileSystem(fileSystem)
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary directory");
        return;
    }
    QStringList nbdkit{QStringLiteral("nbdkit"), QStringLiteral("--exit-with-parent")};
    if (bytesPerSecond > 0)
        nbdkit << QStringLiteral("--filter=rate");
    nbdkit << QStringLiteral("cc") << pluginSource() << QStringLiteral("size=%1M").arg(reportedMiB)
           << QStringLiteral("kept=%1M").arg(keptMiB) << QStringLiteral("mode=") + modeName(mode);
    if (bytesPerSecond > 0)
        nbdkit << QStringLiteral("rate=%1").arg(bytesPerSecond * 8)
               << QStringLiteral("burstiness=%1").arg(kRateBurstSeconds);
    if (start(nbdkit) && attach() && (fileSystem.isEmpty() || format()))
        m_device = m_attached;
}

bool CounterfeitDrive::start(const QStringList &nbdkitCommand)
{
    m_fuseDir = m_dir.filePath(QStringLiteral("fuse"));
    QDir().mkpath(m_fuseDir);
    // Named for what it is: losetup -a shows the name of a leftover.
    m_file = m_fuseDir + QStringLiteral("/counterfeit-stick");
    const QString pidFile = m_dir.filePath(QStringLiteral("nbdfuse.pid"));

    // nbdfuse runs nbdkit on a private socket and writes its pid file once
    // the file can be used; a plugin that does not compile ends nbdkit, and
    // nbdfuse with it, with the compiler's messages in the output.
    m_server = std::make_unique<ChildOfThisProcess>();
    m_server->setProcessChannelMode(QProcess::MergedChannels);
    m_server->start(QStringLiteral("nbdfuse"), QStringList{QStringLiteral("-P"), pidFile, m_file, QStringLiteral("[")}
                                                       + nbdkitCommand + QStringList{QStringLiteral("]")});
    if (!m_server->waitForStarted(kServerStartMs)) {
        m_error = QStringLiteral("cannot start nbdfuse: ") + m_server->errorString();
        m_server.reset();
        return false;
    }
    QElapsedTimer waited;
    waited.start();
    while (readFile(pidFile).trimmed().isEmpty()) {
        if (m_server->waitForFinished(50) || waited.hasExpired(kServerStartMs)) {
            m_error = QStringLiteral("nbdfuse did not come up: ") + QString::fromUtf8(m_server->readAll());
            return false;
        }
    }
    return true;
}

bool CounterfeitDrive::attach()
{
    QByteArray output;
    if (run(QStringLiteral("losetup"), {QStringLiteral("--find"), QStringLiteral("--show"),
                                        QStringLiteral("--direct-io=on"), m_file}, &output) != 0) {
        m_error = QStringLiteral("no loop device: ") + QString::fromUtf8(output);
        return false;
    }
    m_attached = QString::fromUtf8(output).trimmed();
    return true;
}

bool CounterfeitDrive::format()
{
    // LoopDrive's commands, on the device itself: mkfs discards the drive and
    // writes zeros through it, and those requests meet the counterfeit too.
    QStringList arguments;
    if (m_fileSystem == QLatin1String("ext4"))
        arguments = QStringList{QStringLiteral("-q"), QStringLiteral("-F")};
    else if (m_fileSystem == QLatin1String("ntfs"))
        arguments = QStringList{QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-Q")};
    else if (m_fileSystem == QLatin1String("vfat"))
        arguments = QStringList{QStringLiteral("-F"), QStringLiteral("32")};
    QByteArray output;
    if (run(LoopDrive::formatProgram(m_fileSystem), arguments << m_attached, &output) != 0) {
        m_error = QStringLiteral("cannot format the drive: ") + QString::fromUtf8(output);
        return false;
    }
    return true;
}

} // namespace TestSupport
