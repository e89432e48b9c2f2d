#include "proof/manifest.h"

#include "platform/fileutil.h"

#include <QCollator>
#include <QFile>

#include <algorithm>
#include <numeric>
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
    return value.isEmpty() ? QStringLiteral("（无 none）") : value;
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

std::vector<int> recordingOrder(const ExportLedger &ledger)
{
    std::vector<int> order;
    for (int i = 0; i < ledger.size(); ++i) {
        const ExportLedger::Entry &entry = ledger.entry(i);
        if (entry.hashed && !entry.database && entry.verdict != ExportLedger::Verdict::Changed
            && entry.verdict != ExportLedger::Verdict::Vanished)
            order.push_back(i);
    }
    // The ledger is sorted by path: a stable sort by camera and time keeps
    // recordings of the same time in name order.
    std::vector<int> rank(size_t(ledger.cameras().size()) + 1);
    const std::vector<int> ordered = cameraOrder(ledger);
    for (size_t i = 0; i < ordered.size(); ++i)
        rank[size_t(ordered[i])] = int(i);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const int rankA = rank[size_t(cameraSlot(ledger, a))];
        const int rankB = rank[size_t(cameraSlot(ledger, b))];
        return rankA != rankB ? rankA < rankB : ledger.entry(a).mtime < ledger.entry(b).mtime;
    });
    return order;
}

std::vector<int> cameraOrder(const ExportLedger &ledger)
{
    const QStringList cameras = ledger.cameras();
    std::vector<int> ordered(size_t(cameras.size()) + 1);
    std::iota(ordered.begin(), ordered.end(), 0);
    // In the order a person counts them: ch2 before ch10.
    QCollator collator;
    collator.setNumericMode(true);
    std::sort(ordered.begin() + 1, ordered.end(),
              [&](int a, int b) { return collator.compare(cameras.at(a - 1), cameras.at(b - 1)) < 0; });
    return ordered;
}

int cameraSlot(const ExportLedger &ledger, int i)
{
    const int camera = ledger.entry(i).camera;
    return camera >= 0 && camera < ledger.cameras().size() ? camera + 1 : 0;
}

std::vector<CameraTimeline> cameraTimelines(const ExportLedger &ledger, const std::vector<int> &order)
{
    std::vector<TimelineBuilder> builders(size_t(ledger.cameras().size()) + 1);
    for (const int i : order)
        builders[size_t(cameraSlot(ledger, i))].add(ledger.entry(i).mtime, ledger.entry(i).durationMs);
    std::vector<CameraTimeline> timelines;
    timelines.reserve(builders.size());
    for (const TimelineBuilder &builder : builders)
        timelines.push_back(builder.result());
    return timelines;
}

