#include "export/databasephase.h"

#include "export/databasecopy.h"
#include "platform/backgroundjob.h"
#include "platform/descriptor.h"
#include "proof/ledger.h"

#include <QFile>

#include <fcntl.h>

namespace {

// How long the snapshot waits for a writer's lock on the database.
constexpr int kLockWaitMs = 5000;

} // namespace

DatabasePhase::DatabasePhase(QObject *parent)
    : QObject(parent)
    , m_job(new BackgroundJob(this))
{
    m_job->setObjectName(QStringLiteral("databaseJob"));
    connect(m_job, &BackgroundJob::finished, this, [this] {
        const std::shared_ptr<Result> result = std::move(m_result);
        if (result)
            emit finished(*result);
    });
}

DatabasePhase::~DatabasePhase() = default;

void DatabasePhase::start(const QString &database, const QString &target, const std::shared_ptr<ExportLedger> &ledger)
{
    auto result = std::make_shared<Result>();
    m_result = result;
    m_job->start([result, ledger, database, target](const std::atomic<bool> &cancelled) {
        const DatabaseCopy::Result copy = DatabaseCopy::copy(database, target, kLockWaitMs, &cancelled);
        const QString name = database.mid(database.lastIndexOf(QLatin1Char('/')) + 1);
        if (copy.outcome == DatabaseCopy::Result::Failed) {
            result->problem = copy.error;
            result->record = copy.error;
            return;
        }
        result->record = name + (copy.outcome == DatabaseCopy::Result::Unchanged
                                         ? QStringLiteral("（与U盘上已有的副本相同 same as the copy on the stick）")
                                         : QStringLiteral("（新快照 new snapshot）"));
        if (!copy.keptAs.isEmpty())
            result->record += QStringLiteral("，原副本保留为 earlier copy kept as ") + copy.keptAs;
        const Descriptor dir(::open(QFile::encodeName(target).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir.isValid())
            ledger->addDatabase(dir.get(), QFile::encodeName(name), cancelled);
    });
}

void DatabasePhase::cancel()
{
    m_result.reset();
    m_job->stop();
}
