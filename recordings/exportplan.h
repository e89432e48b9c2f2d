#pragma once

#include "device/drivecapabilities.h"
#include "recordings/recordingindex.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class ExportLedger;

struct stat;

// What an export still has to copy: the recordings that the target directory
// on the drive does not already hold with the same size and modification time
// (the ones rsync skips), found by one walk of both trees before anything is
// written. It gives the total that the progress is measured against and the
// space that the drive must have for the export to fit.
struct ExportPlan
{
    qint64 bytesToCopy = 0;   // file contents rsync will transfer
    qint64 filesToCopy = 0;
    qint64 spaceNeeded = 0;   // the same in the drive's blocks, new directories included
    qint64 directorySpace = 0; // of that, the directories rsync creates
    qint64 tooLargeFiles = 0; // recordings larger than the drive can hold, left out of the above
    qint64 tooLargeBytes = 0;
    bool complete = true;     // false when the walk was cancelled

    // The drive's rules the walk measures against.
    using Options = DriveRules;
};

// What one recording `source` (named `name` in its directory) costs the
// drive whose copy of that directory is `targetFd` (-1: none): nothing to
// copy when the drive holds a regular file of the same size and time (rsync's
// quick check), else its bytes and blocks. Nothing on the drive is followed.
RecordingSizes sizesOnDrive(const struct stat &source, int targetFd, const char *name,
                            const ExportPlan::Options &options);

// Walks `source` (see RecordingWalk; links are not followed, as rsync -a
// copies them as links) against `target`. Nothing on the drive is followed or
// written: a link or anything but a directory where the target expects one
// counts as missing. A set `cancel` makes the walk stop early with
// complete == false.
//
// Only the recordings of `selection` count. Each of them also goes into
// `newest` when one is given, and its path relative to `source` to `visit`,
// which returns false to end the walk.
using RecordingVisitor = std::function<bool(const char *relativePath, size_t length)>;
ExportPlan planExport(const QString &source, const QString &target, const ExportPlan::Options &options,
                      const std::atomic<bool> *cancel = nullptr, const ExportSelection &selection = ExportSelection(),
                      NewestCut *newest = nullptr, const RecordingVisitor &visit = RecordingVisitor(),
                      ExportLedger *ledger = nullptr);

// Writes the paths of the recordings of `selection` (relative to `source`,
// each ended by a NUL, as "rsync --from0 --files-from=-" reads them) to the
// stream socket `fd` while its reader takes them, walking the recordings as it
// goes: a million chosen files never sit in memory as a list. False when the
// reader went away or the walk was cancelled.
bool writeRecordingList(int fd, const QString &source, const ExportSelection &selection,
                        const std::atomic<bool> &cancelled);

// Everything that 开始复制 needs to know before it writes to the drive: what
// the drive's file system can hold, the rsync options that follow from it,
// and what is left to copy.
struct PlannedExport
{
    QString mountPath;
    DriveCapabilities drive;
    DriveRules rules;
    ExportSelection selection;
    ExportPlan plan;
    // The selection's newest recordings by time, to find its newest part
    // that fits, to the recording.
    NewestCut newest;
    // Every chosen recording, for the proof of what the stick holds.
    std::shared_ptr<ExportLedger> ledger;
    qint64 databaseBytes = 0;  // the alarm database, a new snapshot of it

    qint64 bytesToCopy() const { return plan.bytesToCopy + databaseBytes; }
    qint64 spaceNeeded() const { return plan.spaceNeeded + databaseBytes; }
    // False when the drive's free space, less what its file system needs for
    // itself while it writes, cannot take what is left to copy.
    bool fits(qint64 freeSpace, qint64 capacity) const;
    // The newest part of the selection that fits (one time cut across its
    // cameras, at a recording); its plan holds that part's figures. The
    // selection's start is kNoEnd when not even its newest recordings fit.
    PlannedExport newestThatFits(qint64 freeSpace, qint64 capacity) const;
};

// Probes the drive mounted at `mountPath` (see probeDrive()) and walks the
// chosen recordings of `source` against the export directory `target` on it.
// Meant for a background thread: a set `cancel` ends the walk early.
PlannedExport planExportTo(const QString &mountPath, const QString &source, const QString &target,
                           const QString &databasePath, const ExportSelection &selection,
                           const std::atomic<bool> *cancel);
