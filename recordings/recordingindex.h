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

    // The earliest half-hour boundary from which on the chosen cameras'
    // newest recordings still fit into `budget` bytes of the stick (their
    // space and the directories'); kNoEnd when not even the newest half hour
    // fits, kNoStart when everything does. An estimate for the window: the
    // exact cut, to the recording, is NewestCut's, made at 开始复制.
    qint64 newestCut(const QStringList &cameras, qint64 budget) const;
    // Whether the chosen cameras' newest recording (with any of the same
    // time) fits into `budget`, with the directories: whether anything does.
    bool newestFits(const QStringList &cameras, qint64 budget) const;
    // The start of the newest half hour of the chosen cameras, and its size;
    // kNoEnd without recordings.
    qint64 newestBucket(const QStringList &cameras, RecordingSizes *sizes = nullptr) const;

private:
    struct CameraSizes
    {
        std::array<RecordingSizes, 4> recent; // the four "last ..." spans
        RecordingSizes all;
        // The newest recording, with those of the same time.
        qint64 newestTime = std::numeric_limits<qint64>::min();
        RecordingSizes newest;
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

// "The newest that fit", cut at a recording: one time across the chosen
// cameras, every chosen recording at or after it and as much as the stick
// takes. A walk adds the recordings in any order; only the newest of them
// that may still fit are held, by their time (so that recordings of the
// same time go together or not at all): once what is newer than a time
// already needs more than `budget`, nothing of that time or before can be
// part of the cut and it goes. So what is held is about as many times as
// the stick takes recordings, a few hundred of large ones. Past kMaxTimes
// times, neighbouring times are merged in steps of 2, 4, ... seconds, which
// keeps the cut one time, still exact to the step, and the memory bounded.
class NewestCut
{
public:
    static constexpr size_t kMaxTimes = 4096;

    explicit NewestCut(qint64 budget = std::numeric_limits<qint64>::max());
    void add(qint64 time, const RecordingSizes &sizes);
    // The earliest time from which on all recordings fit into `budget`
    // (at most the one given at construction): kNoStart when all of them
    // do, kNoEnd when not even those of the newest time do.
    qint64 cut(qint64 budget) const;
    // What the recordings at or after `time` (a cut) hold.
    RecordingSizes sizesFrom(qint64 time) const;
    // The seconds times are held in.
    qint64 step() const { return m_step; }

private:
    void prune();
    qint64 stepOf(qint64 time) const;

    qint64 m_budget;
    qint64 m_step = 1;
    qint64 m_held = 0;      // space of what is held
    bool m_dropped = false; // older recordings were let go
    qint64 m_floor = 0;     // and all of them were older than this
    std::map<qint64, RecordingSizes> m_byTime;
};

// The stick's margin for its own file system while it writes (journal,
// directory blocks, a FUSE driver's metadata): one percent of the drive, at
// least 1 MiB and at most 256 MiB.
qint64 fileSystemMargin(qint64 capacity);

// What a drive can take for recordings: its free space less its file
// system's margin and the alarm database's snapshot that every export takes.
qint64 recordingBudget(qint64 freeSpace, qint64 capacity, qint64 databaseBytes);

// The span as the window and the record name it ("最近 24 小时").
QString spanLabel(Span span);
