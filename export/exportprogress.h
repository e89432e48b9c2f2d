#pragma once

#include "sync/rsynclines.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <functional>

// Progress of one whole export, read from the standard output of
// "rsync -av --progress": bytes copied of the bytes this export has to copy,
// a speed averaged over the last ten seconds and the time left.
//
// The total is what the tool's own look at source and target found to copy;
// rsync's own counts are per file. What rsync has handed over is the final
// counts of the files it completed plus the latest count of the file it is
// copying; but rsync writes into the page cache, which takes a whole export
// at memory speed while a cheap stick writes 10 MB/s. So when the drive's own
// count of completed writes is known (setWritten()), bytes done are what the
// drive holds: the smaller of the two. The speed and the time left follow.
// Times are milliseconds of any steady clock, given by the caller.
//
// Memory stays bounded whatever rsync writes: at most one unfinished line is
// kept between chunks, and only its first 64 KiB.
class ExportProgress
{
public:
    void start(qint64 totalToCopy, qint64 nowMs);
    void feed(const QByteArray &chunk, qint64 nowMs);
    // The copy ended successfully.
    void finish();
    // Sets what is done, for a phase that counts its bytes itself (the
    // verification's reading back).
    void advanceTo(qint64 bytes, qint64 nowMs);

    // What the drive has completed writing since start(), by its own count;
    // a negative count: not known.
    void setWritten(qint64 bytes, qint64 nowMs);

    // 0..100; never decreases during one export, and is 100 only after finish().
    int percent() const { return m_percent; }
    qint64 bytesDone() const { return m_written >= 0 ? qMin(handedOver(), m_written) : handedOver(); }
    // What rsync has handed over to the file system.
    qint64 handedOver() const { return m_completedBytes + m_currentFileBytes; }
    // Handed over but not yet on the drive.
    qint64 bytesUnwritten() const { return handedOver() - bytesDone(); }
    // The total given to start(), or what was handed over when files grew past it.
    qint64 total() const { return qMax(m_total, handedOver()); }

    // 0 until about two seconds of the export have been seen.
    double bytesPerSecond(qint64 nowMs) const;
    // -1 while there is no speed to estimate from; rounded up.
    qint64 secondsLeft(qint64 nowMs) const;

    // Called with the path (relative to the copy's source, as rsync names it,
    // its escapes undone) of every file whose last update rsync printed: it
    // has read the whole file, which is still in the page cache.
    void onFileDone(std::function<void(const QByteArray &path)> done) { m_fileDone = std::move(done); }
    // A name as rsync printed it, with its "\#ooo" escapes undone.
    static QByteArray decodeName(const QByteArray &printed);

    // One progress update of rsync, the whole `segment` (without its "\r" or
    // "\n"): the bytes of the file so far, and whether it is the file's last
    // update. False for anything else.
    static bool readUpdate(const char *segment, int length, qint64 *bytes, bool *last);

private:
    void endSegment(const char *segment, int length, bool tooLong, char terminator);
    void handleLine(const char *line, int length);
    bool handleProgress(const char *segment, int length);
    void takeSample(qint64 nowMs);
    void updatePercent();

    struct Sample
    {
        qint64 ms = 0;
        qint64 bytes = 0;
    };
    // 48 samples at least 250 ms apart hold the ten seconds of the average.
    static constexpr int SampleCount = 48;

    qint64 m_total = 0;
    qint64 m_completedBytes = 0;
    qint64 m_currentFileBytes = 0;
    qint64 m_written = -1;
    int m_percent = 0;
    bool m_finished = false;

    // rsync prints a path of 4096 bytes in at most 20 KiB.
    RsyncLines m_lines{64 * 1024};
    bool m_afterCarriageReturn = false;
    // The file rsync is copying, as it printed the name.
    QByteArray m_currentName;
    std::function<void(const QByteArray &)> m_fileDone;

    std::array<Sample, SampleCount> m_samples{};
    int m_sampleHead = 0; // index of the newest sample
    int m_sampleSize = 0;
};
