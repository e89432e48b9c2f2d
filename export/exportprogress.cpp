#include "exportprogress.h"

#include <QRegularExpression>
#include <QString>

#include <cmath>
#include <cstring>
#include <limits>

// What rsync 3.5.0 (protocol 32, Debian 12) writes to standard output for
// "rsync -av --progress --exclude=.* <source>/ <target>", with \r and \n
// written out, as recorded in tests/data/rsync/first-export.txt ("..." leaves
// out lines):
//
//   sending incremental file list\n
//   ch01/\n
//   ch01/2026-12-01 08.mp4\n
//   \r         32,768   1%    0.00kB/s    0:00:00  \r      3,000,000 100%  235.81MB/s    0:00:00 (xfr#1, to-chk=4/8)\n
//   ...
//   ch02/new\#012line.mp4\n
//   \r             10 100%    0.81kB/s    0:00:00  \r             10 100%    0.81kB/s    0:00:00 (xfr#4, to-chk=1/8)\n
//   ...
//   \n
//   sent 3,007,881 bytes  received 119 bytes  6,016,000.00 bytes/sec\n
//   total size is 3,006,710  speedup is 1.00\n
//
// A file finished while the file list is still growing
// (incremental-ir-chk.txt), and the last updates of a large file
// (big-file-and-vanished.txt):
//
//   \r          3,000 100%    0.00kB/s    0:00:00  \r          3,000 100%    0.00kB/s    0:00:00 (xfr#1, ir-chk=1000/2203)\n
//   \r  4,317,413,376  98%  270.97MB/s    0:00:00  \r  4,403,019,776 100%  274.73MB/s    0:00:15 (xfr#1, to-chk=1/4)\n
//
// Every progress update starts with "\r"; the last one of a file carries
// "(xfr#N, to-chk=R/T)", or "ir-chk" while the file list is still growing,
// and ends the line. An empty file gets only that last update. A file rsync
// has to send again (it changed while it was read) is listed and counted
// again. Names never hold "\r" or "\n" (rsync prints them as "\#015" and
// "\#012"), so a segment counts as progress only next to a "\r" and when it
// matches the whole pattern: a name such as "      1,000 100%    1.00kB/s
// 0:00:00" is a name. Older rsync put the "\r" after each update instead;
// such segments are taken too.

namespace {

constexpr qint64 SampleEveryMs = 250;
constexpr qint64 SpeedWindowMs = 10000;
constexpr qint64 MinSpeedWindowMs = 2000;

// Reads one progress update, the whole segment, in the shape of
//   ^ *(\d{1,3}(?:[,.]\d{3})*) +\d{1,3}% +\d+[.,]\d\d[kMGTP]?B/s +(?:\d+:\d\d:\d\d|\?\?:\?\?:\?\?)
//   ( \(xfr#\d+, (?:to|ir)-chk=\d+/\d+\))? *$
// (bytes with digit grouping, percent, rate, time left or "??:??:??", then
// the end of the file's line, if it is the last update of the file). Written
// out by hand: it runs for every file of an export, where a regular
// expression on a decoded string cost more than everything else the tool
// does while rsync copies.
class UpdateReader
{
public:
    UpdateReader(const char *begin, const char *end)
        : m_p(begin)
        , m_end(end)
    {
    }

