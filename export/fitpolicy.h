#pragma once

#include "recordings/exportplan.h"

#include <QMetaType>
#include <QStringList>

// What the person chose in the window: a span of time and the cameras.
struct ExportChoice
{
    Span span = Span::All;
    // Every camera folder and the loose files; else only `cameras`.
    bool everyCamera = true;
    QStringList cameras;
    // Span::Custom, to the minute: from the start of `customStart`'s minute
    // to the end of `customEnd`'s, seconds since the epoch.
    qint64 customStart = 0;
    qint64 customEnd = 0;
};

// What the session asks before it writes to the drive: whether to copy the
// newest part of a choice that does not fit, or a choice whose largest files
// the drive cannot hold.
struct FitQuestion
{
    bool tooMuch = false;       // the choice does not fit
    qint64 bytesToCopy = 0;     // what the choice still has to copy
    qint64 freeSpace = 0;
    qint64 newestStart = 0;     // what Yes copies instead: from this time on,
    qint64 newestBytes = 0;     // this much
    qint64 tooLargeFiles = 0;   // recordings the drive cannot hold, left out
    qint64 tooLargeBytes = 0;
    qint64 maxFileSize = -1;
};

// The fit policy's answer to a plan: copy it (whole or its newest part that
// fits), ask the person first, or refuse because nothing fits.
struct FitDecision
{
    enum Kind { Copy, Ask, NothingFits };
    Kind kind = NothingFits;
    // What Copy copies, and what Yes to the question copies.
    PlannedExport exported;
    // `exported` is the newest part of the plan that fits.
    bool cut = false;
    FitQuestion question;
};

// The fit policy, from the plan of the chosen recordings against the drive
// and the drive's free space and capacity now: a plan that fits is copied;
// one that does not is cut to its newest part, without a question when "the
// newest that fit" is what was chosen; recordings larger than the drive's
// largest file are asked about. Pure: no drive, no window.
FitDecision decideFit(const PlannedExport &planned, Span chosen, qint64 freeSpace, qint64 capacity);

// What the line under the bar says 开始复制 will copy, from the count's
// estimate, before the drive is looked at again.
struct ChoiceSummary
{
    enum Kind {
        Selected,       // a span chosen by hand: that much
        AllFits,        // the newest that fit is everything chosen
        NewestFrom,     // from `time` on
        NewestPart,     // part of the half hour from `time` on
        NothingFits,
    };
    Kind kind = Selected;
    qint64 time = 0;
    qint64 bytes = 0;
};

// The same decision for the window's estimate: `cut` and `somethingFits` as
// RecordingIndex::newestCut() and newestFits() give them for the budget.
ChoiceSummary summarizeChoice(Span span, qint64 cut, bool somethingFits, qint64 newestBucket, qint64 bytes);

// The size of `span` of `cameras` (empty: all) from the count's index, with
// `budget` what the drive can take for recordings (for the newest that fit)
// and `choice` for the custom span.
RecordingSizes choiceSizes(const RecordingIndex &index, Span span, const QStringList &cameras,
                           const ExportChoice &choice, qint64 budget);

// What `choice` selects now (seconds since the epoch): the span's times and
// the cameras; a start of kNoEnd when not even the newest recordings fit.
ExportSelection selectionOf(const ExportChoice &choice, const RecordingIndex &index, qint64 budget, qint64 now);

// The span as the record names it: its name, its times, and whether older
// recordings were left out because the drive could not take them.
QString spanDescription(Span span, const ExportSelection &selection, bool cut);

Q_DECLARE_METATYPE(FitQuestion)
