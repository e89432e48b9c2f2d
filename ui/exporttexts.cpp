#include "ui/exporttexts.h"

#include <QDateTime>

QString ExportTexts::size(qint64 bytes)
{
    constexpr qint64 kb = 1024;
    constexpr qint64 mb = kb * 1024;
    constexpr qint64 gb = mb * 1024;
    if (bytes < 0)
        return QStringLiteral("0 B");
    if (bytes < kb)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < mb)
        return QStringLiteral("%1 KB").arg(double(bytes) / kb, 0, 'f', 2);
    if (bytes < gb)
        return QStringLiteral("%1 MB").arg(double(bytes) / mb, 0, 'f', 2);
    return QStringLiteral("%1 GB").arg(double(bytes) / gb, 0, 'f', 2);
}

QString ExportTexts::remaining(qint64 seconds)
{
    if (seconds < 0)
        return tr("正在计算剩余时间...");
    if (seconds < 60) {
        // Nobody says "remaining about 37 seconds": steps of five.
        const qint64 rounded = qMax<qint64>(5, (seconds + 4) / 5 * 5);
        return rounded >= 60 ? tr("剩余约 1 分钟") : tr("剩余约 %1 秒").arg(rounded);
    }
    const qint64 minutes = (seconds + 30) / 60;
    if (minutes < 60)
        return tr("剩余约 %1 分钟").arg(minutes);
    const qint64 hours = minutes / 60;
    const qint64 rest = minutes % 60;
    if (rest == 0)
        return tr("剩余约 %1 小时").arg(hours);
    return tr("剩余约 %1 小时 %2 分钟").arg(hours).arg(rest);
}

QString ExportTexts::duration(qint64 seconds)
{
    seconds = qMax<qint64>(0, seconds);
    if (seconds < 60)
        return tr("%1 秒").arg(seconds);
    if (seconds < 3600)
        return tr("%1 分 %2 秒").arg(seconds / 60).arg(seconds % 60);
    return tr("%1 小时 %2 分钟").arg(seconds / 3600).arg(seconds % 3600 / 60);
}

