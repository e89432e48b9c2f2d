#pragma once

#include <QObject>
#include <QString>

#include <memory>

class BackgroundJob;
class ExportLedger;

// The export's first phase: a snapshot of the alarm database into the export
// directory, on a thread of its own, since a busy database may make it wait
// for its writer and a stop must not wait for that. The snapshot as it lies
// on the stick goes into the ledger, for the read-back. One finished() with
// the result once it has ended by itself; cancel() ends it within
// milliseconds, also while it waits for a lock, and reports nothing.
class DatabasePhase : public QObject
{
    Q_OBJECT
public:
    struct Result
    {
        // Why the database did not reach the stick; empty when it did.
        QString problem;
        // What became of it, for the record.
        QString record;
    };

    explicit DatabasePhase(QObject *parent = nullptr);
    ~DatabasePhase() override;

    void start(const QString &database, const QString &target, const std::shared_ptr<ExportLedger> &ledger);
    // Stops the snapshot and waits for its thread (at most a second).
    void cancel();

signals:
    void finished(const DatabasePhase::Result &result);

private:
    BackgroundJob *m_job;
    std::shared_ptr<Result> m_result;
};
