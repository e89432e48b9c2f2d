#include "proof/gaps.h"

#include <algorithm>

namespace {

// Modification times and durations come from the recordings' disk; these
// bounds (some 3 million years) keep every sum below overflow.
constexpr qint64 kMaxSecs = 100'000'000'000'000LL;
constexpr qint64 kMaxDurationMs = kMaxSecs;

} // namespace

qint64 recordingStartSecs(qint64 endSecs, qint64 durationMs)
{
    return std::clamp(endSecs, -kMaxSecs, kMaxSecs) - (std::clamp<qint64>(durationMs, 0, kMaxDurationMs) + 500) / 1000;
}

void TimelineBuilder::add(qint64 endSecs, qint64 durationMs)
{
    endSecs = std::clamp(endSecs, -kMaxSecs, kMaxSecs);
    const bool known = durationMs >= 0;
    const qint64 endMs = endSecs * 1000;
    const qint64 startMs = known ? recordingStartSecs(endSecs, durationMs) * 1000 : endMs;
    CameraTimeline &t = m_timeline;

    if (t.recordings > 0 && known && startMs - t.lastEndMs > kGapThresholdMs) {
        ++t.gapCount;
        if (t.firstGaps.size() < size_t(kGapsKept))
            t.firstGaps.push_back(Gap{t.lastEndMs, startMs});
    }
    t.firstStartMs = t.recordings > 0 ? std::min(t.firstStartMs, startMs) : startMs;
    t.lastEndMs = t.recordings > 0 ? std::max(t.lastEndMs, endMs) : endMs;
    if (known)
        t.totalMs = std::min(t.totalMs + std::min(durationMs, kMaxDurationMs), kMaxSecs * 1000);
    else
        ++t.unknown;
    ++t.recordings;
}
