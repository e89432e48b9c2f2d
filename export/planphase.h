#pragma once

#include <QObject>
#include <QString>

#include <memory>

class BackgroundJob;
struct ExportSelection;
struct PlannedExport;

// 开始复制's look before anything is written: the drive's file system and
// what it can hold, and the chosen recordings against what the export
// directory already holds, on a thread of its own: on a slow stick it takes
// seconds, during which the window keeps painting and a "remove", a signal
// or 退出 is not held up. One finished() with the plan; cancel() drops it and
// waits for the thread.
class PlanPhase : public QObject
{
    Q_OBJECT
public:
    explicit PlanPhase(QObject *parent = nullptr);
    ~PlanPhase() override;

    void start(const QString &mountPath, const QString &source, const QString &target, const QString &database,
               const ExportSelection &selection);
    void cancel();

signals:
    void finished(const PlannedExport &planned);

private:
    BackgroundJob *m_job;
    std::shared_ptr<PlannedExport> m_planning;
};
