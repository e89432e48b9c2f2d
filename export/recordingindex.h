#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <array>
#include <deque>
#include <map>
#include <limits>
#include <vector>

// Sizes of a set of recordings: what they hold, and what the stick does not
// hold of them yet (rsync skips a file the stick has with the same size and
// time), in bytes and in the stick's blocks.
struct RecordingSizes
{
    qint64 files = 0;
    qint64 bytes = 0;
    qint64 filesToCopy = 0;
    qint64 bytesToCopy = 0;
    qint64 spaceNeeded = 0;

    RecordingSizes &operator+=(const RecordingSizes &other)
    {
        files += other.files;
        bytes += other.bytes;
        filesToCopy += other.filesToCopy;
        bytesToCopy += other.bytesToCopy;
        spaceNeeded += other.spaceNeeded;
        return *this;
    }
};

// What a person chose to export: camera folders and a span of time.
//
// A recording's time is its modification time, when its last byte was
// written; that needs no knowledge of how the recorder names its files. A
// recording belongs to the span when its time falls within it, or when it is
// the first recording of its folder written after the span's end, because
// that file holds the span's last minutes.
struct ExportSelection
{
    static constexpr qint64 kNoStart = std::numeric_limits<qint64>::min();
    static constexpr qint64 kNoEnd = std::numeric_limits<qint64>::max();

    // Camera folders relative to the recordings directory ("ch01",
    // "disk0/ch01"); empty means the whole directory, loose files included.
    QStringList cameras;
    qint64 start = kNoStart; // seconds since the epoch, inclusive
    qint64 end = kNoEnd;     // inclusive

    bool isEverything() const { return cameras.isEmpty() && start == kNoStart && end == kNoEnd; }
    bool inSpan(qint64 time) const { return time >= start && time <= end; }
    // Whether a path relative to the recordings directory lies in a chosen
    // camera folder (`isDirectory`: or leads to one).
    bool coversPath(const QString &relative, bool isDirectory) const;
};

// The spans the window offers.
enum class Span { All, LastHour, Last24Hours, Last3Days, Last7Days, Custom, NewestThatFit };

// Seconds that the "last ..." spans reach back; 0 for the others.
qint64 spanSeconds(Span span);

// What the recordings hold by camera folder and by time: kept by the count's
// walk, so that every choice the window offers can show its size without
// another walk. It keeps sums per camera and per half hour, never the list
// of files, so its size follows the recorder's hours, not its file count:
// 40 bytes a camera and half hour that holds recordings, 1.8 MB for 16
// cameras and two months. A walk adds a directory's files, ends the
// directory, and finishes the index before anything asks it.
class RecordingIndex
{
public:
    static constexpr qint64 kBucketSeconds = 1800;
    static constexpr int kCameraLoose = -1; // files outside every camera folder

    explicit RecordingIndex(qint64 now = 0);

    QStringList cameras() const { return m_cameras; }

    // Building, by a walk.
    int addCamera(const QString &relativePath);
    void addFile(int camera, qint64 time, const RecordingSizes &file);
    // The files added since the last call are all of their directory.
    void endDirectory();
    // Sorts what the walk added; the index answers from then on.
    void finish();
    // A directory the stick does not have yet: rsync creates it.
    void addDirectory(qint64 spaceNeeded) { m_directorySpace += spaceNeeded; }

    // The chosen cameras (empty: all, loose files included) over all time,
    // or over one of the "last ..." spans, counted exactly.
    RecordingSizes sizes(const QStringList &cameras) const;
    RecordingSizes sizes(const QStringList &cameras, Span recent) const;
    // Over [start, end]: whole half hours that meet the span, so at most
    // half an hour a camera more at either end than the span holds.
    RecordingSizes approximateSizes(const QStringList &cameras, qint64 start, qint64 end) const;
    // Exactly, from a stretch boundary on: what a cut of newestCut() selects.
    RecordingSizes sizesFrom(const QStringList &cameras, qint64 from) const;

    // The earliest stretch boundary from which on the chosen cameras' newest
    // recordings still fit into `budget` bytes of the stick (their space and
    // the directories'); kNoEnd when not even the newest stretch fits,
    // kNoStart when everything does.
    qint64 newestCut(const QStringList &cameras, qint64 budget) const;

private:
    struct CameraSizes
    {
        std::array<RecordingSizes, 4> recent; // the four "last ..." spans
        RecordingSizes all;
    };
    // One camera's half hour. Counts of files fit 32 bits where bytes do not.
    struct Bucket
    {
        qint32 stretch;
        quint32 files;
        quint32 filesToCopy;
        qint64 bytes;
        qint64 bytesToCopy;
        qint64 spaceNeeded;
        RecordingSizes sizes() const;
    };
    std::vector<int> chosen(const QStringList &cameras) const;

    qint64 m_now;
    QStringList m_cameras;
    std::vector<CameraSizes> m_sizes;   // per camera, loose files first
    // Per camera, loose files first; sorted by stretch once finished. A
    // deque grows without moving what it holds, so a long walk never needs
    // twice its size at once.
    std::vector<std::deque<Bucket>> m_buckets;
    // The current directory's stretches, (camera slot, stretch) -> sizes: a
    // directory holds a few days at most, in any order.
    std::map<std::pair<size_t, qint32>, RecordingSizes> m_pending;
    qint64 m_directorySpace = 0;
};

// The stick's margin for its own file system while it writes (journal,
// directory blocks, a FUSE driver's metadata): one percent of the drive, at
// least 1 MiB and at most 256 MiB.
qint64 fileSystemMargin(qint64 capacity);
