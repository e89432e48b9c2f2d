#include "proof/manifest.h"

#include <QFile>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

QByteArray manifestLine(const QByteArray &digest32, const QByteArray &relativePath)
{
    constexpr int kDigestBytes = 32;
    if (digest32.size() != kDigestBytes || relativePath.isEmpty() || relativePath.startsWith('/')
        || relativePath.contains('\0'))
        return {};

    // sha256sum -c reads a line up to its "\n" and drops a "\r" before it, so
    // these three cannot stand as they are; it undoes the escapes only on a
    // line that starts with a backslash.
    const bool escape = relativePath.contains('\\') || relativePath.contains('\n') || relativePath.contains('\r');
    QByteArray line;
    line.reserve(1 + 2 * kDigestBytes + 2 + 2 * relativePath.size() + 1);
    if (escape)
        line += '\\';
    line += digest32.toHex();
    line += "  ";
    if (!escape) {
        line += relativePath;
    } else {
        for (const char c : relativePath) {
            switch (c) {
            case '\\':
                line += "\\\\";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\r':
                line += "\\r";
                break;
            default:
                line += c;
            }
        }
    }
    line += '\n';
    return line;
}

namespace {

QString localTime(const QDateTime &time)
{
    if (!time.isValid())
        return QStringLiteral("未知");
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
            + QStringLiteral(" (UTC%1%2:%3)")
                      .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                      .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                      .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString shown(const QString &value)
{
    return value.isEmpty() ? QStringLiteral("（无）") : value;
}

StickFile::Placed failedWith(int error, const QString &detail)
{
    StickFile::Placed placed;
    placed.error = error;
    placed.detail = detail;
    return placed;
}

// Writes `content` into a new hidden file of `dirFd` for `name`.
int writeTemp(StickFile::TempFile &temp, const QByteArray &name, const QByteArray &content)
{
    if (const int error = temp.create(name))
        return error;
    return StickFile::writeAll(temp.fd(), content.constData(), size_t(content.size()));
}

} // namespace

QByteArray recordSection(const ExportRecord &record, const ExportLedger &ledger)
{
    QString text;
    const auto line = [&text](const QString &label, const QString &value) {
        text += label + QStringLiteral("：") + value + QLatin1Char('\n');
    };
    text += QStringLiteral("======== 导出记录 ========\n");
    line(QStringLiteral("录像机"), record.hostname);
    line(QStringLiteral("导出工具"), QStringLiteral("Corvalet ") + record.version);
    line(QStringLiteral("开始时间"), localTime(record.start));
    line(QStringLiteral("结束时间"), localTime(record.end));
    line(QStringLiteral("录像机时钟"), record.clock);
    line(QStringLiteral("时间范围"), record.span);
    line(QStringLiteral("摄像头"), record.cameras.isEmpty() ? QStringLiteral("全部摄像头")
                                                          : record.cameras.join(QStringLiteral("、")));

    // Each camera's first and last recording, and the totals.
    const QStringList cameras = ledger.cameras();
    std::vector<std::pair<qint64, qint64>> span(size_t(cameras.size() + 1), {0, 0});
    std::vector<bool> seen(span.size(), false);
    qint64 files = 0;
    qint64 bytes = 0;
    for (int i = 0; i < ledger.size(); ++i) {
        const ExportLedger::Entry &entry = ledger.entry(i);
        if (entry.database || entry.verdict == ExportLedger::Verdict::Vanished)
            continue;
        ++files;
        bytes += entry.size;
        const size_t slot = entry.camera >= 0 && entry.camera < cameras.size() ? size_t(entry.camera) + 1 : 0;
        if (!seen[slot]) {
            span[slot] = {entry.mtime, entry.mtime};
            seen[slot] = true;
        }
        span[slot].first = std::min(span[slot].first, entry.mtime);
        span[slot].second = std::max(span[slot].second, entry.mtime);
    }
    for (size_t slot = 0; slot < span.size(); ++slot) {
        if (!seen[slot])
            continue;
        const QString name = slot == 0 ? QStringLiteral("（其他）") : cameras.at(int(slot) - 1);
        text += QStringLiteral("  %1：最早录像 %2，最晚录像 %3\n")
                        .arg(name, localTime(QDateTime::fromSecsSinceEpoch(span[slot].first)),
                             localTime(QDateTime::fromSecsSinceEpoch(span[slot].second)));
    }
    line(QStringLiteral("录像文件"), QStringLiteral("%1 个，共 %2 字节").arg(files).arg(bytes));
    line(QStringLiteral("报警数据库"), record.database);
    line(QStringLiteral("校验"), record.verification);
    QStringList failed;
    QStringList changed;
    for (int i = 0; i < ledger.size(); ++i) {
        switch (ledger.entry(i).verdict) {
        case ExportLedger::Verdict::Mismatch:
        case ExportLedger::Verdict::ReadError:
        case ExportLedger::Verdict::Missing:
            failed << QFile::decodeName(ledger.path(i));
            break;
        case ExportLedger::Verdict::Changed:
        case ExportLedger::Verdict::Vanished:
            changed << QFile::decodeName(ledger.path(i));
            break;
        default:
            break;
        }
    }
    for (const QString &name : qAsConst(failed))
        text += QStringLiteral("  与录像不一致：") + name + QLatin1Char('\n');
    for (const QString &name : qAsConst(changed))
        text += QStringLiteral("  导出期间录像机改动或删除：") + name + QLatin1Char('\n');
    line(QStringLiteral("U盘"), QStringLiteral("厂商 %1，型号 %2，序列号 %3")
                                    .arg(shown(record.stickVendor), shown(record.stickModel), shown(record.stickSerial)));
    line(QStringLiteral("U盘文件系统"), QStringLiteral("%1，容量 %2 字节").arg(shown(record.fileSystem)).arg(record.stickSize));
    line(QStringLiteral("校验文件"), QStringLiteral("SHA256SUMS（sha256sum -c --strict SHA256SUMS）"));
    return text.toUtf8();
}

StickFile::Placed writeManifest(int dirFd, const ExportLedger &ledger)
{
    QByteArray content;
    for (int i = 0; i < ledger.size(); ++i) {
        const ExportLedger::Entry &entry = ledger.entry(i);
        if (!entry.hashed || entry.verdict == ExportLedger::Verdict::Changed
                || entry.verdict == ExportLedger::Verdict::Vanished)
            continue;
        content += manifestLine(QByteArray(reinterpret_cast<const char *>(entry.sha.data()), int(entry.sha.size())),
                                ledger.path(i));
    }
    const QByteArray name(kManifestFileName);
    StickFile::Placed before = StickFile::check(dirFd, name);
    if (before.outcome != StickFile::Placed::Written)
        return before;
    StickFile::TempFile temp(dirFd);
    if (const int error = writeTemp(temp, name, content))
        return failedWith(error, QStringLiteral("SHA256SUMS: ") + QString::fromLocal8Bit(std::strerror(error)));
    return StickFile::putInPlace(dirFd, temp, name);
}

StickFile::Placed appendRecord(int dirFd, const QByteArray &section)
{
    constexpr qint64 kMaxRecord = qint64(4) << 20;
    const QByteArray name(kRecordFileName);
    StickFile::Placed before = StickFile::check(dirFd, name);
    if (before.outcome != StickFile::Placed::Written)
        return before;
    // The earlier record, read through O_NOFOLLOW and only if it is a
    // regular file of reasonable size: the stick is anyone's.
    QByteArray content;
    bool appended = false;
    const Descriptor earlier(::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (earlier.isValid() && ::fstat(earlier.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxRecord) {
        content.resize(int(st.st_size));
        if (StickFile::readAt(earlier.get(), content.data(), size_t(content.size()), 0) == ssize_t(content.size())) {
            appended = true;
            if (!content.isEmpty() && !content.endsWith('\n'))
                content += '\n';
            if (!content.isEmpty())
                content += '\n';
        } else {
            content.clear();
        }
    }
    content += section;
    StickFile::TempFile temp(dirFd);
    if (const int error = writeTemp(temp, name, content))
        return failedWith(error, QStringLiteral("导出记录: ") + QString::fromLocal8Bit(std::strerror(error)));
    // The earlier record is all in the new one: it gives way. One that could
    // not be read whole stays beside it under its date.
    return appended ? StickFile::replace(dirFd, temp, name) : StickFile::putInPlace(dirFd, temp, name);
}
