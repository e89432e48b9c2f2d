#pragma once

#include "export/exportprogress.h"
#include "export/exportverdict.h"
#include "proof/ledger.h"
#include "proof/manifest.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class BackgroundJob;
class DeviceManager;

// The export's proof, after the copy and its flush: the stick is unmounted
// and mounted again read-only, so that every file comes back from the stick
// itself and not from the page cache (for the FUSE drivers, not from the
// block device's cache either); every file is read back and compared with
// the recording; then, with the stick writable again, the files for the
// recipient go onto it: SHA256SUMS and the record.
//
// One finished() however it ends by itself, also when the stick cannot be
// mounted again; cancel() stops the read-back and the writing within one
// read of the stick, waits for their threads and reports nothing.
class ProofPhase : public QObject
{
    Q_OBJECT
public:
    struct Input
    {
        std::shared_ptr<ExportLedger> ledger;
        QString source;         // the recordings directory
        QString target;         // the export directory on the stick
        QString mountPath;
        int modifyWindow = 0;   // the drive's time resolution, as rsync keeps times
        // The record as far as the session knows it; the proof adds the
        // verdict, the stick's identity, the clock and the end.
        ExportRecord record;
    };
    struct Result
    {
        ExportLedger::Result ledger;
        // Why the read-back could not be made; empty when it was.
        QString problem;
        // What kept the manifest, the record or the other files for the
        // recipient off the stick, for the log.
        QString recordProblem;
        // The signature's key, or why the export is not signed.
        QString fingerprint;
        QString unsignedReason;
        // Gaps of more than 10 s between the recordings, over all cameras.
        int gaps = 0;

        // Into the export's verdict: what was verified, and the outcome.
        void applyTo(ExportVerdict *verdict) const;
    };

    ProofPhase(DeviceManager &device, const QElapsedTimer &clock, QObject *parent = nullptr);
    ~ProofPhase() override;

    void start(const Input &input);
    void cancel();
    // The stick went away under the proof: it ends with `problem`.
    void abandon(const QString &problem);
    bool isRunning() const { return m_running; }
    // Bytes read back from the stick of all there are to read.
    const ExportProgress &progress() const { return m_progress; }

signals:
    // Four times a second while the stick is read back.
    void progressChanged();
    void finished(const ProofPhase::Result &result);

private:
    struct Shared;
    void onVerified();
    void end();

    DeviceManager &m_device;
    const QElapsedTimer &m_clock;
    bool m_running = false;
    Input m_input;
    std::shared_ptr<Shared> m_shared;
    BackgroundJob *m_verifyJob;
    BackgroundJob *m_recordJob;
    ExportProgress m_progress;
    QTimer m_sampleTimer;
};
