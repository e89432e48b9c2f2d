#include "recordings/exportplan.h"

#include "proof/ledger.h"
#include "recordings/recordingwalk.h"

#include <QFileInfo>
#include <QStorageInfo>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

// The plan: what each chosen recording costs the drive, and the recordings
// themselves for a visitor.
class Planner : public RecordingWalk::Visitor
{
public:
    Planner(const ExportPlan::Options &options, NewestCut *newest, const RecordingVisitor &visit, ExportLedger *ledger)
        : m_options(options)
        , m_newest(newest)
        , m_visit(visit)
        , m_ledger(ledger)
    {
    }

    ExportPlan plan;

    void recording(const RecordingWalk::Place &place, const char *name, const struct stat &st) override
    {
        if (m_stopped)
            return;
        if (m_options.maxFileSize >= 0 && st.st_size > m_options.maxFileSize) {
            ++plan.tooLargeFiles;
            plan.tooLargeBytes += st.st_size;
            return;
        }
        const RecordingSizes sizes = sizesOnDrive(st, place.targetFd, name, m_options);
        if (m_newest)
            m_newest->add(st.st_mtime, sizes);
        if (m_visit || m_ledger) {
            std::string path = place.relative;
            if (!path.empty())
                path += '/';
            path += name;
            if (m_ledger)
                m_ledger->add(path, place.camera, st);
            if (m_visit)
                m_stopped = !m_visit(path.c_str(), path.size());
        }
        plan.filesToCopy += sizes.filesToCopy;
        plan.bytesToCopy += sizes.bytesToCopy;
        plan.spaceNeeded += sizes.spaceNeeded;
    }
    int camera(const QString &relative) override
    {
        if (!m_ledger)
            return RecordingIndex::kCameraLoose;
        m_cameras << relative;
        m_ledger->setCameras(m_cameras);
        return int(m_cameras.size()) - 1;
    }
    void missingDirectory() override
    {
        plan.spaceNeeded += m_options.blockSize;
        plan.directorySpace += m_options.blockSize;
    }
    bool wantsMore() const override { return !m_stopped; }

private:
    ExportPlan::Options m_options;
    NewestCut *m_newest;
    const RecordingVisitor &m_visit;
    ExportLedger *m_ledger;
    QStringList m_cameras;
    bool m_stopped = false;
};

} // namespace

RecordingSizes sizesOnDrive(const struct stat &source, int targetFd, const char *name,
                            const ExportPlan::Options &options)
{
    RecordingSizes sizes;
    sizes.files = 1;
    sizes.bytes = source.st_size;
    struct stat target;
    // rsync's quick check: a regular file of the same size whose time is
    // within the window is left as it is.
    if (targetFd != -1 && ::fstatat(targetFd, name, &target, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(target.st_mode)
            && quickCheckSame(target.st_size, target.st_mtime, source.st_size, source.st_mtime,
                              options.modifyWindowSeconds))
        return sizes;
    const qint64 block = options.blockSize > 0 ? options.blockSize : 1;
    sizes.filesToCopy = 1;
    sizes.bytesToCopy = source.st_size;
    sizes.spaceNeeded = (source.st_size + block - 1) / block * block;
    return sizes;
}

ExportPlan planExport(const QString &source, const QString &target, const ExportPlan::Options &options,
                      const std::atomic<bool> *cancel, const ExportSelection &selection, NewestCut *newest,
                      const RecordingVisitor &visit, ExportLedger *ledger)
{
    RecordingWalk::Options walk;
    walk.selection = selection;
    walk.target = target;
    walk.cancel = cancel;
    Planner planner(options, newest, visit, ledger);
    planner.plan.complete = RecordingWalk(walk).walk(source, planner);
    return planner.plan;
}

bool writeRecordingList(int fd, const QString &source, const ExportSelection &selection,
                        const std::atomic<bool> &cancelled)
{
    constexpr size_t kChunk = size_t(64) * 1024;
    std::string pending;
    pending.reserve(kChunk + 4096);
    bool readerThere = true;
    const auto send = [&] {
        size_t done = 0;
        while (done < pending.size()) {
            // MSG_NOSIGNAL: a reader that has gone is an EPIPE here, not a
            // SIGPIPE for the whole tool.
            const ssize_t n = ::send(fd, pending.data() + done, pending.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        pending.clear();
        return true;
    };
    const RecordingVisitor visit = [&](const char *path, size_t length) {
        pending.append(path, length).push_back('\0');
        if (pending.size() >= kChunk)
            readerThere = send();
        return readerThere && !cancelled.load(std::memory_order_relaxed);
    };
    // Nothing on the drive is looked at: rsync compares for itself.
    planExport(source, QString(), ExportPlan::Options(), &cancelled, selection, nullptr, visit);
    return readerThere && !cancelled.load() && send();
}

bool PlannedExport::fits(qint64 freeSpace, qint64 capacity) const
{
    return spaceNeeded() + fileSystemMargin(capacity) <= freeSpace;
}

PlannedExport PlannedExport::newestThatFits(qint64 freeSpace, qint64 capacity) const
{
    PlannedExport part = *this;
    part.newest = NewestCut();
    // Directories rsync creates stay counted in full.
    const qint64 budget = recordingBudget(freeSpace, capacity, databaseBytes) - plan.directorySpace;
    const qint64 cut = newest.cut(budget);
    if (cut == ExportSelection::kNoStart)
        return part;
    part.selection.start = qMax(selection.start, cut);
    const RecordingSizes kept = cut == ExportSelection::kNoEnd ? RecordingSizes() : newest.sizesFrom(cut);
    part.plan.filesToCopy = kept.filesToCopy;
    part.plan.bytesToCopy = kept.bytesToCopy;
    part.plan.spaceNeeded = kept.spaceNeeded + plan.directorySpace;
    // Only the recordings from the cut on are proved.
    if (ledger) {
        auto chosen = std::make_shared<ExportLedger>();
        chosen->setCameras(ledger->cameras());
        for (int i = 0; i < ledger->size(); ++i) {
            if (ledger->entry(i).mtime >= part.selection.start)
                chosen->copyEntry(*ledger, i);
        }
        chosen->sort();
        part.ledger = chosen;
    }
    return part;
}

PlannedExport planExportTo(const QString &mountPath, const QString &source, const QString &target,
                           const QString &databasePath, const ExportSelection &selection,
                           const std::atomic<bool> *cancel)
{
    PlannedExport planned;
    planned.mountPath = mountPath;
    planned.selection = selection;
    planned.drive = probeDrive(mountPath);
    planned.rules = driveRules(planned.drive, mountPath);
    // Every export takes a new snapshot of the alarm database; an earlier
    // copy on the drive stays beside it.
    planned.databaseBytes = QFileInfo(databasePath).size();
    // Of the newest recordings, only what the drive may take is held.
    const QStorageInfo drive(mountPath);
    planned.newest = NewestCut(recordingBudget(drive.bytesAvailable(), drive.bytesTotal(), planned.databaseBytes));
    planned.ledger = std::make_shared<ExportLedger>();
    planned.plan = planExport(source, target, planned.rules, cancel, selection, &planned.newest, RecordingVisitor(),
                              planned.ledger.get());
    planned.ledger->sort();
    return planned;
}
