#pragma once

#include <QByteArray>

#include <cstring>

// rsync's standard output cut into segments: what lies between two line ends,
// where "\r" ends a progress update and "\n" a file name or one of rsync's own
// lines. Output arrives in batches cut anywhere; a piece after the last line
// end of a batch waits for the next one (bounded: a piece longer than
// `maxSegment` is only reported as too long). Both the copy engine's log and
// the export's progress model read the output through this.
//
// On small files a batch holds hundreds of names and updates, twenty batches
// a second: line ends are found with memchr, which compares many bytes at a
// time, the nearer of the two is taken, and each is looked for again only once
// the walk has passed it; a segment is handed over where it lies in the batch
// and copied only when a batch cut it.
class RsyncLines
{
public:
    explicit RsyncLines(int maxSegment)
        : m_max(maxSegment)
    {
    }

    // Calls `segment(const char *data, int length, bool tooLong, char end)`
    // for every segment that `chunk` completes, in order; `end` is '\r' or
    // '\n'. A too long segment comes with tooLong set and no data.
    template<typename Segment>
    void feed(const char *data, int size, Segment &&segment)
    {
        const char *from = data;
        const char *const end = data + size;
        const char *nextReturn = nullptr;
        const char *nextNewline = nullptr;
        while (from < end) {
            if (!nextReturn || nextReturn < from)
                nextReturn = find(from, end, '\r');
            if (!nextNewline || nextNewline < from)
                nextNewline = find(from, end, '\n');
            const char *const stop = nextReturn < nextNewline ? nextReturn : nextNewline;
            const int length = int(stop - from);
            if (stop == end) {
                keep(from, length);
                break;
            }
            if (m_tail.isEmpty() && !m_tooLong) {
                const bool tooLong = length > m_max;
                segment(tooLong ? nullptr : from, tooLong ? 0 : length, tooLong, *stop);
            } else {
                keep(from, length);
                segment(m_tooLong ? nullptr : m_tail.constData(), m_tooLong ? 0 : int(m_tail.size()), m_tooLong,
                        *stop);
                m_tail.clear();
                m_tooLong = false;
            }
            from = stop + 1;
        }
    }

    // The unfinished piece after the last line end; empty when it grew too long.
    const QByteArray &tail() const { return m_tail; }
    bool tailTooLong() const { return m_tooLong; }
    // Takes the unfinished piece as it is (the output has ended).
    QByteArray takeTail()
    {
        m_tooLong = false;
        QByteArray piece;
        piece.swap(m_tail);
        return piece;
    }
    void clear()
    {
        m_tail.clear();
        m_tooLong = false;
    }

private:
    static const char *find(const char *from, const char *end, char c)
    {
        const void *found = std::memchr(from, c, size_t(end - from));
        return found ? static_cast<const char *>(found) : end;
    }
    void keep(const char *piece, int length)
    {
        if (m_tooLong)
            return;
        if (m_tail.size() + length > m_max) {
            m_tooLong = true;
            m_tail.clear();
        } else {
            m_tail.append(piece, length);
        }
    }

    int m_max;
    QByteArray m_tail;
    bool m_tooLong = false;
};
