#pragma once

#include <QMetaType>
#include <QString>
#include <QStringList>

// How an export ended, for the window to tell: one outcome, as
// QProcess::ExitStatus is one value, and the figures that go with it.
struct ExportVerdict
{
    enum class Outcome {
        Completed,           // copied, and verified unless that is switched off
        CopyFailed,          // rsync or the flush failed, or rsync did not start
        VerificationFailed,  // copied; the stick gives back other bytes, or could not be read back
        Stopped,             // 停止, a "remove" or a signal before the copy was done
        VerificationStopped, // copied, then stopped while it was read back
    };
    Outcome outcome = Outcome::CopyFailed;
    // The same, as the outcome says it: Completed.
    bool success = false;
    // Ended by a stop (停止, a "remove", a signal), not by itself.
    bool stopped = false;
    // rsync's error lines: how many, and the first few.
    int errorCount = 0;
    QStringList firstErrors;
    // Recordings the recorder deleted while they were exported.
    int vanished = 0;
    // Why the alarm database did not reach the drive; empty when it did.
    QString databaseProblem;
    qint64 bytesDone = 0;
    qint64 elapsedMs = 0;
    // rsync and the flush succeeded.
    bool copied = false;
    // The files were read back from the stick and compared with the recordings.
    bool verified = false;
    int verifiedFiles = 0;
    // Files the stick gave back wrong, could not read or lacks; the first few.
    int mismatched = 0;
    QStringList firstMismatched;
    // The stick lost data past some point, as counterfeit ones do.
    bool counterfeit = false;
    // Recordings the recorder changed or deleted during the export.
    int changed = 0;
    QStringList firstChanged;
    // 停止 during the verification: copied, not verified.
    bool verificationStopped = false;
    // Why the verification could not be made; empty when it was.
    QString verificationProblem;
    // The manifest or the record could not be written onto the stick.
    bool recordFailed = false;
    // SHA256SUMS is signed with the recorder's key of this fingerprint
    // ("SHA256:..."); else why not, once the files for the recipient are
    // written.
    QString fingerprint;
    QString unsignedReason;
    // Gaps of more than 10 s between the exported recordings, all cameras.
    int gaps = 0;
    // Ended by a way out of the program: nobody is there to answer a box.
    bool leaving = false;

    void setOutcome(Outcome value)
    {
        outcome = value;
        success = value == Outcome::Completed;
        stopped = value == Outcome::Stopped;
        verificationStopped = value == Outcome::VerificationStopped;
    }
};

Q_DECLARE_METATYPE(ExportVerdict)
