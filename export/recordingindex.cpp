#include "export/recordingindex.h"

#include <algorithm>
#include <map>

namespace {

qint64 bucketOf(qint64 time)
{
    // Floor division: a time before 1970 still falls into the stretch below it.
    const qint64 bucket = time / RecordingIndex::kBucketSeconds;
    return (time % RecordingIndex::kBucketSeconds < 0) ? bucket - 1 : bucket;
}

constexpr std::array<Span, 4> kRecentSpans = {Span::LastHour, Span::Last24Hours, Span::Last3Days, Span::Last7Days};

int recentSlot(Span span)
{
    const auto found = std::find(kRecentSpans.cbegin(), kRecentSpans.cend(), span);
    return found == kRecentSpans.cend() ? -1 : int(found - kRecentSpans.cbegin());
}

} // namespace

bool ExportSelection::coversPath(const QString &relative, bool isDirectory) const
{
    if (cameras.isEmpty())
        return true;
    for (const QString &camera : cameras) {
        if (relative == camera || relative.startsWith(camera + QLatin1Char('/')))
            return true;
        // A directory on the way down to a chosen camera folder.
        if (isDirectory && camera.startsWith(relative + QLatin1Char('/')))
            return true;
    }
    return false;
}

qint64 spanSeconds(Span span)
{
    switch (span) {
    case Span::LastHour:
        return 3600;
    case Span::Last24Hours:
        return 24 * 3600;
    case Span::Last3Days:
        return 3 * 24 * 3600;
    case Span::Last7Days:
        return 7 * 24 * 3600;
    case Span::All:
    case Span::Custom:
    case Span::NewestThatFit:
        break;
    }
    return 0;
}

qint64 fileSystemMargin(qint64 capacity)
{
    return qBound<qint64>(1 << 20, capacity / 100, qint64(256) << 20);
}

RecordingIndex::RecordingIndex(qint64 now)
    : m_now(now)
    , m_sizes(1)
    , m_buckets(1)
{
}

int RecordingIndex::addCamera(const QString &relativePath)
{
    const int existing = int(m_cameras.indexOf(relativePath));
    if (existing >= 0)
        return existing;
    m_cameras.append(relativePath);
    m_sizes.emplace_back();
    m_buckets.emplace_back();
    return int(m_cameras.size()) - 1;
}

void RecordingIndex::addFile(int camera, qint64 time, const RecordingSizes &file)
{
    const size_t slot = size_t(camera + 1);
    if (slot >= m_sizes.size())
        return;
    CameraSizes &sizes = m_sizes[slot];
    sizes.all += file;
    for (size_t i = 0; i < kRecentSpans.size(); ++i) {
        if (time >= m_now - spanSeconds(kRecentSpans[i]))
            sizes.recent[i] += file;
    }
    m_buckets[slot][bucketOf(time)] += file;
}

void RecordingIndex::addTooLarge(qint64 bytes)
{
    ++m_tooLargeFiles;
    m_tooLargeBytes += bytes;
}

std::vector<int> RecordingIndex::chosen(const QStringList &cameras) const
{
    std::vector<int> slots;
    if (cameras.isEmpty()) {
        for (size_t slot = 0; slot < m_sizes.size(); ++slot)
            slots.push_back(int(slot));
        return slots;
    }
    for (const QString &name : cameras) {
        const int index = int(m_cameras.indexOf(name));
        if (index >= 0)
            slots.push_back(index + 1);
    }
    return slots;
}

RecordingSizes RecordingIndex::sizes(const QStringList &cameras) const
{
    RecordingSizes total;
    for (const int slot : chosen(cameras))
        total += m_sizes[size_t(slot)].all;
    return total;
}

RecordingSizes RecordingIndex::sizes(const QStringList &cameras, Span recent) const
{
    const int index = recentSlot(recent);
    if (index < 0)
        return sizes(cameras);
    RecordingSizes total;
    for (const int slot : chosen(cameras))
        total += m_sizes[size_t(slot)].recent[size_t(index)];
    return total;
}

RecordingSizes RecordingIndex::approximateSizes(const QStringList &cameras, qint64 start, qint64 end) const
{
    const qint64 first = bucketOf(start);
    const qint64 last = bucketOf(end);
    RecordingSizes total;
    for (const int slot : chosen(cameras)) {
        for (const auto &[bucket, sizes] : m_buckets[size_t(slot)]) {
            if (bucket >= first && bucket <= last)
                total += sizes;
        }
    }
    return total;
}

RecordingSizes RecordingIndex::sizesFrom(const QStringList &cameras, qint64 from) const
{
    if (from == ExportSelection::kNoStart)
        return sizes(cameras);
    const qint64 first = bucketOf(from);
    RecordingSizes total;
    for (const int slot : chosen(cameras)) {
        for (const auto &[bucket, sizes] : m_buckets[size_t(slot)]) {
            if (bucket >= first)
                total += sizes;
        }
    }
    return total;
}

qint64 RecordingIndex::newestCut(const QStringList &cameras, qint64 budget) const
{
    // One time cut across the chosen cameras: the stretches of all of them
    // together, newest first, until the next one would not fit.
    std::map<qint64, qint64, std::greater<>> space;
    for (const int slot : chosen(cameras)) {
        for (const auto &[bucket, sizes] : m_buckets[size_t(slot)])
            space[bucket] += sizes.spaceNeeded;
    }
    qint64 used = m_directorySpace;
    if (used > budget)
        return ExportSelection::kNoEnd;
    qint64 cut = ExportSelection::kNoEnd;
    for (const auto &[bucket, needed] : space) {
        if (used + needed > budget)
            return cut;
        used += needed;
        cut = bucket * kBucketSeconds;
    }
    return ExportSelection::kNoStart;
}

qint64 RecordingIndex::memoryBytes() const
{
    qint64 bytes = qint64(m_sizes.capacity() * sizeof(CameraSizes));
    for (const Buckets &buckets : m_buckets) {
        // A node of the map: the pair, the hash chain's pointer and the cached hash.
        bytes += qint64(buckets.size() * (sizeof(Buckets::value_type) + 2 * sizeof(void *))
                        + buckets.bucket_count() * sizeof(void *));
    }
    for (const QString &name : m_cameras)
        bytes += name.capacity() * 2;
    return bytes;
}
