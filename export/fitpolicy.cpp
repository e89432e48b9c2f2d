#include "export/fitpolicy.h"

#include <QCoreApplication>
#include <QDateTime>

FitDecision decideFit(const PlannedExport &planned, Span chosen, qint64 freeSpace, qint64 capacity)
{
    FitDecision decision;
    const bool fits = planned.fits(freeSpace, capacity);
    if (fits && planned.plan.tooLargeFiles == 0) {
        decision.kind = FitDecision::Copy;
        decision.exported = planned;
        return decision;
    }
    PlannedExport newest = fits ? PlannedExport() : planned.newestThatFits(freeSpace, capacity);
    if (!fits && newest.selection.start == ExportSelection::kNoEnd)
        return decision;
    // "The newest that fit" asks nothing about the space: it is what was chosen.
    const bool askAboutSpace = !fits && chosen != Span::NewestThatFit;
    decision.cut = !fits;
    decision.kind = askAboutSpace || planned.plan.tooLargeFiles > 0 ? FitDecision::Ask : FitDecision::Copy;
    FitQuestion &question = decision.question;
    question.tooMuch = askAboutSpace;
    question.bytesToCopy = planned.bytesToCopy();
    question.freeSpace = freeSpace;
    question.newestStart = newest.selection.start;
    question.newestBytes = newest.plan.bytesToCopy;
    question.tooLargeFiles = planned.plan.tooLargeFiles;
    question.tooLargeBytes = planned.plan.tooLargeBytes;
    question.maxFileSize = planned.drive.maxFileSize;
    if (fits)
        decision.exported = planned;
    else
        decision.exported = std::move(newest);
    return decision;
}

ChoiceSummary summarizeChoice(Span span, qint64 cut, bool somethingFits, qint64 newestBucket, qint64 bytes)
{
    ChoiceSummary summary;
    summary.bytes = bytes;
    if (span != Span::NewestThatFit)
        return summary;
    if (cut == ExportSelection::kNoEnd && !somethingFits) {
        summary.kind = ChoiceSummary::NothingFits;
    } else if (cut == ExportSelection::kNoEnd) {
        // Not even the newest half hour fits whole: 开始复制 cuts at a recording.
        summary.kind = ChoiceSummary::NewestPart;
        summary.time = newestBucket;
    } else if (cut == ExportSelection::kNoStart) {
        summary.kind = ChoiceSummary::AllFits;
    } else {
        summary.kind = ChoiceSummary::NewestFrom;
        summary.time = cut;
    }
    return summary;
}

RecordingSizes choiceSizes(const RecordingIndex &index, Span span, const QStringList &cameras,
                           const ExportChoice &choice, qint64 budget)
{
    switch (span) {
    case Span::All:
        return index.sizes(cameras);
    case Span::Custom:
        return index.approximateSizes(cameras, choice.customStart, choice.customEnd + 59);
    case Span::NewestThatFit: {
        const qint64 cut = index.newestCut(cameras, budget);
        if (cut != ExportSelection::kNoEnd)
            return index.sizesFrom(cameras, cut);
        // Part of the newest half hour: about as much as the drive takes.
        RecordingSizes part;
        if (index.newestFits(cameras, budget)) {
            index.newestBucket(cameras, &part);
            part.bytes = qMin(part.bytes, budget);
        }
        return part;
    }
    default:
        return index.sizes(cameras, span);
    }
}

ExportSelection selectionOf(const ExportChoice &choice, const RecordingIndex &index, qint64 budget, qint64 now)
{
    ExportSelection selection;
    // Every camera: the whole recordings directory, loose files included.
    if (!choice.everyCamera)
        selection.cameras = choice.cameras;
    switch (choice.span) {
    case Span::All:
        break;
    case Span::LastHour:
    case Span::Last24Hours:
    case Span::Last3Days:
    case Span::Last7Days:
        selection.start = now - spanSeconds(choice.span);
        break;
    case Span::Custom:
        selection.start = choice.customStart;
        // The whole last minute the person chose.
        selection.end = choice.customEnd + 59;
        break;
    case Span::NewestThatFit:
        // The cut itself is made, to the recording, when 开始复制 has looked
        // at the drive again.
        if (!index.newestFits(selection.cameras, budget))
            selection.start = ExportSelection::kNoEnd;
        break;
    }
    return selection;
}

QString spanDescription(Span span, const ExportSelection &selection, bool cut)
{
    const auto time = [](qint64 seconds) {
        return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    };
    QString text = spanLabel(span);
    if (selection.start != ExportSelection::kNoStart && selection.end != ExportSelection::kNoEnd)
        text += QCoreApplication::translate("Span", "（%1 至 %2）").arg(time(selection.start), time(selection.end));
    else if (selection.start != ExportSelection::kNoStart)
        text += QCoreApplication::translate("Span", "（%1 起）").arg(time(selection.start));
    if (cut)
        text += QCoreApplication::translate("Span", "，U盘放不下的更早录像未导出");
    return text;
}
