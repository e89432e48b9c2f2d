#include "export/planphase.h"

#include "device/drivecapabilities.h"
#include "platform/backgroundjob.h"
#include "recordings/exportplan.h"

#include <QDebug>

PlanPhase::PlanPhase(QObject *parent)
    : QObject(parent)
    , m_job(new BackgroundJob(this))
{
    m_job->setObjectName(QStringLiteral("planJob"));
    connect(m_job, &BackgroundJob::finished, this, [this] {
        const std::shared_ptr<PlannedExport> planned = std::move(m_planning);
        if (!planned)
            return;
        qInfo() << "U盘文件系统:" << describe(planned->drive);
        qInfo() << "待复制:" << planned->plan.filesToCopy << "个文件," << planned->plan.bytesToCopy << "字节";
        emit finished(*planned);
    });
}

PlanPhase::~PlanPhase() = default;

void PlanPhase::start(const QString &mountPath, const QString &source, const QString &target, const QString &database,
                      const ExportSelection &selection)
{
    auto planning = std::make_shared<PlannedExport>();
    m_planning = planning;
    m_job->start([planning, mountPath, source, target, database, selection](const std::atomic<bool> &cancelled) {
        *planning = planExportTo(mountPath, source, target, database, selection, &cancelled);
    });
}

void PlanPhase::cancel()
{
    m_planning.reset();
    m_job->stop();
}
