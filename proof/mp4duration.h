#pragma once

#include <QtGlobal>

#include <functional>

// How long an MP4 recording is, from its own header, for the export's list of
// recordings: its start is its modification time less this.
//
// A recording is hostile input: the recorder may have lost power in the middle
// of it, or it may not be an MP4 at all. The reader trusts no size or count in
// it, keeps at most a bounded part of it in memory (the movie box up to
// 8 MiB, one movie fragment up to 1 MiB at a time) and stops after a bounded
// number of boxes. It runs right after the hasher has read the whole file, so
// its few reads come from the page cache: a window of 16 KiB serves the box
// headers and the small boxes around them, so a plain recording costs two or
// three reads and a fragmented one about one per fragment.
//
// The duration is the movie header's (mvhd, version 0 or 1) duration over its
// time scale. A fragmented MP4 (one whose movie box holds mvex, as ffmpeg
// writes with -movflags frag_keyframe+empty_moov) leaves that header at zero
// or at the part in the movie box only, so there the duration is the sum of
// one track's sample durations: those in the movie box (stts) and those of
// every complete fragment (trun, or tfhd's or trex's default per sample). The
// track is the first video track, else the first with samples, in its media
// time scale (mdhd). A fragmented file cut short gives the duration of the
// fragments that are whole; the fragment duration promised in mehd is not
// taken, since it need not match what is there.

// Reads up to `size` bytes at `offset` into `buffer`; returns the count (fewer
// only at the end of the file), or -1 on an error.
using ReadAt = std::function<qint64(qint64 offset, char *buffer, qint64 size)>;

// The duration in milliseconds, rounded to the nearest; -1 when it is unknown:
// an empty file, no movie header (not an MP4, or cut short before it), a time
// scale of zero, a duration marked unknown (all ones), longer than 100 years,
// or an error reading. `fileSize` is the size the caller saw; nothing beyond it
// is read.
qint64 mp4DurationMs(const ReadAt &readAt, qint64 fileSize);
// The same through pread(2) on `fd`; the file offset is left as it is.
qint64 mp4DurationMs(int fd, qint64 fileSize);