QByteArray recordSection(const ExportRecord &record, const ExportLedger &ledger, const std::vector<int> &order,
                         const std::vector<CameraTimeline> &timelines)
{
    QString text;
    // "录像机 Recorder: rec01": every label in both languages; the values
    // (times with their UTC offset, sizes in bytes) as they are.
    const auto line = [&text](const char *label, const QString &value) {
        text += QString::fromUtf8(label) + QStringLiteral(": ") + value + QLatin1Char('\n');
    };
    const auto at = [](qint64 ms) { return localTime(QDateTime::fromMSecsSinceEpoch(ms)); };
    text += QStringLiteral("======== 导出记录 Export record ========\n");
    line("录像机 Recorder", record.hostname);
    line("导出工具 Exported with", QStringLiteral("Corvalet ") + record.version);
    line("开始时间 Started", localTime(record.start));
    line("结束时间 Finished", localTime(record.end));
    line("录像机时钟 Recorder clock", record.clock);
    line("时间范围 Span", record.span);
    line("摄像头 Cameras", record.cameras.isEmpty() ? QStringLiteral("全部摄像头 all cameras")
                                                   : record.cameras.join(QStringLiteral("、")));

    // Each camera's recordings: where they start and end, and their gaps.
    const QStringList cameras = ledger.cameras();
    qint64 bytes = 0;
    for (const int i : order)
        bytes += ledger.entry(i).size;
    for (const int slot : cameraOrder(ledger)) {
        const CameraTimeline &timeline = timelines[size_t(slot)];
        if (timeline.recordings == 0)
            continue;
        const QString name = slot == 0 ? QStringLiteral("（其他 other）") : cameras.at(slot - 1);
        text += QStringLiteral("  %1: %2 个录像 recordings").arg(name).arg(timeline.recordings);
        if (timeline.unknown > 0)
            text += QStringLiteral("，%1 个时长未知 of unknown duration").arg(timeline.unknown);
        text += QLatin1Char('\n');
        if (timeline.firstStartMs >= 0)
            text += QStringLiteral("    最早开始 First start: ") + at(timeline.firstStartMs) + QLatin1Char('\n');
        text += QStringLiteral("    最晚结束 Last end: ") + at(timeline.lastEndMs) + QLatin1Char('\n');
        text += QStringLiteral("    录像总时长 Total duration: %1 s\n").arg(double(timeline.totalMs) / 1000, 0, 'f', 3);
        text += QStringLiteral("    缺口 Gaps (> 10 s): %1\n").arg(timeline.gapCount);
        for (const Gap &gap : timeline.firstGaps)
            text += QStringLiteral("      %1 – %2 (%3 s)\n")
                            .arg(at(gap.startMs), at(gap.endMs))
                            .arg((gap.endMs - gap.startMs) / 1000);
    }
    line("录像文件 Recordings", QStringLiteral("%1 个 files，共 %2 字节 bytes").arg(order.size()).arg(bytes));
    line("报警数据库 Alarm database", record.database);
    line("校验 Verification", record.verification);
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
        text += QStringLiteral("  与录像不一致 Differs from the recording: ") + name + QLatin1Char('\n');
    for (const QString &name : qAsConst(changed))
        text += QStringLiteral("  导出期间录像机改动或删除 Changed or deleted by the recorder during the export: ") + name
                + QLatin1Char('\n');
    line("U盘 Stick", QStringLiteral("厂商 vendor %1，型号 model %2，序列号 serial %3")
                          .arg(shown(record.stickVendor), shown(record.stickModel), shown(record.stickSerial)));
    line("U盘文件系统 Stick file system",
         QStringLiteral("%1，容量 size %2 字节 bytes").arg(shown(record.fileSystem)).arg(record.stickSize));
    line("校验文件 Checksums", QStringLiteral("SHA256SUMS, recordings.csv"));
    if (record.fingerprint.isEmpty()) {
        line("签名 Signature", QStringLiteral("未签名 not signed：") + record.unsignedReason);
    } else {
        line("签名指纹 Signing key fingerprint", record.fingerprint);
        text += QStringLiteral("  请与录像机屏幕上或登记册中的指纹核对，而不只是与本U盘上的文件核对。\n"
                               "  Compare it with the fingerprint shown on the recorder or kept in a register, not "
                               "only with the files on this stick.\n");
    }
    text += QStringLiteral("检查方法 How to check (在本目录中 in this directory):\n");
    if (!record.fingerprint.isEmpty())
        text += QStringLiteral("  ssh-keygen -Y verify -f allowed_signers -I %1 -n file -s SHA256SUMS.sig < SHA256SUMS\n"
                               "    证明 SHA256SUMS 由上述指纹的密钥签名，之后未被改动。\n"
                               "    Proves that SHA256SUMS was signed by the key of that fingerprint and not "
                               "changed since.\n")
                        .arg(record.hostname);
    text += QStringLiteral("  sha256sum -c --strict SHA256SUMS\n"
                           "    证明每个文件与 SHA256SUMS 中的一致。\n"
                           "    Proves that every file is as SHA256SUMS lists it.\n");
    return text.toUtf8();
}

StickFile::Placed writeManifest(int dirFd, const ExportLedger &ledger, std::vector<OwnFile> own, QByteArray *sha512)
{
    std::sort(own.begin(), own.end(), [](const OwnFile &a, const OwnFile &b) { return a.name < b.name; });
    StickFile::Stream file(dirFd, kManifestFileName, sha512 != nullptr);
    auto next = own.cbegin();
    const auto ownUpTo = [&](const QByteArray *path) {
        for (; next != own.cend() && (!path || next->name < *path); ++next)
            file.write(manifestLine(next->sha256, next->name));
    };
    for (int i = 0; i < ledger.size(); ++i) {
        const ExportLedger::Entry &entry = ledger.entry(i);
        if (!entry.hashed || entry.verdict == ExportLedger::Verdict::Changed
                || entry.verdict == ExportLedger::Verdict::Vanished)
            continue;
        const QByteArray path = ledger.path(i);
        ownUpTo(&path);
        file.write(manifestLine(QByteArray(reinterpret_cast<const char *>(entry.sha.data()), int(entry.sha.size())),
                                path));
    }
    ownUpTo(nullptr);
    return file.finish(nullptr, sha512);
}

StickFile::Placed placeFile(int dirFd, const QByteArray &name, const QByteArray &content)
{
    StickFile::Placed before = StickFile::check(dirFd, name);
    if (before.outcome != StickFile::Placed::Written)
        return before;
    StickFile::TempFile temp(dirFd);
    if (const int error = writeTemp(temp, name, content))
        return failedWith(error, QFile::decodeName(name) + QStringLiteral(": ") + errnoText(error));
    return StickFile::putInPlace(dirFd, temp, name);
}

StickFile::Placed appendRecord(int dirFd, const QByteArray &section, QByteArray *sha256)
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
    if (sha256) {
        Sha256 sha;
        sha.update(content);
        *sha256 = sha.finish();
    }
    StickFile::TempFile temp(dirFd);
    if (const int error = writeTemp(temp, name, content))
        return failedWith(error, QStringLiteral("导出记录: ") + errnoText(error));
    // The earlier record is all in the new one: it gives way. One that could
    // not be read whole stays beside it under its date.
    return appended ? StickFile::replace(dirFd, temp, name) : StickFile::putInPlace(dirFd, temp, name);
}
