#pragma once

#include "export/exportplan.h"
#include "export/exportprogress.h"
#include "export/recordingindex.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class BackgroundJob;
class DeviceWriteCounter;
class SizeCount;
struct RecordingCount;

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
};

// The export's workflow with one drive, from the count of the recordings to
// the verdict: it counts the recordings by camera and time when a drive is
// mounted, plans a chosen export against what the drive holds, copies the
// alarm database and the chosen recordings, follows the copy onto the drive
// and tells how it ended. The window shows what it emits and asks the
// questions; everything that touches the recordings or the drive is here.
class ExportSession : public QObject
{
    Q_OBJECT
public:
    explicit ExportSession(QObject *parent = nullptr);
    ~ExportSession() override;

    QString hostname() const { return m_hostname; }
    QString sourcePath() const { return m_sourcePath; }

    // The recordings' count, started when a drive is mounted.
    void startCount();
    void cancelCount();
    bool isCounting() const;
    // -1 while unknown (counting, or cancelled).
    qint64 totalBytes() const { return m_totalBytes; }
    const RecordingIndex &index() const { return m_index; }
    // What the drive can take for recordings now: its free space less its
    // file system's margin and the alarm database's snapshot.
    qint64 budget() const;

    // 开始复制: looks at the drive and at the chosen recordings in the
    // background; planFinished() follows. False (with error()) when the
    // export is refused before anything is looked at.
    bool plan(const ExportSelection &selection);
    bool isPlanning() const;
    // The plan of the latest plan(), once planFinished() has come.
    const PlannedExport *planned() const { return m_planned.get(); }
    // What fits of the plan when all of it does not: its newest part.
    PlannedExport newestPartThatFits() const;
    bool plannedFits() const;
    // The person's answer: copy the plan (or, with `newestPartOnly`, its
    // newest part that fits), or nothing.
    void copy(bool newestPartOnly);
    void dropPlan() { m_planned.reset(); }

    // True from copy() until finished().
    bool isExporting() const { return m_exporting; }
    // True while rsync is done and what it wrote is on its way to the drive.
    bool isFlushing() const;
    void stop();

    const ExportProgress &progress() const { return m_progress; }
    qint64 elapsedMs() const { return m_clock.isValid() ? m_clock.elapsed() : 0; }
    // rsync's error lines so far in this export.
    int errorCount() const;

signals:
    void countFinished();
    void planFinished();
    void copyStarted();
    void progressChanged();
    void finished(const ExportVerdict &verdict);
    void error(const QString &message);

private:
    void onCounted();
    void onPlanned();
    void onDatabaseCopied();
    void startRecordings();
    void onSyncOutput(const QByteArray &batch);
    void onSyncFinished(bool success);
    // Reads what the drive has completed writing into the progress, and
    // tells the window; four times a second while a copy runs.
    void sampleWritten();
    void readHostname();

    QString m_hostname;
    QString m_sourcePath;
    QString m_targetPath;
    qint64 m_totalBytes = -1;
    RecordingIndex m_index;

    SizeCount *m_count;
    BackgroundJob *m_planJob;
    BackgroundJob *m_databaseJob;
    BackgroundJob *m_listJob;
    BackgroundJob *m_writebackJob;
    std::shared_ptr<PlannedExport> m_planning;
    std::unique_ptr<PlannedExport> m_planned;
    // What is being exported, from copy() on.
    std::unique_ptr<PlannedExport> m_exported;
    std::shared_ptr<QString> m_databaseProblem;
    bool m_exporting = false;

    ExportProgress m_progress;
    QElapsedTimer m_clock;
    // The drive's own count of completed writes, and its value at the start.
    std::unique_ptr<DeviceWriteCounter> m_written;
    qint64 m_writtenAtStart = -1;
    QTimer m_writtenTimer;
};

Q_DECLARE_METATYPE(ExportVerdict)
