#include "export/exportsession.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "device/drivecapabilities.h"
#include "export/copyphase.h"
#include "export/databasephase.h"
#include "export/planphase.h"
#include "export/exporttarget.h"
#include "export/proofphase.h"
#include "proof/ledger.h"
#include "recordings/sizecount.h"
#include "session/shutdown.h"
#include "sync/syncmanager.h"

#include <QCollator>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

#include <algorithm>

namespace {

// How long a way out waits for a copy it had to kill, and for its helpers,
// before it unmounts.
constexpr int kKilledCopyMs = 5000;

} // namespace

namespace {

using State = ExportSession::State;
using Event = ExportSession::Event;

// Every transition of the session; an event a state does not list leaves it
// as it is, and Unmounted leads from every state to Idle.
struct Edge
{
    State from;
    Event event;
    State to;
};
constexpr Edge kEdges[] = {
    {State::Idle, Event::Mounted, State::Counting},
    {State::Counting, Event::Counted, State::Ready},
    {State::Ready, Event::Start, State::Planning},
    {State::Done, Event::Start, State::Planning},
    {State::Planning, Event::Fits, State::Database},
    {State::Planning, Event::Ask, State::Asking},
    {State::Planning, Event::Refused, State::Ready},
    {State::Planning, Event::Stop, State::Ready},
    {State::Asking, Event::Yes, State::Database},
    {State::Asking, Event::No, State::Ready},
    {State::Asking, Event::Stop, State::Ready},
    {State::Database, Event::DatabaseDone, State::Copying},
    {State::Database, Event::Refused, State::Ready},
    {State::Copying, Event::FlushStarted, State::Flushing},
    {State::Copying, Event::CopyEnded, State::Done},
    {State::Flushing, Event::CopyEnded, State::Done},
    {State::Flushing, Event::Flushed, State::Verifying},
    {State::Verifying, Event::Verified, State::Done},
    {State::Stopping, Event::CopyEnded, State::Done},
    {State::Stopping, Event::Stopped, State::Done},
};

} // namespace

ExportSession::State ExportSession::next(State state, Event event)
{
    // Whatever the session was doing, it ends with the drive.
    if (event == Event::Unmounted)
        return Idle;
    const bool exporting = state == Database || state == Copying || state == Flushing || state == Verifying;
    // A stop, or the drive about to go, ends an export through Stopping; the
    // drive about to go ends anything else at once.
    if (exporting && (event == Event::Stop || event == Event::Release))
        return Stopping;
    if (event == Event::Release && state != Stopping)
        return Idle;
    for (const Edge &edge : kEdges) {
        if (edge.from == state && edge.event == event)
            return edge.to;
    }
    return state;
}

ExportSession::ExportSession(QObject *parent)
    : ExportSession(DeviceManager::instance(), SyncManager::instance(), parent)
{
}

