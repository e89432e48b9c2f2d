#pragma once

#include "recordings/exportplan.h"
#include "export/exportprogress.h"
#include "recordings/recordingindex.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class BackgroundJob;
class ExportLedger;
class DeviceManager;
class DeviceWriteCounter;
class SizeCount;
class SyncManager;

// What the person chose in the window: a span of time and the cameras.
struct ExportChoice
{
    Span span = Span::All;
    // Every camera folder and the loose files; else only `cameras`.
    bool everyCamera = true;
    QStringList cameras;
    // Span::Custom, to the minute: from the start of `customStart`'s minute
    // to the end of `customEnd`'s, seconds since the epoch.
    qint64 customStart = 0;
    qint64 customEnd = 0;
};

// What the session asks before it writes to the drive: whether to copy the
// newest part of a choice that does not fit, or a choice whose largest files
// the drive cannot hold.
struct FitQuestion
{
    bool tooMuch = false;       // the choice does not fit
    qint64 bytesToCopy = 0;     // what the choice still has to copy
    qint64 freeSpace = 0;
    qint64 newestStart = 0;     // what Yes copies instead: from this time on,
    qint64 newestBytes = 0;     // this much
    qint64 tooLargeFiles = 0;   // recordings the drive cannot hold, left out
    qint64 tooLargeBytes = 0;
    qint64 maxFileSize = -1;
};

// How an export ended, for the window to tell.
struct ExportVerdict
{
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
    // Ended by a way out of the program: nobody is there to answer a box.
    bool leaving = false;
};

// The export's workflow with one drive, from the device event to the
// verdict, as one state machine:
//
//   Idle --mounted--> Counting --counted--> Ready --开始复制--> Planning
//   Planning --fits--> Database, --asks--> Asking (--Yes--> Database,
//            --No--> Ready), --refused--> Ready
//   Database --snapshot taken--> Copying --rsync done--> Flushing
//   Flushing --flushed--> Verifying --verified--> Done (ready for another export)
//   Copying, Flushing --failed--> Done
//   Database, Copying, Flushing, Verifying --停止--> Stopping --ended--> Done
//   any state --unmounted--> Idle
//
// It owns the device events, the count of the recordings by camera and time,
// the choice of what to export and what that selects, the fit policy and its
// question, the database snapshot, the copy and its progress, the verdict,
// and the one way to stop it all: stop(), and shutDown() for every way out of
// the program. The window shows what it reports, asks its question and
// forwards the buttons; everything that touches the recordings or the drive
// is here.
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
        CopyEnded,      // rsync and the flush have ended, however
        Flushed,        // rsync and the flush succeeded: the proof follows
        Verified,       // what the stick holds is read back, the record written
        Stop,
        Stopped,        // what the stop waited for has ended
    };
    // Where `event` leads from `state`; `state` itself where it is ignored.
    static State next(State state, Event event);

    explicit ExportSession(QObject *parent = nullptr);
    ~ExportSession() override;

    State state() const { return m_state; }
    // From the database's snapshot to the verdict.
    bool isExporting() const;

    QString hostname() const { return m_hostname; }
    QString sourcePath() const { return m_sourcePath; }

    // The device hook's event: "add" mounts the drive, "remove" is a way out.
    void handleDeviceEvent(const QString &device, const QString &action);
    // 开始复制: looks at the drive and the chosen recordings in the
    // background, then copies, asks (question()) or says that nothing fits.
    void start();
    // The person's answer to question().
    void answer(bool yes);
    // Ends what runs: a look at the drive is dropped, an export ends as
    // stopped (finished() with `stopped`).
    void stop();
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
    // The size of a span of the chosen cameras (empty: all), from the count.
    RecordingSizes sizes(Span span, const QStringList &cameras) const;
    // The start of the newest recordings of `cameras` (empty: all) that fit
    // the drive, from the count; kNoEnd when none fit, kNoStart when all do.
    qint64 newestCut(const QStringList &cameras) const;
    // Whether the newest recording of `cameras` fits, so that something does.
    bool somethingFits(const QStringList &cameras) const;
    // The start of the newest half hour of `cameras`.
    qint64 newestBucket(const QStringList &cameras) const;
    // What the drive can take for recordings now: its free space less its
    // file system's margin and the alarm database's snapshot.
    qint64 budget() const;

    // What the export copies, from the fit decision on; null before.
    const PlannedExport *exported() const { return m_exported.get(); }
    // The export is the newest part of the plan that fits.
    bool isCut() const { return m_cut; }
    const ExportProgress &progress() const { return m_progress; }
    // The verification's: bytes read back from the stick of all to read.
    const ExportProgress &verifyProgress() const { return m_verifyProgress; }
    qint64 elapsedMs() const { return m_clock.isValid() ? m_clock.elapsed() : 0; }
    // rsync's error lines so far in this export.
    int errorCount() const;

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
    bool advance(Event event);
    void enter(State state);
    void onCounted();
    void onPlanned();
    void decide();
    void beginExport();
    void startRecordings();
    void copyNotStarted();
    void onSyncFinished(bool success);
    void releaseDrive();
    void startVerification();
    void startVerifyJob();
    void onVerified();
    void onRecorded();
    QString spanText() const;
    // Reads what the drive has completed writing into the progress, and
    // tells the window; four times a second while a copy runs.
    void sampleWritten();
    void readHostname();

    DeviceManager &m_device;
    SyncManager &m_sync;
    State m_state = Idle;
    bool m_quiet = false;

    QString m_hostname;
    QString m_sourcePath;
    QString m_targetPath;
    ExportChoice m_choice;
    qint64 m_totalBytes = -1;
    RecordingIndex m_index;

    SizeCount *m_count;
    BackgroundJob *m_planJob;
    BackgroundJob *m_databaseJob;
    BackgroundJob *m_listJob;
    BackgroundJob *m_writebackJob;
    // The plan being made, then the plan made, then what is exported.
    std::shared_ptr<PlannedExport> m_planning;
    std::unique_ptr<PlannedExport> m_planned;
    std::unique_ptr<PlannedExport> m_exported;
    // What Yes to the question copies, and the question.
    std::unique_ptr<PlannedExport> m_pending;
    FitQuestion m_question;
    // The export is the newest part of the plan that fits.
    bool m_cut = false;
    std::shared_ptr<QString> m_databaseProblem;
    ExportVerdict m_verdict;

    ExportProgress m_progress;
    QElapsedTimer m_clock;
    QDateTime m_started;

    // The proof: every file's hash from the recording and what the stick gives back.
    BackgroundJob *m_hashJob;
    BackgroundJob *m_verifyJob;
    BackgroundJob *m_recordJob;
    struct HashQueue;
    std::shared_ptr<HashQueue> m_hashQueue;
    // The files rsync completed in the latest batch of its output.
    std::vector<QByteArray> m_doneFiles;
    std::shared_ptr<ExportLedger> m_ledger;
    struct Verification;
    std::shared_ptr<Verification> m_verification;
    ExportProgress m_verifyProgress;
    // What became of the database, for the record.
    std::shared_ptr<QString> m_databaseRecord;
    bool m_leaving = false;
    // The drive's own count of completed writes, and its value at the start.
    std::unique_ptr<DeviceWriteCounter> m_written;
    qint64 m_writtenAtStart = -1;
    QTimer m_writtenTimer;
};

Q_DECLARE_METATYPE(ExportVerdict)
Q_DECLARE_METATYPE(FitQuestion)
