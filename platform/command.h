#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs an external program to its end with a bounded wait and says honestly
// how it ended. A QProcess reports exit code 0 for a child killed by a signal
// and for one that is still running, so neither the exit code alone nor the
// result of waitForFinished() is a verdict; this is.
class Command
{
public:
    enum class Outcome {
        Succeeded,     // normal exit with code 0
        Failed,        // normal exit with another code
        Crashed,       // killed by a signal
        FailedToStart, // the program could not be started at all
        TimedOut,      // still running when the wait ran out; it is killed
    };

    // Starts `program` with `arguments` (no shell) and waits at most
    // `timeoutMs` for its end; a child still running then is killed, and
    // waited for one second more at most.
    Command(const QString &program, const QStringList &arguments, int timeoutMs);
    ~Command();
    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;

    Outcome outcome() const { return m_outcome; }
    bool succeeded() const { return m_outcome == Outcome::Succeeded; }
    // True when the child ran and ended by itself (with any code, or a crash),
    // as opposed to never starting or being cut off by the wait.
    bool ended() const;
    int exitCode() const { return m_exitCode; }
    QByteArray standardError() const { return m_standardError; }
    // What the child printed, for a child that ended by itself.
    QByteArray standardOutput() const { return m_standardOutput; }
    // Why the child did not succeed, naming the phase for a start failure or
    // a time-out ("failed to start: ...", "timed out after 5000 ms").
    QString errorString() const;

    // The verdict for a child that QProcess reported as finished.
    static bool exitedCleanly(int exitCode, QProcess::ExitStatus status)
    {
        return status == QProcess::NormalExit && exitCode == 0;
    }

private:
    QProcess *m_process;
    Outcome m_outcome = Outcome::FailedToStart;
    int m_exitCode = -1;
    int m_timeoutMs;
    QByteArray m_standardOutput;
    QByteArray m_standardError;
};
