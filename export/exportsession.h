#pragma once

#include "export/exportprogress.h"
#include "export/exportverdict.h"
#include "export/fitpolicy.h"
#include "recordings/dirsize.h"
#include "recordings/recordingindex.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class CopyPhase;
class DatabasePhase;
class DeviceManager;
class ExportLedger;
class PlanPhase;
class ProofPhase;
class SizeCount;
class SyncManager;

// The export's workflow with one drive, from the device event to the
// verdict, as one state machine whose every transition is in next():
//
//   Idle --Mounted--> Counting --Counted--> Ready --Start--> Planning
//   Planning --Fits--> Database, --Ask--> Asking, --Refused or Stop--> Ready
//   Asking --Yes--> Database, --No or Stop--> Ready
//   Database --DatabaseDone--> Copying, --Refused--> Ready
//   Copying --FlushStarted--> Flushing
//   Copying, Flushing --CopyEnded--> Done
//   Flushing --Flushed--> Verifying --Verified--> Done
//   Database, Copying, Flushing, Verifying --Stop or Release--> Stopping
//   Stopping --CopyEnded or Stopped--> Done
//   Done --Start--> Planning (another export from the same drive)
//   Counting, Ready, Planning, Asking, Done --Release--> Idle
//   any state --Unmounted--> Idle
//
// Entering a state starts or cancels what belongs to it: the count, the look
// at the drive (PlanPhase), and the export's three phases, each a job of its
// own with one finished() (DatabasePhase, CopyPhase, ProofPhase). The session keeps the table,
// the choice of what to export and the count, the fit policy's question, and
// the verdict; the window shows what it reports, asks its question and
// forwards the buttons.
class ExportSession : public QObject
{
    Q_OBJECT
public:
    enum State { Idle, Counting, Ready, Planning, Asking, Database, Copying, Flushing, Verifying, Done, Stopping };
    Q_ENUM(State)

    // What moves the session on.
    enum class Event {
        Mounted,        // the drive is mounted
        Counted,        // the recordings are counted
        Unmounted,      // the drive is gone
        Start,          // 开始复制
        Fits,           // the plan fits: copy
        Ask,            // the plan needs the person's answer
        Refused,        // nothing to copy, or the drive refuses the export
        Yes,
        No,
        DatabaseDone,   // the alarm database's snapshot is on the drive (or failed)
        FlushStarted,   // rsync is done, the drive's cache is written out
        CopyEnded,      // the copy has ended without a proof to follow
        Flushed,        // rsync and the flush succeeded: the proof follows
        Verified,       // what the stick holds is read back, the record written
        Stop,
        Stopped,        // what the stop waited for has ended
        Release,        // the drive is about to be unmounted: let go of it
    };
    // Where `event` leads from `state`; `state` itself where it is ignored.
    static State next(State state, Event event);

    explicit ExportSession(QObject *parent = nullptr);
    ExportSession(DeviceManager &device, SyncManager &sync, QObject *parent = nullptr);
    ~ExportSession() override;

    State state() const { return m_state; }
    // From the database's snapshot to the verdict.
    bool isExporting() const
    {
        return m_state == Database || m_state == Copying || m_state == Flushing || m_state == Verifying
                || m_state == Stopping;
    }

    QString sourcePath() const { return m_sourcePath; }
    // The size of the regular files below `path`, links followed (see
    // directorySize()).
    static qint64 directorySize(const QString &path) { return ::directorySize(path); }

    // The device hook's event: "add" mounts the drive, "remove" is a way out.
    void handleDeviceEvent(const QString &device, const QString &action);
    // 开始复制: looks at the drive and the chosen recordings in the
    // background, then copies, asks (question()) or says that nothing fits.
    void start();
    // The person's answer to question().
    void answer(bool yes);
    // Ends what runs: a look at the drive is dropped, an export ends as
    // stopped (finished() with the outcome Stopped or VerificationStopped).
    void stop() { advance(Event::Stop); }
    // Every way out of the program: stops what runs, waits for all of it to
    // let go of the drive, unmounts the drive and ends the event loop.
    // `quietly`: the person is gone; failures reach the log only.
    void shutDown(bool quietly = false);

    // The choice, and what it selects now.
    void setChoice(const ExportChoice &choice) { m_choice = choice; }
    const ExportChoice &choice() const { return m_choice; }
    ExportSelection selection() const;
    // True when 开始复制 would copy something.
    bool canStart() const;

    // The count, once countFinished() has come (-1 while unknown).
    qint64 totalBytes() const { return m_totalBytes; }
    const RecordingIndex &index() const { return m_index; }
    // The camera folders of the count, in the order a person counts them:
    // ch2 before ch10.
    QStringList cameras() const;
    // The size of a span of the chosen cameras (empty: all), from the count.
    RecordingSizes sizes(Span span, const QStringList &cameras) const;
    // What 开始复制 would copy of `span` and `cameras` (empty: all), from the count.
    ChoiceSummary summary(Span span, const QStringList &cameras) const;
    // What the drive can take for recordings now: its free space less its
    // file system's margin and the alarm database's snapshot.
    qint64 budget() const;
    // The drive's free space, measured now; 0 without a drive.
    qint64 freeSpace() const;

    // What the export copies, from the fit decision on; null before.
    const PlannedExport *exported() const { return m_exported.get(); }
    // The export is the newest part of the plan that fits.
    bool isCut() const { return m_cut; }
    const ExportProgress &progress() const;
    // The verification's: bytes read back from the stick of all to read.
    const ExportProgress &verifyProgress() const;
    qint64 elapsedMs() const { return m_clock.isValid() ? m_clock.elapsed() : 0; }
    // rsync's error lines so far in this export.
    int errorCount() const;
    // How the latest export ended, once finished() has come.
    const ExportVerdict &verdict() const { return m_verdict; }

signals:
    void stateChanged(ExportSession::State state);
    void countFinished();
    // The plan is in: exported() tells what will be copied, or asked about.
    void planFinished();
    void question(const FitQuestion &question);
    void nothingFits(qint64 freeSpace);
    void copyStarted();
    void progressChanged();
    void finished(const ExportVerdict &verdict);
    void error(const QString &message);

private:
    void advance(Event event);
    void enter(State state, State from);
    void startCount();
    void onCounted();
    void onPlanned(const PlannedExport &planned);
    void beginExport();
    void startProof();
    void connectPhases();

    DeviceManager &m_device;
    SyncManager &m_sync;
    State m_state = Idle;
    bool m_verify = true;

    QString m_hostname;
    QString m_sourcePath;
    QString m_targetPath;
    ExportChoice m_choice;
    qint64 m_totalBytes = -1;
    RecordingIndex m_index;

    SizeCount *m_count;
    PlanPhase *m_plan;
    DatabasePhase *m_database;
    CopyPhase *m_copy;
    ProofPhase *m_proof;
    // What is exported, and what Yes to the question would export.
    std::unique_ptr<PlannedExport> m_exported;
    std::unique_ptr<PlannedExport> m_pending;
    FitQuestion m_question;
    bool m_cut = false;
    std::shared_ptr<ExportLedger> m_ledger;
    QString m_databaseRecord;
    ExportVerdict m_verdict;

    QElapsedTimer m_clock;
    QDateTime m_started;
};
