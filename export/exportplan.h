#pragma once

#include <QString>

#include <atomic>

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
    qint64 tooLargeFiles = 0; // recordings larger than the drive can hold, left out of the above
    qint64 tooLargeBytes = 0;
    bool complete = true;     // false when the walk was cancelled

    struct Options
    {
        // Files larger than this cannot be written to the drive; -1: no limit.
        qint64 maxFileSize = -1;
        // Modification times that differ by at most this are the same, as
        // rsync's --modify-window sees them.
        int modifyWindowSeconds = 0;
        qint64 blockSize = 4096;
    };
};

// Walks `source` (names beginning with "." left out, as the copy leaves them
// out; links are not followed, as rsync -a copies them as links) against
// `target`. Nothing on the drive is followed or written: a link or anything
// but a directory where the target expects one counts as missing. A set
// `cancel` makes the walk stop early with complete == false.
ExportPlan planExport(const QString &source, const QString &target, const ExportPlan::Options &options,
                      const std::atomic<bool> *cancel = nullptr);
