#pragma once

#include "platform/descriptor.h"
#include "recordings/recordingindex.h"

#include <QString>

#include <atomic>
#include <string>

struct stat;

// The one walk of the recordings directory, which the count, the plan and the
// list for rsync all make: names beginning with "." are neither taken nor
// entered, as the copy leaves them out; camera folders are the top-level
// folders, or, while there is exactly one, the folders below it; each chosen
// directory is looked up in the export directory on the drive, without
// following anything there.
//
// Descriptors do the walking: each entry is examined with fstatat relative to
// its directory, and the type readdir reports saves the stat of every plain
// subdirectory. A directory stays open while the ones below it are walked, so
// a walk holds one descriptor of the recordings per level (and one of the
// drive's).
class RecordingWalk
{
public:
    struct Options
    {
        // The count follows links, as the size shown always has (a link to a
        // file counts the file, a link to a directory is entered, once per
        // path, never into an ancestor). What is reached through a link is
        // never a recording: rsync -a copies the link itself.
        bool followLinks = false;
        // Only these recordings, with their span rule applied per folder.
        ExportSelection selection;
        // The export directory on the drive; empty: nothing is looked up.
        QString target;
        const std::atomic<bool> *cancel = nullptr;
    };

    // Where a directory of the walk stands.
    struct Place
    {
        std::string relative;                        // below the recordings directory; "" at the top
        int camera = RecordingIndex::kCameraLoose;
        int targetFd = -1;                           // the same directory in the export on the drive, or -1
        bool real = true;                            // reached without following a link
        bool aboveCameras = true;                    // a folder of the chain above the camera folders
    };

    // What the walk finds, in the order it finds it.
    class Visitor
    {
    public:
        virtual ~Visitor() = default;
        // A chosen recording: a regular file of `place`, which is real.
        virtual void recording(const Place &place, const char *name, const struct stat &st) = 0;
        // A regular file reached through a link (only when links are followed).
        virtual void linkedFile(const struct stat &st) { (void)st; }
        // A camera folder, by its path below the recordings directory; the
        // number it returns comes back in Place::camera below it.
        virtual int camera(const QString &relative) { (void)relative; return RecordingIndex::kCameraLoose; }
        // A chosen directory that the export directory on the drive lacks
        // (or all of them, when there is none): rsync creates it.
        virtual void missingDirectory() {}
        // All recordings of the latest directory have been reported.
        virtual void directoryDone() {}
        // False ends the walk.
        virtual bool wantsMore() const { return true; }
    };

    explicit RecordingWalk(const Options &options);
    // Walks `source`, whose own path may hold links (it is the recorder's).
    // False when the walk was cancelled.
    bool walk(const QString &source, Visitor &visitor);

private:
    bool cancelled() const;
    // Walks the directory `directory`, which it takes over.
    void walkDirectory(Descriptor directory, const Place &place, Visitor &visitor);
    bool isAncestor(const struct stat &st) const;

    Options m_options;
    std::vector<std::pair<dev_t, ino_t>> m_ancestors;
};
