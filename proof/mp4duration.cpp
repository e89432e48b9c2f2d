#include "proof/mp4duration.h"

#include "proof/stickfile.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include <unistd.h>

namespace {

// Box headers and small boxes come from one window of the file; the movie
// box and larger fragments get a read of their own, up to these sizes.
constexpr qint64 kWindowBytes = qint64(16) << 10;
constexpr qint64 kMaxMovieBytes = qint64(8) << 20;
constexpr qint64 kMaxFragmentBytes = qint64(1) << 20;
// An hour in fragments of one frame at 60 frames a second is 432,000 boxes.
constexpr int kMaxTopLevelBoxes = 1 << 20;
constexpr size_t kMaxTracks = 32;
constexpr quint64 kMaxDurationMs = 100ULL * 366 * 24 * 3600 * 1000;

constexpr quint32 boxType(const char (&name)[5])
{
    return quint32(quint8(name[0])) << 24 | quint32(quint8(name[1])) << 16 | quint32(quint8(name[2])) << 8
           | quint32(quint8(name[3]));
}

quint64 bigEndian(const unsigned char *bytes, int count)
{
    quint64 value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// Top-level box types are four printable ASCII characters; anything else
// means this is not an MP4, or the walk has run into garbage.
bool printable(quint32 type)
{
    for (int shift = 0; shift < 32; shift += 8) {
        const quint32 c = (type >> shift) & 0xff;
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

// sum += count * each; false when that no longer fits in 64 bits.
bool addProduct(quint64 *sum, quint64 count, quint64 each)
{
    quint64 product = 0;
    return !__builtin_mul_overflow(count, each, &product) && !__builtin_add_overflow(*sum, product, sum);
}

qint64 toMs(quint64 ticks, quint64 timescale)
{
    if (timescale == 0 || ticks / timescale > kMaxDurationMs / 1000)
        return -1;
    // The remainder is below 2^32, so a thousand times it still fits.
    const quint64 ms = ticks / timescale * 1000 + ((ticks % timescale) * 1000 + timescale / 2) / timescale;
    return ms > kMaxDurationMs ? -1 : qint64(ms);
}

struct Bytes
{
    const unsigned char *data = nullptr;
    qint64 size = 0;
};

// Reads numbers off a span; past its end every read gives 0 and ok() turns
// false, so a parser checks once after its last read.
class Cursor
{
public:
    explicit Cursor(Bytes bytes) : m_bytes(bytes) {}
    quint64 take(int count)
    {
        if (left() < count) {
            m_ok = false;
            return 0;
        }
        const quint64 value = bigEndian(m_bytes.data + m_at, count);
        m_at += count;
        return value;
    }
    quint32 u32() { return quint32(take(4)); }
    // Version 1 of a full box widens its times and durations to 64 bits.
    quint64 word(quint32 version) { return take(version == 1 ? 8 : 4); }
    void skip(qint64 count)
    {
        if (left() < count)
            m_ok = false;
        else
            m_at += count;
    }
    qint64 left() const { return m_ok ? m_bytes.size - m_at : 0; }
    bool ok() const { return m_ok; }

private:
    Bytes m_bytes;
    qint64 m_at = 0;
    bool m_ok = true;
};

// The boxes inside a span in memory, up to the first whose header or body
// does not fit in it.
class BoxWalk
{
public:
    explicit BoxWalk(Bytes bytes) : m_bytes(bytes) {}
    bool next(quint32 *type, Bytes *payload)
    {
        const qint64 left = m_bytes.size - m_at;
        if (left < 8)
            return false;
        const unsigned char *box = m_bytes.data + m_at;
        quint64 size = bigEndian(box, 4);
        qint64 header = 8;
        if (size == 1) {
            if (left < 16)
                return false;
            size = bigEndian(box + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = quint64(left); // to the end of its parent
        }
        if (size < quint64(header) || size > quint64(left))
            return false;
        *type = quint32(bigEndian(box + 4, 4));
        *payload = Bytes{box + header, qint64(size) - header};
        m_at += qint64(size);
        return true;
    }

private:
    Bytes m_bytes;
    qint64 m_at = 0;
};

// The first child of `type` in `parent`; empty when there is none.
Bytes child(Bytes parent, quint32 type)
{
    BoxWalk walk(parent);
    quint32 found = 0;
    Bytes payload;
    while (walk.next(&found, &payload)) {
        if (found == type)
            return payload;
    }
    return Bytes{};
}

struct Track
{
    quint32 id = 0;
    quint32 timescale = 0;
    bool video = false;
    quint32 defaultDuration = 0; // trex's, for fragments that give none
    quint64 ticks = 0;           // in the movie box and in whole fragments
    quint64 pending = 0;         // in the fragment read last, until it proves whole
    bool overflow = false;
};

struct Movie
{
    bool haveHeader = false;
    quint32 version = 0;
    quint32 timescale = 0;
    quint64 duration = 0;
    bool fragmented = false;
    std::vector<Track> tracks;

    Track *track(quint32 id)
    {
        for (Track &t : tracks) {
            if (t.id == id)
                return &t;
        }
        return nullptr;
    }
};

void readMovieHeader(Bytes mvhd, Movie *movie)
{
    Cursor c(mvhd);
    const quint32 version = c.u32() >> 24;
    c.word(version); // creation time
    c.word(version); // modification time
    const quint32 timescale = c.u32();
    const quint64 duration = c.word(version);
    if (c.ok() && version <= 1) {
        movie->haveHeader = true;
        movie->version = version;
        movie->timescale = timescale;
        movie->duration = duration;
    }
}

Track readTrack(Bytes trak)
{
    Track track;
    Cursor tkhd(child(trak, boxType("tkhd")));
    const quint32 tkhdVersion = tkhd.u32() >> 24;
    tkhd.word(tkhdVersion);
    tkhd.word(tkhdVersion);
    track.id = tkhd.u32();

    const Bytes mdia = child(trak, boxType("mdia"));
    Cursor mdhd(child(mdia, boxType("mdhd")));
    const quint32 mdhdVersion = mdhd.u32() >> 24;
    mdhd.word(mdhdVersion);
    mdhd.word(mdhdVersion);
    track.timescale = mdhd.u32();
    if (!tkhd.ok() || !mdhd.ok() || mdhdVersion > 1)
        track.timescale = 0; // unusable

    Cursor hdlr(child(mdia, boxType("hdlr")));
    hdlr.skip(8); // version, flags, pre_defined
    track.video = hdlr.u32() == boxType("vide") && hdlr.ok();

    // Samples in the movie box itself: ffmpeg puts the first fragment there
    // unless told empty_moov. Each entry is a sample count and its duration.
    Cursor stts(child(child(child(mdia, boxType("minf")), boxType("stbl")), boxType("stts")));
    stts.skip(4);
    const qint64 entries = std::min<qint64>(stts.u32(), stts.left() / 8);
    for (qint64 i = 0; i < entries && !track.overflow; ++i) {
        const quint32 count = stts.u32();
        track.overflow = !addProduct(&track.ticks, count, stts.u32());
    }
    return track;
}

void readMovie(Bytes moov, Movie *movie)
{
    BoxWalk walk(moov);
    quint32 type = 0;
    Bytes payload;
    std::vector<std::pair<quint32, quint32>> defaults; // trex: track ID, sample duration
    while (walk.next(&type, &payload)) {
        if (type == boxType("mvhd") && !movie->haveHeader) {
            readMovieHeader(payload, movie);
        } else if (type == boxType("trak") && movie->tracks.size() < kMaxTracks) {
            movie->tracks.push_back(readTrack(payload));
        } else if (type == boxType("mvex")) {
            movie->fragmented = true;
            BoxWalk extends(payload);
            while (extends.next(&type, &payload) && defaults.size() < kMaxTracks) {
                if (type != boxType("trex"))
                    continue;
                Cursor trex(payload);
                trex.skip(4);
                const quint32 id = trex.u32();
                trex.skip(4); // sample description index
                const quint32 duration = trex.u32();
                if (trex.ok())
                    defaults.emplace_back(id, duration);
            }
        }
    }
    for (const auto &[id, duration] : defaults) {
        if (Track *track = movie->track(id))
            track->defaultDuration = duration;
    }
}

// Adds the sample durations of one movie fragment to its tracks' pending
// sums. False when the fragment contradicts itself (more samples than its
// bytes describe): the count stops there, as at a cut.
bool readFragment(Bytes moof, Movie *movie)
{
    for (Track &track : movie->tracks)
        track.pending = 0;
    BoxWalk walk(moof);
    quint32 type = 0;
    Bytes traf;
    while (walk.next(&type, &traf)) {
        if (type != boxType("traf"))
            continue;
        Track *track = nullptr;
        quint64 defaultDuration = 0;
        BoxWalk inner(traf);
        Bytes payload;
        while (inner.next(&type, &payload)) {
            Cursor c(payload);
            const quint32 flags = c.u32() & 0xffffff;
            if (type == boxType("tfhd")) {
                track = movie->track(c.u32());
                if (flags & 0x01)
                    c.skip(8); // base data offset
                if (flags & 0x02)
                    c.skip(4); // sample description index
                defaultDuration = track ? track->defaultDuration : 0;
                if (flags & 0x08)
                    defaultDuration = c.u32();
                if (!c.ok())
                    return false;
            } else if (type == boxType("trun") && track) {
                const quint32 count = c.u32();
                if (flags & 0x01)
                    c.skip(4); // data offset
                if (flags & 0x04)
                    c.skip(4); // first sample's flags
                // Duration, size, flags and composition offset, each present
                // per sample when its flag is set.
                const int perSample = 4 * __builtin_popcount(flags & 0xf00);
                if (!c.ok() || quint64(count) * quint64(perSample) > quint64(c.left()))
                    return false;
                if (!(flags & 0x100)) {
                    track->overflow = track->overflow || !addProduct(&track->pending, count, defaultDuration);
                    continue;
                }
                for (quint32 i = 0; i < count && !track->overflow; ++i) {
                    track->overflow = !addProduct(&track->pending, 1, c.u32());
                    c.skip(perSample - 4);
                }
            }
        }
    }
    return true;
}

// The last fragment read is whole: the box after it, with its samples, is in
// the file.
void commitFragment(Movie *movie)
{
    for (Track &track : movie->tracks) {
        track.overflow = track.overflow || !addProduct(&track.ticks, 1, track.pending);
        track.pending = 0;
    }
}

qint64 durationMs(const Movie &movie)
{
    if (!movie.haveHeader)
        return -1;
    if (movie.fragmented) {
        const Track *chosen = nullptr;
        for (const Track &track : movie.tracks) {
            if (track.timescale != 0 && track.video) {
                chosen = &track;
                break;
            }
        }
        for (const Track &track : movie.tracks) {
            if (!chosen && track.timescale != 0 && track.ticks != 0)
                chosen = &track;
        }
        if (chosen)
            return chosen->overflow ? -1 : toMs(chosen->ticks, chosen->timescale);
    }
    // All ones stands for a duration the writer did not know.
    if (movie.duration == (movie.version == 1 ? ~quint64(0) : quint64(0xffffffff)))
        return -1;
    return toMs(movie.duration, movie.timescale);
}

// What the walk reads from the file, through a window that serves headers and
// small boxes from one read.
class Source
{
public:
    Source(const ReadAt &readAt, qint64 fileSize) : m_readAt(readAt), m_fileSize(fileSize) {}

    // Points `bytes` at `size` bytes at `offset`, valid until the next call;
    // false at an error or when the file ends before them.
    bool get(qint64 offset, qint64 size, Bytes *bytes)
    {
        if (offset < 0 || size < 0 || size > m_fileSize - offset || m_failed)
            return false;
        if (offset < m_windowStart || offset - m_windowStart > m_windowSize - size) {
            std::vector<unsigned char> &buffer = size <= kWindowBytes ? m_window : m_large;
            const qint64 want = std::max(size, std::min(kWindowBytes, m_fileSize - offset));
            buffer.resize(size_t(want));
            const qint64 got = m_readAt(offset, reinterpret_cast<char *>(buffer.data()), want);
            if (got < 0 || got > want) {
                m_failed = true;
                return false;
            }
            if (&buffer == &m_window) {
                m_windowStart = offset;
                m_windowSize = got;
            }
            if (got < size)
                return false;
            *bytes = Bytes{buffer.data(), size};
            return true;
        }
        *bytes = Bytes{m_window.data() + (offset - m_windowStart), size};
        return true;
    }
    bool failed() const { return m_failed; }

private:
    const ReadAt &m_readAt;
    qint64 m_fileSize;
    std::vector<unsigned char> m_window;
    qint64 m_windowStart = 0;
    qint64 m_windowSize = 0;
    std::vector<unsigned char> m_large;
    bool m_failed = false;
};

} // namespace

qint64 mp4DurationMs(const ReadAt &readAt, qint64 fileSize)
{
    if (!readAt || fileSize < 8)
        return -1;
    Source source(readAt, fileSize);
    Movie movie;
    bool movieRead = false;
    qint64 offset = 0;
    for (int boxes = 0; boxes < kMaxTopLevelBoxes && fileSize - offset >= 8; ++boxes) {
        Bytes head;
        if (!source.get(offset, std::min<qint64>(16, fileSize - offset), &head))
            break;
        quint64 size = bigEndian(head.data, 4);
        const quint32 type = quint32(bigEndian(head.data + 4, 4));
        qint64 header = 8;
        if (size == 1) {
            if (head.size < 16)
                break;
            size = bigEndian(head.data + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = quint64(fileSize - offset); // to the end of the file
        }
        if (!printable(type) || size < quint64(header))
            break;
        const bool whole = size <= quint64(fileSize - offset);
        if (whole)
            commitFragment(&movie);
        // A movie box cut short may still hold its header; anything else
        // that runs past the end is where the file was cut.
        const qint64 body = std::min<qint64>(qint64(std::min(size, quint64(fileSize - offset))) - header,
                                             type == boxType("moov") ? kMaxMovieBytes : kMaxFragmentBytes);
        Bytes payload;
        if (type == boxType("moov") && !movieRead) {
            movieRead = true;
            if (!source.get(offset + header, body, &payload))
                break;
            readMovie(payload, &movie);
            if (!movie.fragmented)
                break;
        } else if (type == boxType("moof") && movie.fragmented && whole) {
            if (size - quint64(header) > quint64(kMaxFragmentBytes) || !source.get(offset + header, body, &payload)
                    || !readFragment(payload, &movie))
                break;
        }
        if (!whole)
            break;
        offset += qint64(size);
    }
    return source.failed() ? -1 : durationMs(movie);
}

qint64 mp4DurationMs(int fd, qint64 fileSize)
{
    return mp4DurationMs([fd](qint64 offset, char *buffer, qint64 size) -> qint64 {
        return StickFile::readAt(fd, buffer, size_t(size), off_t(offset));
    }, fileSize);
}
