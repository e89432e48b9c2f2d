#pragma once

#include "export/exportprogress.h"
#include "export/exportverdict.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class BackgroundJob;
class DeviceManager;
class DeviceWriteCounter;
class ExportLedger;
class SyncManager;
struct PlannedExport;

// The export's copy: rsync from the recordings to the export directory (all
// of them, or the chosen ones on a list written while rsync reads it), the
// flush of the drive that follows, the progress as the drive itself counts
// what it has written, and the hasher that follows rsync from file to file
// and hashes each recording while it is still in the page cache.
//
// One finished() however it ends: copied, failed, not started, or after
// cancel() once rsync has gone. A copy that succeeded is reported once the
// hasher has caught up too.
class CopyPhase : public QObject
{
    Q_OBJECT
public:
    struct Result
    {
        bool copied = false;   // rsync and the flush succeeded
        int errorCount = 0;    // rsync's error lines, and the first few
        QStringList firstErrors;
        int vanished = 0;      // recordings deleted by the recorder meanwhile
        qint64 bytesDone = 0;

        // Into the export's verdict: its figures, and its outcome unless a
        // stop has set that already.
        void applyTo(ExportVerdict *verdict, bool stopped) const;
    };

    CopyPhase(DeviceManager &device, SyncManager &sync, const QElapsedTimer &clock, QObject *parent = nullptr);
    ~CopyPhase() override;

    void start(const PlannedExport &exported, const QString &source, const QString &target,
               const std::shared_ptr<ExportLedger> &ledger);
    // Asks rsync (or the flush) to stop; finished() follows once it has.
    // Once ended, waits for what still holds the drive (its writer).
    void cancel();
    bool isRunning() const { return m_running; }
    const ExportProgress &progress() const { return m_progress; }

signals:
    // rsync runs.
    void started();
    // rsync is done; the drive's cache is being written out.
    void flushing();
    // Four times a second while it runs.
    void progressChanged();
    void finished(const CopyPhase::Result &result);

private:
    struct HashQueue;
    void onSyncFinished(bool success);
    void sampleWritten();
    void end();

    DeviceManager &m_device;
    SyncManager &m_sync;
    const QElapsedTimer &m_clock;
    bool m_running = false;
    Result m_result;
    ExportProgress m_progress;
    BackgroundJob *m_listJob;
    BackgroundJob *m_writebackJob;
    BackgroundJob *m_hashJob;
    std::shared_ptr<HashQueue> m_hashQueue;
    // The files rsync completed in the latest batch of its output.
    std::vector<QByteArray> m_doneFiles;
    // The drive's own count of completed writes, and its value at the start.
    std::unique_ptr<DeviceWriteCounter> m_written;
    qint64 m_writtenAtStart = -1;
    QTimer m_sampleTimer;
};
