#include "export/proofphase.h"

#include "config/settings.h"
#include "device/devicemanager.h"
#include "device/stickidentity.h"
#include "platform/backgroundjob.h"
#include "platform/clocksync.h"
#include "platform/descriptor.h"
#include "platform/fileutil.h"
#include "proof/recipientfiles.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>

#include <fcntl.h>

// What the proof's threads report.
struct ProofPhase::Shared
{
    std::atomic<qint64> doneBytes{0};
    Result result;
};

ProofPhase::ProofPhase(DeviceManager &device, const QElapsedTimer &clock, QObject *parent)
    : QObject(parent)
    , m_device(device)
    , m_clock(clock)
    , m_verifyJob(new BackgroundJob(this))
    , m_recordJob(new BackgroundJob(this))
{
    m_verifyJob->setObjectName(QStringLiteral("verifyJob"));
    m_recordJob->setObjectName(QStringLiteral("recordJob"));
    connect(m_verifyJob, &BackgroundJob::finished, this, &ProofPhase::onVerified);
    connect(m_recordJob, &BackgroundJob::finished, this, &ProofPhase::end);
    m_sampleTimer.setInterval(250);
    connect(&m_sampleTimer, &QTimer::timeout, this, [this] {
        m_progress.advanceTo(m_shared->doneBytes.load(), m_clock.elapsed());
        emit progressChanged();
    });
}

ProofPhase::~ProofPhase() = default;

void ProofPhase::start(const Input &input)
{
    m_running = true;
    m_input = input;
    auto shared = std::make_shared<Shared>();
    m_shared = shared;
    m_progress.start(input.ledger->totalBytes(), m_clock.elapsed());
    if (!m_device.remount(true)) {
        // The stick is gone when it did not come back at all: abandon() has
        // ended the proof meanwhile.
        if (m_running) {
            shared->result.problem = tr("无法重新挂载U盘以读回文件");
            end();
        }
        return;
    }
    m_sampleTimer.start();
    m_verifyJob->start([shared, input](const std::atomic<bool> &cancelled) {
        const Descriptor recordings(::open(QFile::encodeName(input.source).constData(),
                                           O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const Descriptor exported(::open(QFile::encodeName(input.target).constData(),
                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!exported.isValid()) {
            shared->result.problem = tr("无法读取U盘上的导出目录");
            return;
        }
        shared->result.ledger = input.ledger->verify(recordings.get(), exported.get(), input.modifyWindow, cancelled,
                                                     &shared->doneBytes);
    });
}

void ProofPhase::onVerified()
{
    m_sampleTimer.stop();
    const ExportLedger::Result &result = m_shared->result.ledger;
    qInfo() << "校验:" << result.verified << "个文件一致," << result.mismatched << "个不一致,"
            << result.changed << "个在导出期间被录像机改动或删除";
    // The manifest and the record go onto the stick after the verification,
    // with the stick writable again.
    if (!m_device.remount(false)) {
        m_shared->result.recordProblem = QStringLiteral("the stick could not be mounted writable again");
        if (m_running)
            end();
        return;
    }
    ExportRecord record = m_input.record;
    if (!m_shared->result.problem.isEmpty())
        record.verification = tr("未能校验：") + m_shared->result.problem + QStringLiteral(" (not verified)");
    else if (result.mismatched == 0)
        record.verification = tr("全部 %1 个文件与录像一致").arg(result.verified)
                + QStringLiteral(" (all %1 files match the recordings)").arg(result.verified);
    else
        record.verification = tr("校验失败：%1 个文件与录像不一致").arg(result.mismatched)
                + (result.counterfeit() ? tr("；U盘的实际容量可能小于其标称容量") : QString())
                + QStringLiteral(" (verification failed: %1 files differ from the recordings%2)")
                          .arg(result.mismatched)
                          .arg(result.counterfeit() ? QStringLiteral("; the stick may hold less than it claims")
                                                    : QString());
    m_recordJob->start([shared = m_shared, ledger = m_input.ledger, record, device = m_device.currentDevice(),
                        target = m_input.target, mountPath = m_input.mountPath,
                        keyPath = Settings::signingKeyPathValue()](const std::atomic<bool> &) mutable {
        const StickIdentity stick = stickIdentity(device);
        record.stickVendor = stick.vendor;
        record.stickModel = stick.model;
        record.stickSerial = stick.serial;
        switch (clockSynchronisation()) {
        case ClockSync::Synchronised: record.clock = QStringLiteral("已同步 synchronised"); break;
        case ClockSync::NotSynchronised: record.clock = QStringLiteral("未同步 not synchronised"); break;
        case ClockSync::Unknown: record.clock = QStringLiteral("未知 unknown"); break;
        }
        record.end = QDateTime::currentDateTime();
        const Descriptor dir(::open(QFile::encodeName(target).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.isValid()) {
            shared->result.recordProblem = QStringLiteral("the export directory cannot be opened");
            return;
        }
        const RecipientFiles files = writeRecipientFiles(dir.get(), *ledger, record, keyPath);
        shared->result.recordProblem = files.problem;
        shared->result.fingerprint = files.fingerprint;
        shared->result.unsignedReason = files.unsignedReason;
        shared->result.gaps = files.gaps;
        flushFileSystem(mountPath);
    });
}

void ProofPhase::Result::applyTo(ExportVerdict *verdict) const
{
    verdict->verified = problem.isEmpty() && ledger.complete;
    verdict->verificationProblem = problem;
    verdict->recordFailed = !recordProblem.isEmpty();
    verdict->verifiedFiles = ledger.verified;
    verdict->mismatched = ledger.mismatched;
    verdict->firstMismatched = ledger.firstMismatched;
    verdict->counterfeit = ledger.counterfeit();
    verdict->changed = ledger.changed;
    verdict->firstChanged = ledger.firstChanged;
    verdict->fingerprint = fingerprint;
    verdict->unsignedReason = unsignedReason;
    verdict->gaps = gaps;
    verdict->setOutcome(verdict->verified && ledger.mismatched == 0 ? ExportVerdict::Outcome::Completed
                                                                    : ExportVerdict::Outcome::VerificationFailed);
}

void ProofPhase::abandon(const QString &problem)
{
    if (!m_running)
        return;
    m_verifyJob->stop();
    m_recordJob->stop();
    m_shared->result.problem = problem;
    m_shared->result.ledger.complete = false;
    end();
}

void ProofPhase::cancel()
{
    m_running = false;
    m_sampleTimer.stop();
    m_verifyJob->stop();
    m_recordJob->stop();
}

void ProofPhase::end()
{
    m_running = false;
    m_sampleTimer.stop();
    m_progress.finish();
    if (!m_shared->result.recordProblem.isEmpty())
        qWarning() << "校验文件未能写入U盘:" << m_shared->result.recordProblem;
    emit finished(m_shared->result);
}
