#pragma once

#include <QtGlobal>

#include <vector>

// What one camera's recordings cover, for the export's record: where they
// start and end, how long they are together, and the gaps between them.
//
// A recording ends at its modification time (whole seconds, as the recorder
// left it) and starts its duration earlier, rounded to the second, the same
// start recordings.csv gives. A gap is any stretch longer than 10 s between
// the latest end so far and the next recording's start. A recording whose
// duration is unknown opens no gap before it (it may well cover the stretch)
// but its end counts: it closes any gap after it that it could.

constexpr qint64 kGapThresholdMs = 10 * 1000;
constexpr int kGapsKept = 20;

// The start, in seconds, of a recording that ends at `endSecs` and lasts
// `durationMs` (>= 0).
qint64 recordingStartSecs(qint64 endSecs, qint64 durationMs);

struct Gap
{
    qint64 startMs = 0;
    qint64 endMs = 0;
};

struct CameraTimeline
{
    qint64 firstStartMs = -1; // -1 until a recording was added
    qint64 lastEndMs = -1;
    qint64 totalMs = 0;       // the sum of the known durations
    int recordings = 0;
    int unknown = 0;          // recordings of unknown duration
    int gapCount = 0;
    std::vector<Gap> firstGaps; // the first kGapsKept gaps
};

// Fed one camera's recordings in the order of their ends; holds no more than
// the summary and the gaps it keeps, whatever their number.
class TimelineBuilder
{
public:
    // `durationMs` is -1 when unknown. Out of order recordings are taken as
    // they come: an end earlier than one seen before moves nothing back.
    void add(qint64 endSecs, qint64 durationMs);
    const CameraTimeline &result() const { return m_timeline; }

private:
    CameraTimeline m_timeline;
};
