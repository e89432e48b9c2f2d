#include "recordings/recordingindex.h"

#include <QCoreApplication>

#include <algorithm>
#include <limits>

namespace {

qint64 bucketOf(qint64 time)
{
    // Floor division: a time before 1970 still falls into the stretch below it.
    const qint64 bucket = time / RecordingIndex::kBucketSeconds;
    return (time % RecordingIndex::kBucketSeconds < 0) ? bucket - 1 : bucket;
}

// Stretches of half an hour span ±120,000 years in 32 bits; a time beyond
// that (a file system's nonsense) is held at the edge.
qint32 stretchOf(qint64 time)
{
    return qint32(qBound<qint64>(std::numeric_limits<qint32>::min(), bucketOf(time), std::numeric_limits<qint32>::max()));
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
        return qint64(24) * 3600;
    case Span::Last3Days:
        return qint64(3) * 24 * 3600;
    case Span::Last7Days:
        return qint64(7) * 24 * 3600;
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
    // Loose files (camera -1) take the first slot.
    if (camera < RecordingIndex::kCameraLoose)
        return;
    const size_t slot = camera == kCameraLoose ? 0 : size_t(camera) + 1;
    if (slot >= m_sizes.size())
        return;
    CameraSizes &sizes = m_sizes[slot];
    sizes.all += file;
    if (time > sizes.newestTime) {
        sizes.newestTime = time;
        sizes.newest = RecordingSizes();
    }
    if (time == sizes.newestTime)
        sizes.newest += file;
    for (size_t i = 0; i < kRecentSpans.size(); ++i) {
        if (time >= m_now - spanSeconds(kRecentSpans[i]))
            sizes.recent[i] += file;
    }
    m_pending[{slot, stretchOf(time)}] += file;
}

void RecordingIndex::endDirectory()
{
    for (const auto &[key, sizes] : m_pending) {
        m_buckets[key.first].push_back(Bucket{key.second, quint32(sizes.files), quint32(sizes.filesToCopy), sizes.bytes,
                                              sizes.bytesToCopy, sizes.spaceNeeded});
    }
    m_pending.clear();
}

void RecordingIndex::finish()
{
    endDirectory();
    for (std::deque<Bucket> &buckets : m_buckets) {
        std::sort(buckets.begin(), buckets.end(), [](const Bucket &a, const Bucket &b) { return a.stretch < b.stretch; });
        // Directories that share a half hour (a day's last and the next day's
        // first recordings) become one bucket.
        size_t kept = 0;
        for (size_t i = 0; i < buckets.size(); ++i) {
            if (kept > 0 && buckets[kept - 1].stretch == buckets[i].stretch) {
                Bucket &into = buckets[kept - 1];
                into.files += buckets[i].files;
                into.filesToCopy += buckets[i].filesToCopy;
                into.bytes += buckets[i].bytes;
                into.bytesToCopy += buckets[i].bytesToCopy;
                into.spaceNeeded += buckets[i].spaceNeeded;
            } else {
                buckets[kept++] = buckets[i];
            }
        }
        buckets.resize(kept);
        buckets.shrink_to_fit();
    }
}

RecordingSizes RecordingIndex::Bucket::sizes() const
{
    RecordingSizes result;
    result.files = files;
    result.filesToCopy = filesToCopy;
    result.bytes = bytes;
    result.bytesToCopy = bytesToCopy;
    result.spaceNeeded = spaceNeeded;
    return result;
}

std::vector<int> RecordingIndex::chosen(const QStringList &cameras) const
{
    std::vector<int> chosenSlots;
    if (cameras.isEmpty()) {
        for (size_t slot = 0; slot < m_sizes.size(); ++slot)
            chosenSlots.push_back(int(slot));
        return chosenSlots;
    }
    for (const QString &name : cameras) {
        const int index = int(m_cameras.indexOf(name));
        if (index >= 0)
            chosenSlots.push_back(index + 1);
    }
    return chosenSlots;
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
        for (const Bucket &bucket : m_buckets[size_t(slot)]) {
            if (bucket.stretch >= first && bucket.stretch <= last)
                total += bucket.sizes();
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
        for (const Bucket &bucket : m_buckets[size_t(slot)]) {
            if (bucket.stretch >= first)
                total += bucket.sizes();
        }
    }
    return total;
}

qint64 RecordingIndex::newestCut(const QStringList &cameras, qint64 budget) const
{
    // One time cut across the chosen cameras: the stretches of all of them
    // together, newest first, until the next one would not fit.
    // Each camera's half hours are sorted; they are merged from the newest
    // down without another copy of them.
    struct Head
    {
        std::deque<Bucket>::const_reverse_iterator next, end;
    };
    std::vector<Head> heads;
    for (const int slot : chosen(cameras))
        heads.push_back({m_buckets[size_t(slot)].crbegin(), m_buckets[size_t(slot)].crend()});
    qint64 used = m_directorySpace;
    if (used > budget)
        return ExportSelection::kNoEnd;
    qint64 cut = ExportSelection::kNoEnd;
    for (;;) {
        bool any = false;
        qint32 stretch = std::numeric_limits<qint32>::min();
        for (const Head &head : heads) {
            if (head.next != head.end) {
                stretch = any ? std::max(stretch, head.next->stretch) : head.next->stretch;
                any = true;
            }
        }
        if (!any)
            break;
        // Every camera's share of one half hour, together.
        qint64 needed = 0;
        for (Head &head : heads) {
            if (head.next != head.end && head.next->stretch == stretch)
                needed += (head.next++)->spaceNeeded;
        }
        if (used + needed > budget)
            return cut;
        used += needed;
        cut = qint64(stretch) * kBucketSeconds;
    }
    return ExportSelection::kNoStart;
}

bool RecordingIndex::newestFits(const QStringList &cameras, qint64 budget) const
{
    qint64 newest = std::numeric_limits<qint64>::min();
    qint64 space = 0;
    bool any = false;
    for (const int slot : chosen(cameras)) {
        const CameraSizes &camera = m_sizes[size_t(slot)];
        if (camera.newest.files == 0)
            continue;
        if (!any || camera.newestTime > newest) {
            newest = camera.newestTime;
            space = 0;
        }
        any = true;
        if (camera.newestTime == newest)
            space += camera.newest.spaceNeeded;
    }
    return any && m_directorySpace + space <= budget;
}

qint64 RecordingIndex::newestBucket(const QStringList &cameras, RecordingSizes *sizes) const
{
    qint32 newest = std::numeric_limits<qint32>::min();
    bool any = false;
    for (const int slot : chosen(cameras)) {
        const std::deque<Bucket> &buckets = m_buckets[size_t(slot)];
        if (!buckets.empty() && (!any || buckets.back().stretch > newest)) {
            newest = buckets.back().stretch;
            any = true;
        }
    }
    if (!any)
        return ExportSelection::kNoEnd;
    if (sizes) {
        *sizes = RecordingSizes();
        for (const int slot : chosen(cameras)) {
            const std::deque<Bucket> &buckets = m_buckets[size_t(slot)];
            if (!buckets.empty() && buckets.back().stretch == newest)
                *sizes += buckets.back().sizes();
        }
    }
    return qint64(newest) * kBucketSeconds;
}

NewestCut::NewestCut(qint64 budget)
    : m_budget(budget)
{
}

qint64 NewestCut::stepOf(qint64 time) const
{
    return time - (((time % m_step) + m_step) % m_step);
}

void NewestCut::add(qint64 time, const RecordingSizes &sizes)
{
    // Older than what already had to go: it cannot be part of the cut.
    if (m_dropped && time < m_floor)
        return;
    m_byTime[stepOf(time)] += sizes;
    m_held += sizes.spaceNeeded;
    prune();
    while (m_byTime.size() > kMaxTimes) {
        m_step *= 2;
        std::map<qint64, RecordingSizes> merged;
        for (const auto &[held, heldSizes] : m_byTime)
            merged[stepOf(held)] += heldSizes;
        m_byTime.swap(merged);
    }
}

void NewestCut::prune()
{
    // The oldest time goes once what is newer than it alone needs more than
    // the stick takes.
    while (!m_byTime.empty() && m_held - m_byTime.cbegin()->second.spaceNeeded > m_budget) {
        m_held -= m_byTime.cbegin()->second.spaceNeeded;
        m_floor = m_byTime.cbegin()->first + m_step;
        m_byTime.erase(m_byTime.cbegin());
        m_dropped = true;
    }
}

qint64 NewestCut::cut(qint64 budget) const
{
    budget = std::min(budget, m_budget);
    qint64 used = 0;
    qint64 cut = ExportSelection::kNoEnd;
    for (auto it = m_byTime.crbegin(); it != m_byTime.crend(); ++it) {
        if (used + it->second.spaceNeeded > budget)
            return cut;
        used += it->second.spaceNeeded;
        // A step merged after older times went reaches below what is held.
        cut = m_dropped ? std::max(it->first, m_floor) : it->first;
    }
    // Everything held fits; so does everything, unless older recordings had
    // to go, which start before the oldest held.
    if (m_byTime.empty())
        return m_dropped ? ExportSelection::kNoEnd : ExportSelection::kNoStart;
    return m_dropped ? cut : ExportSelection::kNoStart;
}

RecordingSizes NewestCut::sizesFrom(qint64 time) const
{
    RecordingSizes total;
    for (auto it = m_byTime.lower_bound(stepOf(time)); it != m_byTime.cend(); ++it)
        total += it->second;
    return total;
}

qint64 recordingBudget(qint64 freeSpace, qint64 capacity, qint64 databaseBytes)
{
    return freeSpace - fileSystemMargin(capacity) - databaseBytes;
}

QString spanLabel(Span span)
{
    switch (span) {
    case Span::All: return QCoreApplication::translate("Span", "全部录像");
    case Span::LastHour: return QCoreApplication::translate("Span", "最近 1 小时");
    case Span::Last24Hours: return QCoreApplication::translate("Span", "最近 24 小时");
    case Span::Last3Days: return QCoreApplication::translate("Span", "最近 3 天");
    case Span::Last7Days: return QCoreApplication::translate("Span", "最近 7 天");
    case Span::Custom: return QCoreApplication::translate("Span", "自定义时间段");
    case Span::NewestThatFit: return QCoreApplication::translate("Span", "能放进U盘的最新录像");
    }
    return QString();
}
