#include "platform/command.h"

#include <QElapsedTimer>

Command::Command(const QString &program, const QStringList &arguments, int timeoutMs)
    : m_process(new QProcess)
    , m_timeoutMs(timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    m_process->start(program, arguments, QIODevice::ReadWrite);
    if (!m_process->waitForStarted(timeoutMs)) {
        m_outcome = m_process->error() == QProcess::FailedToStart ? Outcome::FailedToStart : Outcome::TimedOut;
        return;
    }
    const int left = int(qMax<qint64>(0, timeoutMs - clock.elapsed()));
    if (!m_process->waitForFinished(left)) {
        m_outcome = Outcome::TimedOut;
        m_process->kill();
        m_process->waitForFinished(1000);
        return;
    }
    m_exitCode = m_process->exitCode();
    m_standardOutput = m_process->readAllStandardOutput();
    m_standardError = m_process->readAllStandardError();
    if (m_process->exitStatus() == QProcess::CrashExit)
        m_outcome = Outcome::Crashed;
    else
        m_outcome = m_exitCode == 0 ? Outcome::Succeeded : Outcome::Failed;
}

Command::~Command()
{
    if (m_process->state() == QProcess::NotRunning) {
        delete m_process;
        return;
    }
    // Not even SIGKILL ended the child within the wait: it is stuck in the
    // kernel, for example in a umount of a drive that no longer answers.
    // Destroying its QProcess would block for another 30 s; it goes once the
    // child has ended instead (or with the process).
    QObject::connect(m_process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), m_process,
                     &QObject::deleteLater);
}

bool Command::ended() const
{
    return m_outcome == Outcome::Succeeded || m_outcome == Outcome::Failed || m_outcome == Outcome::Crashed;
}

QString Command::errorString() const
{
    switch (m_outcome) {
    case Outcome::Succeeded:
        return QString();
    case Outcome::Failed:
        return QStringLiteral("exit code %1").arg(m_exitCode);
    case Outcome::Crashed:
        return QStringLiteral("crashed");
    case Outcome::FailedToStart:
        return QStringLiteral("failed to start: %1").arg(m_process->errorString());
    case Outcome::TimedOut:
        return QStringLiteral("timed out after %1 ms").arg(m_timeoutMs);
    }
    return QString();
}
