#include "proof/recipientfiles.h"

#include "platform/fileutil.h"
#include "platform/sha256.h"
#include "proof/exportpage.h"
#include "proof/recordingscsv.h"
#include "proof/signing.h"

#include <QDebug>
#include <QFile>

#include <algorithm>
#include <limits>

namespace {

constexpr char kSignatureFileName[] = "SHA256SUMS.sig";
constexpr char kPublicKeyFileName[] = "export_signing_key.pub";
constexpr char kAllowedSignersFileName[] = "allowed_signers";

bool placed(const StickFile::Placed &result)
{
    return result.outcome == StickFile::Placed::Written || result.outcome == StickFile::Placed::Unchanged;
}

qint64 startMs(const ExportLedger::Entry &entry)
{
    return entry.durationMs >= 0 ? recordingStartSecs(entry.mtime, entry.durationMs) * 1000 : -1;
}

StickFile::Placed writeCsv(int dirFd, const ExportLedger &ledger, const std::vector<int> &order, QByteArray *sha256)
{
    StickFile::Stream file(dirFd, kRecordingsCsvFileName);
    file.write(csvHeader());
    const QStringList cameras = ledger.cameras();
    LocalOffsets offsets;
    for (const int i : order) {
        const ExportLedger::Entry &entry = ledger.entry(i);
        RecordingRow row;
        const int slot = cameraSlot(ledger, i);
        row.camera = slot == 0 ? QByteArray() : cameras.at(slot - 1).toUtf8();
        row.file = ledger.path(i);
        row.endSecs = entry.mtime;
        row.durationMs = entry.durationMs;
        row.bytes = entry.size;
        row.sha256 = QByteArray(reinterpret_cast<const char *>(entry.sha.data()), int(entry.sha.size()));
        file.write(csvRow(row, offsets));
    }
    return file.finish(sha256);
}

StickFile::Placed writePage(int dirFd, const ExportLedger &ledger, const ExportRecord &record,
                            const std::vector<int> &order, const std::vector<CameraTimeline> &timelines,
                            QByteArray *sha256)
{
    StickFile::Stream file(dirFd, kPageFileName);
    ExportPageWriter page([&file](const QByteArray &bytes) { return file.write(bytes); });
    PageHeader header;
    header.hostname = record.hostname;
    header.span = record.span;
    header.exported = isoTime(record.end.toMSecsSinceEpoch());
    header.verification = record.verification;
    header.fingerprint = record.fingerprint;
    header.unsignedReason = record.unsignedReason;
    header.utcOffsetSeconds = record.end.offsetFromUtc();
    page.begin(header);
    // One scale for every camera's timeline: from the earliest start to the
    // latest end of the whole export.
    qint64 spanStart = std::numeric_limits<qint64>::max();
    qint64 spanEnd = std::numeric_limits<qint64>::min();
    for (const CameraTimeline &timeline : timelines) {
        if (timeline.recordings == 0)
            continue;
        spanStart = std::min(spanStart, timeline.firstStartMs >= 0 ? timeline.firstStartMs : timeline.lastEndMs);
        spanEnd = std::max(spanEnd, timeline.lastEndMs);
    }
    const QStringList cameras = ledger.cameras();
    int current = -1;
    for (const int i : order) {
        const int slot = cameraSlot(ledger, i);
        if (slot != current) {
            if (current >= 0)
                page.endCamera(timelines[size_t(current)].firstGaps, timelines[size_t(current)].gapCount);
            current = slot;
            page.beginCamera(slot == 0 ? QByteArrayLiteral("其他 other") : cameras.at(slot - 1).toUtf8(), spanStart,
                             spanEnd);
        }
        const ExportLedger::Entry &entry = ledger.entry(i);
        PageRecording recording;
        recording.file = ledger.path(i);
        recording.endMs = entry.mtime * 1000;
        recording.startMs = entry.durationMs >= 0 ? startMs(entry) : recording.endMs;
        recording.durationMs = entry.durationMs;
        recording.bytes = entry.size;
        page.recording(recording);
    }
    if (current >= 0)
        page.endCamera(timelines[size_t(current)].firstGaps, timelines[size_t(current)].gapCount);
    page.end();
    return file.finish(sha256);
}

} // namespace

RecipientFiles writeRecipientFiles(int dirFd, const ExportLedger &ledger, ExportRecord record, const QString &keyPath)
{
    RecipientFiles result;
    QStringList problems;
    const auto note = [&problems](const StickFile::Placed &placedFile) {
        if (!placed(placedFile))
            problems << placedFile.detail;
    };
    // The key's public half for the record and the page; the signature itself
    // is made last, over SHA256SUMS.
    const Signing::KeyCheck key = Signing::checkKey(keyPath);
    if (key.canSign()) {
        record.fingerprint = Signing::fingerprint(key.publicKey);
    } else {
        record.unsignedReason = key.problem;
        qWarning() << "导出未签名:" << key.problem << keyPath;
    }

    const std::vector<int> order = recordingOrder(ledger);
    const std::vector<CameraTimeline> timelines = cameraTimelines(ledger, order);
    for (const CameraTimeline &timeline : timelines)
        result.gaps += timeline.gapCount;

    std::vector<OwnFile> own;
    QByteArray digest;
    StickFile::Placed written = writeCsv(dirFd, ledger, order, &digest);
    note(written);
    if (placed(written))
        own.push_back({kRecordingsCsvFileName, digest});
    written = writePage(dirFd, ledger, record, order, timelines, &digest);
    note(written);
    if (placed(written))
        own.push_back({kPageFileName, digest});
    written = appendRecord(dirFd, recordSection(record, ledger, order, timelines), &digest);
    note(written);
    if (placed(written))
        own.push_back({kRecordFileName, digest});
    QByteArray sha512;
    written = writeManifest(dirFd, ledger, own, &sha512);
    note(written);

    if (key.canSign() && placed(written)) {
        const Signing::Signature signature = Signing::signDigest(keyPath, sha512);
        if (signature.armored.isEmpty()) {
            record.fingerprint.clear();
            record.unsignedReason = signature.problem;
            qWarning() << "导出未签名:" << signature.problem;
        } else {
            note(placeFile(dirFd, kSignatureFileName, signature.armored));
            note(placeFile(dirFd, kPublicKeyFileName, Signing::publicKeyLine(signature.publicKey, record.hostname)));
            const QByteArray signer = Signing::allowedSignersLine(record.hostname, signature.publicKey);
            if (!signer.isEmpty())
                note(placeFile(dirFd, kAllowedSignersFileName, signer));
        }
    } else if (key.canSign()) {
        record.fingerprint.clear();
        record.unsignedReason = QStringLiteral("SHA256SUMS 未能写入U盘");
    }
    result.fingerprint = record.fingerprint;
    result.unsignedReason = record.unsignedReason;
    result.problem = problems.join(QStringLiteral("; "));
    return result;
}
