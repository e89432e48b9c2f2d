#pragma once

#include "recordings/exportplan.h"
#include "recordings/recordingindex.h"

#include <QString>

#include <atomic>

// Total size in bytes of the regular files under `path`, as the recordings
// count shows it: entries whose names begin with "." are neither counted nor
// entered; symbolic links are followed (a link to a file counts the file, a
// link to a directory is entered); dangling links, device nodes, FIFOs and
// sockets add nothing; what cannot be read adds 0.
//
// A link back to a directory that is already being walked (an ancestor) is not
// entered again, so a cycle cannot recurse without end; every tree without
// such a cycle gets exactly the count of the unguarded walk, including a
// directory reached through two links, which is counted twice.
qint64 directorySize(const QString &path);

// The count as the window makes it when a drive is mounted: the same walk and
// total, and on the way the recordings' index by camera folder and time (see
// RecordingIndex), with what the export directory `target` on the drive
// already holds. Only what rsync -a would copy goes into the index: regular
// files reached without following a link. A set `cancelled` ends the walk
// within one system call, with a total of -1.
struct RecordingCount
{
    qint64 totalBytes = -1; // -1: cancelled
    RecordingIndex index;
};
RecordingCount countRecordings(const QString &path, const QString &target, const ExportPlan::Options &options,
                               qint64 now, const std::atomic<bool> &cancelled);