QString ExportTexts::time(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// A cut at a recording, to the second.
QString ExportTexts::exactTime(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString ExportTexts::running(ExportSession::State state, int percent)
{
    if (state == ExportSession::Verifying)
        return tr("正在校验... %1%").arg(percent);
    return state == ExportSession::Flushing ? tr("正在写入U盘... %1%").arg(percent) : tr("正在复制... %1%").arg(percent);
}

QString ExportTexts::outcome(ExportVerdict::Outcome outcome)
{
    switch (outcome) {
    case ExportVerdict::Outcome::Completed: return tr("复制完成");
    case ExportVerdict::Outcome::CopyFailed: return tr("复制失败");
    case ExportVerdict::Outcome::VerificationFailed: return tr("校验失败");
    case ExportVerdict::Outcome::Stopped: return tr("已停止复制");
    case ExportVerdict::Outcome::VerificationStopped: return tr("已停止校验");
    }
    return QString();
}

QString ExportTexts::summary(const ChoiceSummary &summary)
{
    switch (summary.kind) {
    case ChoiceSummary::NothingFits:
        return tr("U盘空间不足，放不下所选摄像头的任何录像");
    case ChoiceSummary::NewestPart:
        return tr("U盘放不下全部录像，将复制 %1 之后最新的一部分录像（约 %2）").arg(time(summary.time), size(summary.bytes));
    case ChoiceSummary::AllFits:
        return tr("U盘放得下所选的全部录像（%1）").arg(size(summary.bytes));
    case ChoiceSummary::NewestFrom:
        return tr("U盘放不下全部录像，将复制从 %1 起的最新录像（%2）").arg(time(summary.time), size(summary.bytes));
    case ChoiceSummary::Selected:
        break;
    }
    return tr("将复制所选录像（%1）").arg(size(summary.bytes));
}

QString ExportTexts::question(const FitQuestion &question)
{
    QStringList problems;
    if (question.tooMuch) {
        problems << tr("U盘空间不足：还需复制 %1，U盘可用空间 %2。").arg(size(question.bytesToCopy), size(question.freeSpace));
        problems << tr("选择“是”将只复制放得下的最新录像：从 %1 起，共 %2。")
                            .arg(exactTime(question.newestStart), size(question.newestBytes));
    }
    if (question.tooLargeFiles > 0) {
        problems << tr("有 %1 个录像（共 %2）大于 %3，U盘的文件系统无法存放，不会被复制。")
                            .arg(question.tooLargeFiles)
                            .arg(size(question.tooLargeBytes), size(question.maxFileSize));
    }
    return problems.join(QLatin1Char('\n')) + tr("仍要复制吗？");
}

QString ExportTexts::copyLine(const ExportProgress &progress, qint64 nowMs, bool flushing, int errors)
{
    // Two short lines fit the window where one long one would be cut off.
    QString line = tr("已复制 %1 / %2").arg(size(progress.bytesDone()), size(progress.total())) + QLatin1Char('\n');
    const double speed = progress.bytesPerSecond(nowMs);
    if (speed > 0)
        line += tr("%1/s · ").arg(size(qint64(speed)));
    line += remaining(progress.secondsLeft(nowMs));
    // rsync is done; the rest is on its way from the cache to the stick.
    if (flushing && progress.bytesUnwritten() > 0)
        line += tr(" · 还需写入 %1").arg(size(progress.bytesUnwritten()));
    if (errors > 0)
        line += tr(" · %1 条错误").arg(errors);
    return line;
}

QString ExportTexts::verifyLine(const ExportProgress &progress, qint64 nowMs)
{
    QString line = tr("已校验 %1 / %2").arg(size(progress.bytesDone()), size(progress.total())) + QLatin1Char('\n');
    const double speed = progress.bytesPerSecond(nowMs);
    if (speed > 0)
        line += tr("%1/s · ").arg(size(qint64(speed)));
    return line + remaining(progress.secondsLeft(nowMs));
}

// The gaps in the footage and the signature, for the success box: the
// fingerprint on lines of its own, so that the person at the recorder can
// note or photograph it in a box at most 320 pixels wide.
QString ExportTexts::proof(const ExportVerdict &verdict)
{
    QString text;
    if (verdict.gaps > 0)
        text += QLatin1Char('\n') + tr("录像中有 %1 处缺口").arg(verdict.gaps);
    if (!verdict.fingerprint.isEmpty()) {
        // "SHA256:" and 43 characters of base64 cannot be wrapped by the box:
        // three lines of at most 17, each well within its width.
        constexpr int kLine = 17;
        text += QLatin1Char('\n') + tr("签名指纹：");
        for (int at = 0; at < verdict.fingerprint.size(); at += kLine)
            text += QLatin1Char('\n') + verdict.fingerprint.mid(at, kLine);
    } else if (!verdict.unsignedReason.isEmpty()) {
        text += QLatin1Char('\n') + tr("未签名：") + verdict.unsignedReason;
    }
    return text;
}

ExportTexts::Box ExportTexts::verdictBox(const ExportVerdict &verdict)
{
    Box box;
    // A way out (a "remove", a signal, 退出) may be ending the session.
    if (verdict.leaving)
        return box;
    QString database;
    if (!verdict.databaseProblem.isEmpty())
        database = QLatin1Char('\n') + verdict.databaseProblem;
    // What the recorder itself changed is no fault of the stick.
    QString notes;
    if (verdict.vanished > 0)
        notes += QLatin1Char('\n') + tr("复制期间录像机删除了 %1 个录像文件，导出包含其余全部录像。").arg(verdict.vanished);
    if (verdict.recordFailed)
        notes += QLatin1Char('\n') + tr("SHA256SUMS 或导出记录.txt 未能写入U盘。");
    if (verdict.changed > 0)
        notes += QLatin1Char('\n')
                + tr("导出期间录像机改动或删除了 %1 个录像（%2），U盘上是复制时的内容，未计入校验。")
                          .arg(verdict.changed)
                          .arg(verdict.firstChanged.join(QStringLiteral("、")));
    switch (verdict.outcome) {
    case ExportVerdict::Outcome::Completed:
        box.kind = Box::Information;
        // On its own line: a box on an 800 pixels wide screen is at most 320
        // wide, and a count cut from its word reads badly.
        box.text = (verdict.verified ? tr("文件复制完成\n已校验 %1 个文件").arg(verdict.verifiedFiles) : tr("文件复制完成"))
                + notes + database + proof(verdict);
        break;
    case ExportVerdict::Outcome::VerificationStopped:
        box.kind = Box::Information;
        box.text = tr("文件复制完成，但校验已停止：U盘上的文件未与录像核对。") + database;
        break;
    case ExportVerdict::Outcome::VerificationFailed:
        // Copied, and the stick does not give back what was copied.
        box.kind = Box::Critical;
        if (!verdict.verificationProblem.isEmpty()) {
            box.text = tr("校验失败：") + verdict.verificationProblem;
        } else {
            box.text = tr("校验失败：%1 个文件从U盘读回的内容与录像不一致，例如：\n%2")
                               .arg(verdict.mismatched)
                               .arg(verdict.firstMismatched.join(QLatin1Char('\n')));
            if (verdict.counterfeit)
                box.text += QLatin1Char('\n')
                        + tr("超出某一位置后写入的数据读回为空白或其他文件的内容：U盘的实际容量可能小于其标称的容量。");
        }
        box.text += notes + database;
        break;
    case ExportVerdict::Outcome::Stopped:
        // A stop (by the user, a "remove" or a signal) is no failure to report.
        break;
    case ExportVerdict::Outcome::CopyFailed:
        // One report of everything rsync complained about, however much it was.
        if (verdict.errorCount > 0) {
            box.kind = Box::Critical;
            box.text = tr("复制时出现 %1 条错误，前 %2 条：\n%3")
                               .arg(verdict.errorCount)
                               .arg(verdict.firstErrors.size())
                               .arg(verdict.firstErrors.join(QLatin1Char('\n')))
                    + database;
        } else if (!database.isEmpty()) {
            box.kind = Box::Critical;
            box.text = verdict.databaseProblem;
        }
        break;
    }
    return box;
}
