#pragma once

#include "export/exportsession.h"

#include <QCoreApplication>
#include <QString>

// What the window says, from the session's figures: sizes, times, the line
// under the bar, the question and the verdict's box. The window decides
// nothing with them; it shows them.
class ExportTexts
{
    Q_DECLARE_TR_FUNCTIONS(ExportTexts)
public:
    // A byte count: B, KB, MB or GB with two decimals.
    static QString size(qint64 bytes);
    // The time an export still needs, rounded the way a person says it; a
    // negative count means there is not enough to estimate yet.
    static QString remaining(qint64 seconds);
    // How long something took: "12 秒", "3 分 5 秒", "1 小时 20 分钟".
    static QString duration(qint64 seconds);
    // Seconds since the epoch, to the minute and to the second.
    static QString time(qint64 seconds);
    static QString exactTime(qint64 seconds);

    // The status line while the copy, the flush or the read-back runs.
    static QString running(ExportSession::State state, int percent);
    // The status line at the end of an export.
    static QString outcome(ExportVerdict::Outcome outcome);
    // What 开始复制 will copy, said before it is pressed.
    static QString summary(const ChoiceSummary &summary);
    static QString question(const FitQuestion &question);
    // The two lines under the bar while the copy runs, and while the stick
    // is read back.
    static QString copyLine(const ExportProgress &progress, qint64 nowMs, bool flushing, int errors);
    static QString verifyLine(const ExportProgress &progress, qint64 nowMs);

    // The box an export's end opens: none after a stop or when nobody is
    // there to answer it.
    struct Box
    {
        enum Kind { None, Information, Critical };
        Kind kind = None;
        QString text;
    };
    static Box verdictBox(const ExportVerdict &verdict);

private:
    static QString proof(const ExportVerdict &verdict);
};