ExportSession::ExportSession(DeviceManager &device, SyncManager &sync, QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_sync(sync)
    , m_count(new SizeCount(this))
    , m_plan(new PlanPhase(this))
    , m_database(new DatabasePhase(this))
    , m_copy(new CopyPhase(device, sync, m_clock, this))
    , m_proof(new ProofPhase(device, m_clock, this))
{
    qRegisterMetaType<ExportVerdict>();
    qRegisterMetaType<FitQuestion>();
    qRegisterMetaType<ExportSession::State>();
    m_count->setObjectName(QStringLiteral("sizeCount"));
    connect(m_count, &SizeCount::counted, this, &ExportSession::onCounted);
    connect(m_plan, &PlanPhase::finished, this, &ExportSession::onPlanned);
    connectPhases();

    connect(&m_device, &DeviceManager::deviceMounted, this, [this] { advance(Event::Mounted); });
    connect(&m_device, &DeviceManager::aboutToUnmount, this, [this] { advance(Event::Release); });
    connect(&m_device, &DeviceManager::deviceUnmounted, this, [this] {
        // The stick did not mount again for its read-back: the copy is on it
        // but nothing could be verified, and the person must hear so.
        m_proof->abandon(tr("U盘卸载后无法再次挂载，无法读回文件（U盘可能已损坏）"));
        advance(Event::Unmounted);
    });
    connect(&m_device, &DeviceManager::error, this, &ExportSession::error);
    connect(&m_sync, &SyncManager::syncError, this, &ExportSession::error);
    registerShutdown(this, [this](bool quietly) { shutDown(quietly); });
    m_hostname = ExportTarget::hostname();
}

ExportSession::~ExportSession()
{
    unregisterShutdown(this);
}

// What each phase's end means to the table.
void ExportSession::connectPhases()
{
    connect(m_database, &DatabasePhase::finished, this, [this](const DatabasePhase::Result &result) {
        m_verdict.databaseProblem = result.problem;
        m_databaseRecord = result.record;
        advance(Event::DatabaseDone);
    });
    connect(m_copy, &CopyPhase::started, this, &ExportSession::copyStarted);
    connect(m_copy, &CopyPhase::flushing, this, [this] { advance(Event::FlushStarted); });
    connect(m_copy, &CopyPhase::progressChanged, this, &ExportSession::progressChanged);
    connect(m_copy, &CopyPhase::finished, this, [this](const CopyPhase::Result &result) {
        // A stop keeps the outcome it set; the proof follows a copy that
        // ended well, unless it is switched off.
        result.applyTo(&m_verdict, m_state == Stopping);
        m_verdict.elapsedMs = elapsedMs();
        advance(result.copied && m_verify && m_state == Flushing ? Event::Flushed : Event::CopyEnded);
    });
    connect(m_proof, &ProofPhase::progressChanged, this, &ExportSession::progressChanged);
    connect(m_proof, &ProofPhase::finished, this, [this](const ProofPhase::Result &result) {
        result.applyTo(&m_verdict);
        m_verdict.elapsedMs = elapsedMs();
        advance(Event::Verified);
    });
}

void ExportSession::advance(Event event)
{
    const State from = m_state;
    const State to = next(from, event);
    if (to == from)
        return;
    m_state = to;
    emit stateChanged(to);
    enter(to, from);
}

// What each state does as it begins. A step that cannot go on moves the
// session on from inside, so a caller returns right after advance().
void ExportSession::enter(State state, State from)
{
    switch (state) {
    case Idle:
        // Whatever unmounts the drive (the "remove" event, a termination
        // signal, 退出), what still looks at it lets go before umount runs.
        m_count->stop();
        m_plan->cancel();
        m_pending.reset();
        m_copy->cancel();
        break;
    case Counting:
        startCount();
        break;
    case Ready:
        // A look at the drive or a question dropped by a stop or an answer.
        m_plan->cancel();
        m_pending.reset();
        break;
    case Planning:
        m_exported.reset();
        m_plan->start(Settings::usbMountPathValue(), m_sourcePath, m_targetPath, Settings::dbPathValue(), selection());
        break;
    case Asking:
        emit question(m_question);
        break;
    case Database:
        beginExport();
        break;
    case Copying:
        m_copy->start(*m_exported, m_sourcePath, m_targetPath, m_ledger);
        break;
    case Verifying:
        startProof();
        break;
    case Stopping:
        // Copied, not verified, when the stop came during the read-back.
        m_verdict.setOutcome(from == Verifying ? ExportVerdict::Outcome::VerificationStopped
                                               : ExportVerdict::Outcome::Stopped);
        m_verdict.elapsedMs = elapsedMs();
        // The snapshot sees its cancel within milliseconds, also while it
        // waits for a locked database; the read-back within one read.
        m_database->cancel();
        m_proof->cancel();
        // rsync's end moves the session on, within the stop's wait or later
        // from the event loop when the copy had to be killed.
        if (m_copy->isRunning())
            m_copy->cancel();
        else
            advance(Event::Stopped);
        break;
    case Done:
        emit finished(m_verdict);
        break;
    case Flushing:
        break;
    }
}

void ExportSession::startCount()
{
    m_sourcePath = Settings::recordingsPathValue();
    m_totalBytes = -1;
    m_index = RecordingIndex();
    // What the drive already holds of the recordings is looked up on the
    // way, without writing to it; under a host name that would climb out of
    // the mount point nothing is looked at.
    const QString mountPath = Settings::usbMountPathValue();
    const QString target = ExportTarget::isSafeName(m_hostname) ? mountPath + QLatin1Char('/') + m_hostname
                                                                : QString();
    m_count->start(m_sourcePath, target, driveRules(typeCapabilities(mountPath), mountPath),
                   QDateTime::currentSecsSinceEpoch());
}

void ExportSession::handleDeviceEvent(const QString &device, const QString &action)
{
    qInfo() << "Device event - Device:" << device << "Action:" << action;
    if (action == QLatin1String("add")) {
        if (isExporting()) {
            qDebug() << "Already syncing, ignoring new device";
            requestQuit();
            return;
        }
        m_device.mountDevice(device);
    } else if (action == QLatin1String("remove")) {
        shutDown();
    }
}

void ExportSession::onCounted()
{
    RecordingCount count = m_count->takeCount();
    m_totalBytes = count.totalBytes;
    m_index = std::move(count.index);
    // All the recordings when the drive takes what it lacks of them, else the
    // newest that fit.
    m_choice.span = m_index.newestCut(QStringList(), budget()) == ExportSelection::kNoStart ? Span::All
                                                                                            : Span::NewestThatFit;
    advance(Event::Counted);
    emit countFinished();
}

QStringList ExportSession::cameras() const
{
    QStringList cameras = m_index.cameras();
    QCollator collator;
    collator.setNumericMode(true);
    std::sort(cameras.begin(), cameras.end(), collator);
    return cameras;
}

qint64 ExportSession::budget() const
{
    return recordingBudget(m_device.freeSpace(), m_device.deviceSize(), QFileInfo(Settings::dbPathValue()).size());
}

qint64 ExportSession::freeSpace() const
{
    return m_device.freeSpace();
}

RecordingSizes ExportSession::sizes(Span span, const QStringList &cameras) const
{
    return choiceSizes(m_index, span, cameras, m_choice, budget());
}

ChoiceSummary ExportSession::summary(Span span, const QStringList &cameras) const
{
    const qint64 budget = this->budget();
    return summarizeChoice(span, m_index.newestCut(cameras, budget), m_index.newestFits(cameras, budget),
                           m_index.newestBucket(cameras), sizes(span, cameras).bytes);
}

ExportSelection ExportSession::selection() const
{
    return selectionOf(m_choice, m_index, budget(), QDateTime::currentSecsSinceEpoch());
}

bool ExportSession::canStart() const
{
    return (m_state == Ready || m_state == Done) && (m_choice.everyCamera || !m_choice.cameras.isEmpty())
            && selection().start != ExportSelection::kNoEnd;
}

void ExportSession::start()
{
    if (m_state == Idle) {
        emit error(tr("没有检测到U盘"));
        return;
    }
    if (m_state != Ready && m_state != Done)
        return;
    // The verification left the drive mounted read-only.
    if (m_device.isReadOnly() && !m_device.remount(false)) {
        emit error(tr("创建主机名目录失败"));
        return;
    }
    const QString mountPath = Settings::usbMountPathValue();
    m_targetPath = mountPath + QLatin1Char('/') + m_hostname;
    // Nothing is looked at under a host name that would climb out of the
    // mount point, nor on a mount point that the drive has left.
    if (!ExportTarget::isSafeName(m_hostname) || !ExportTarget::isMountedAt(mountPath)) {
        emit error(tr("创建主机名目录失败"));
        return;
    }
    const QString verify = Settings::readMonitorValue(QStringLiteral("System/VerifyExport"), QStringLiteral("true"));
    m_verify = verify != QLatin1String("false") && verify != QLatin1String("0");
    advance(Event::Start);
}

// The fit policy's decision on the plan: copy, ask, or nothing fits.
void ExportSession::onPlanned(const PlannedExport &planned)
{
    emit planFinished();
    const qint64 freeSpace = m_device.freeSpace();
    FitDecision decision = decideFit(planned, m_choice.span, freeSpace, m_device.deviceSize());
    m_cut = decision.cut;
    if (decision.kind == FitDecision::NothingFits) {
        qWarning() << "U盘空间不足，放不下任何所选录像";
        advance(Event::Refused);
        emit nothingFits(freeSpace);
        return;
    }
    if (decision.kind == FitDecision::Copy) {
        m_exported = std::make_unique<PlannedExport>(std::move(decision.exported));
        advance(Event::Fits);
        return;
    }
    if (decision.question.tooMuch)
        qWarning() << "U盘空间不足，需要:" << planned.spaceNeeded() << "可用:" << freeSpace;
    if (decision.question.tooLargeFiles > 0)
        qWarning() << "录像大于U盘文件系统的单个文件上限:" << decision.question.tooLargeFiles << "个,"
                   << decision.question.maxFileSize;
    m_question = decision.question;
    m_pending = std::make_unique<PlannedExport>(std::move(decision.exported));
    advance(Event::Ask);
}

void ExportSession::answer(bool yes)
{
    if (yes && m_state == Asking)
        m_exported = std::move(m_pending);
    // The drive may have gone, or the export been stopped, while the
    // question was open: then the table takes no answer.
    advance(yes ? Event::Yes : Event::No);
}

void ExportSession::beginExport()
{
    const PlannedExport &exported = *m_exported;
    if (m_cut)
        qInfo() << "只复制能放进U盘的最新录像，起始时间:" << exported.selection.start << "待复制:"
                << exported.plan.bytesToCopy << "字节";
    // The drive is untrusted: the target must be a real directory of the
    // drive itself, never a link planted there that leads back into the
    // recorder, and the host name must not climb out of the mount point.
    if (!m_device.isMounted() || !ExportTarget::prepare(exported.mountPath, m_hostname)) {
        emit error(tr("创建主机名目录失败"));
        advance(Event::Refused);
        return;
    }
    m_verdict = ExportVerdict();
    m_databaseRecord.clear();
    m_clock.start();
    m_started = QDateTime::currentDateTime();
    m_ledger = exported.ledger ? exported.ledger : std::make_shared<ExportLedger>();
    m_database->start(Settings::dbPathValue(), m_targetPath, m_ledger);
}

void ExportSession::startProof()
{
    ProofPhase::Input input;
    input.ledger = m_ledger;
    input.source = m_sourcePath;
    input.target = m_targetPath;
    input.mountPath = m_exported->mountPath;
    input.modifyWindow = m_exported->rules.modifyWindowSeconds;
    ExportRecord &record = input.record;
    record.hostname = m_hostname;
    record.version = QCoreApplication::applicationVersion();
    record.start = m_started;
    record.span = spanDescription(m_choice.span, m_exported->selection, m_cut);
    record.cameras = m_choice.everyCamera ? QStringList() : m_choice.cameras;
    record.database = m_databaseRecord;
    record.fileSystem = m_exported->drive.fileSystem;
    record.stickSize = m_device.deviceSize();
    m_proof->start(input);
}

const ExportProgress &ExportSession::progress() const
{
    return m_copy->progress();
}

const ExportProgress &ExportSession::verifyProgress() const
{
    return m_proof->progress();
}

int ExportSession::errorCount() const
{
    return m_sync.errorCount();
}

void ExportSession::shutDown(bool quietly)
{
    // The person is gone: what still fails reaches the log only.
    if (quietly) {
        disconnect(&m_device, &DeviceManager::error, this, &ExportSession::error);
        disconnect(&m_sync, &SyncManager::syncError, this, &ExportSession::error);
    }
    // Nobody waits for a box about an export that a way out stopped.
    m_verdict.leaving = true;
    stop();
    // A copy that had to be killed is reaped, helpers and all, before the
    // drive is let go: they may still hold files open on it.
    m_sync.waitForEnd(kKilledCopyMs);
    m_device.unmountDevice();
    requestQuit();
}