    bool read(qint64 *bytes, bool *last)
    {
        skipSpaces();
        if (!groupedNumber(bytes) || !spaces() || !digits(1, 3) || !literal("%") || !spaces() || !digits(1, -1)
                || !(literal(".") || literal(",")) || !digits(2, 2))
            return false;
        if (m_p < m_end && (*m_p == 'k' || *m_p == 'M' || *m_p == 'G' || *m_p == 'T' || *m_p == 'P'))
            ++m_p;
        if (!literal("B/s") || !spaces())
            return false;
        if (!literal("??:??:??")
                && !(digits(1, -1) && literal(":") && digits(2, 2) && literal(":") && digits(2, 2)))
            return false;
        *last = literal(" (xfr#");
        if (*last
                && !(digits(1, -1) && literal(", ") && (literal("to") || literal("ir")) && literal("-chk=")
                     && digits(1, -1) && literal("/") && digits(1, -1) && literal(")")))
            return false;
        skipSpaces();
        return m_p == m_end;
    }

private:
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    void skipSpaces()
    {
        while (m_p < m_end && *m_p == ' ')
            ++m_p;
    }
    bool spaces()
    {
        const char *start = m_p;
        skipSpaces();
        return m_p > start;
    }
    // At least `min` and at most `max` (-1: any number of) digits.
    bool digits(int min, int max)
    {
        int n = 0;
        while (m_p < m_end && isDigit(*m_p) && (max < 0 || n < max)) {
            ++m_p;
            ++n;
        }
        return n >= min && !(max >= 0 && m_p < m_end && isDigit(*m_p));
    }
    // The length is known where it is called, so the compiler compares in
    // place; this runs several times for each update of every file.
    template<size_t N>
    bool literal(const char (&text)[N])
    {
        constexpr size_t length = N - 1;
        if (size_t(m_end - m_p) < length || std::memcmp(m_p, text, length) != 0)
            return false;
        m_p += length;
        return true;
    }
    // 1 to 3 digits, then groups of a separator and 3 digits: "4,403,019,776".
    bool groupedNumber(qint64 *value)
    {
        qint64 result = 0;
        int n = 0;
        while (m_p < m_end && isDigit(*m_p) && n < 3) {
            result = result * 10 + (*m_p++ - '0');
            ++n;
        }
        if (n == 0 || (m_p < m_end && isDigit(*m_p)))
            return false;
        while (m_end - m_p >= 4 && (*m_p == ',' || *m_p == '.') && isDigit(m_p[1]) && isDigit(m_p[2])
               && isDigit(m_p[3])) {
            const int group = (m_p[1] - '0') * 100 + (m_p[2] - '0') * 10 + (m_p[3] - '0');
            if (result > (std::numeric_limits<qint64>::max() - group) / 1000)
                return false;
            result = result * 1000 + group;
            m_p += 4;
        }
        *value = result;
        return true;
    }

    const char *m_p;
    const char *m_end;
};

template<size_t N>
bool startsWith(const char *line, int length, const char (&prefix)[N])
{
    constexpr size_t prefixLength = N - 1;
    return size_t(length) >= prefixLength && std::memcmp(line, prefix, prefixLength) == 0;
}

// The beginnings of the lines that rsyncOwnLinePattern() matches.
bool startsLikeRsyncOwnLine(const char *line, int length)
{
    return startsWith(line, length, "sending ") || startsWith(line, length, "receiving ")
            || startsWith(line, length, "created directory ") || startsWith(line, length, "sent ")
            || startsWith(line, length, "total size is ");
}

const QRegularExpression &rsyncOwnLinePattern()
{
    static const QRegularExpression pattern(QStringLiteral(
        "^(?:(?:sending|receiving) (?:incremental )?file list"
        "|created directory .+"
        "|sent [\\d,.]+ bytes  received [\\d,.]+ bytes  [\\d,.]+ bytes/sec"
        "|total size is [\\d,.]+  speedup is [\\d,.]+(?: \\(DRY RUN\\))?)$"));
    return pattern;
}

} // namespace

void ExportProgress::start(qint64 totalToCopy, qint64 nowMs)
{
    std::function<void(const QByteArray &)> fileDone = std::move(m_fileDone);
    *this = ExportProgress();
    m_fileDone = std::move(fileDone);
    m_total = qMax<qint64>(totalToCopy, 0);
    takeSample(nowMs);
}

void ExportProgress::feed(const QByteArray &chunk, qint64 nowMs)
{
    m_lines.feed(chunk.constData(), int(chunk.size()),
                 [this](const char *segment, int length, bool tooLong, char end) { endSegment(segment, length, tooLong, end); });
    // rsync writes the "\r" of an update only when the next one comes, about
    // a second later, or not at all before the file's last update: an update
    // is taken as soon as it is whole. Cut anywhere before that, it does not
    // match; cut before its "(xfr#", it counts as the current file's bytes
    // until its line ends.
    qint64 bytes = 0;
    bool last = false;
    const QByteArray &tail = m_lines.tail();
    if (m_afterCarriageReturn && !m_lines.tailTooLong() && readUpdate(tail.constData(), int(tail.size()), &bytes, &last))
        m_currentFileBytes = bytes;
    updatePercent();
    takeSample(nowMs);
}

void ExportProgress::endSegment(const char *segment, int length, bool tooLong, char terminator)
{
    const bool atCarriageReturn = m_afterCarriageReturn || terminator == '\r';
    if (tooLong) {
        // Only a name can be this long: a new file, whose name is not kept.
        if (terminator == '\n') {
            m_currentFileBytes = 0;
            m_currentName.clear();
        }
    } else if (!(atCarriageReturn && handleProgress(segment, length)) && terminator == '\n'
               && !m_afterCarriageReturn) {
        handleLine(segment, length);
    }
    m_afterCarriageReturn = terminator == '\r';
}

bool ExportProgress::handleProgress(const char *segment, int length)
{
    qint64 bytes = 0;
    bool last = false;
    if (!readUpdate(segment, length, &bytes, &last))
        return false;
    if (last) {
        m_completedBytes += bytes;
        m_currentFileBytes = 0;
        // rsync has read all of the file and handed it over.
        if (m_fileDone && !m_currentName.isEmpty())
            m_fileDone(decodeName(m_currentName));
        m_currentName.clear();
    } else {
        m_currentFileBytes = bytes;
    }
    return true;
}

bool ExportProgress::readUpdate(const char *segment, int length, qint64 *bytes, bool *last)
{
    if (length <= 0 || length > 200)
        return false;
    return UpdateReader(segment, segment + length).read(bytes, last);
}

void ExportProgress::handleLine(const char *line, int length)
{
    if (length == 0 || line[length - 1] == '/')
        return;
    // This runs for the line of every file, and the recordings' names
    // ("ch01/...") share a first letter with rsync's own lines: the whole
    // beginning is compared before the pattern is tried.
    if (startsLikeRsyncOwnLine(line, length)
            && rsyncOwnLinePattern().match(QString::fromUtf8(line, length)).hasMatch())
        return;
    // A new file: whatever rsync had counted of a file it gave up on is gone.
    m_currentFileBytes = 0;
    m_currentName = QByteArray(line, length);
}

QByteArray ExportProgress::decodeName(const QByteArray &printed)
{
    // rsync prints a byte it will not show as "\#" and three octal digits,
    // and a backslash that would look like one the same way ("\#134").
    QByteArray name;
    name.reserve(printed.size());
    for (int i = 0; i < printed.size(); ++i) {
        if (printed.at(i) == '\\' && i + 4 < printed.size() && printed.at(i + 1) == '#') {
            const char a = printed.at(i + 2), b = printed.at(i + 3), c = printed.at(i + 4);
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                name.append(char((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 4;
                continue;
            }
        }
        name.append(printed.at(i));
    }
    return name;
}

void ExportProgress::setWritten(qint64 bytes, qint64 nowMs)
{
    m_written = bytes < 0 ? -1 : bytes;
    updatePercent();
    takeSample(nowMs);
}

void ExportProgress::advanceTo(qint64 bytes, qint64 nowMs)
{
    m_completedBytes = qMax(m_completedBytes, bytes);
    updatePercent();
    takeSample(nowMs);
}

void ExportProgress::finish()
{
    // Flushed: everything handed over is on the drive.
    m_written = -1;
    m_finished = true;
    m_percent = 100;
}

void ExportProgress::updatePercent()
{
    if (m_finished || m_total <= 0)
        return;
    const double fraction = double(bytesDone()) / double(m_total);
    const int percent = int(qMin(fraction * 100.0, 99.0));
    m_percent = qMax(m_percent, percent);
}

void ExportProgress::takeSample(qint64 nowMs)
{
    if (m_sampleSize > 0 && nowMs - m_samples[m_sampleHead].ms < SampleEveryMs)
        return;
    m_sampleHead = (m_sampleHead + 1) % SampleCount;
    m_samples[m_sampleHead] = Sample{nowMs, bytesDone()};
    m_sampleSize = qMin(m_sampleSize + 1, SampleCount);
}

double ExportProgress::bytesPerSecond(qint64 nowMs) const
{
    if (m_sampleSize == 0)
        return 0;
    // The oldest sample of the last ten seconds, or the newest one when
    // nothing came in that long: then the speed is what moved since.
    Sample base = m_samples[m_sampleHead];
    for (int i = 1; i < m_sampleSize; ++i) {
        const Sample &sample = m_samples[(m_sampleHead - i + SampleCount) % SampleCount];
        if (nowMs - sample.ms > SpeedWindowMs)
            break;
        base = sample;
    }
    const qint64 spanMs = nowMs - base.ms;
    if (spanMs < MinSpeedWindowMs)
        return 0;
    const qint64 moved = bytesDone() - base.bytes;
    return moved > 0 ? double(moved) * 1000.0 / double(spanMs) : 0.0;
}

qint64 ExportProgress::secondsLeft(qint64 nowMs) const
{
    const double speed = bytesPerSecond(nowMs);
    if (speed <= 0)
        return -1;
    const qint64 remaining = total() - bytesDone();
    return remaining > 0 ? qint64(std::ceil(double(remaining) / speed)) : 0;
}
