#pragma once

#include <QByteArray>
#include <QString>

#include <limits>

// recordings.csv in the export directory: one row per exported recording, for
// tools and spreadsheets, with the columns
//
//   camera,file,start,end,duration_s,bytes,sha256
//
// camera   the camera's folder, as the record names it
// file     the path relative to the export directory
// start    the end less the duration rounded to the second; empty when the
//          duration is unknown (the start is then not known either)
// end      the recording's modification time
// duration_s  seconds with three decimals, from the MP4's header; empty when
//          unknown (not an MP4, cut before its header, still being written)
// bytes    the size in bytes
// sha256   the same digest as in SHA256SUMS, lower-case hex
//
// Times are ISO 8601 to the second with the recorder's UTC offset at that
// moment, e.g. 2026-12-09T10:05:00+08:00.
//
// The file is UTF-8 with RFC 4180 quoting: lines end in CRLF, and a field
// holding a comma, a double quote, a CR or an LF is put in double quotes, a
// double quote inside doubled. A name that is not valid UTF-8 keeps its valid
// sequences and has each other byte written as \xHH (two upper-case hex
// digits), so the file stays UTF-8; the original bytes are in SHA256SUMS and
// on the stick. (A name holding the text "\x" and two hex digits reads the
// same as an escaped byte; the sha256 column tells such files apart.)

constexpr char kRecordingsCsvFileName[] = "recordings.csv";

struct RecordingRow
{
    QByteArray camera;
    QByteArray file;         // relative to the export directory, as bytes
    qint64 endSecs = 0;      // modification time, seconds since the epoch
    qint64 durationMs = -1;  // -1: unknown
    qint64 bytes = 0;
    QByteArray sha256;       // 32 raw bytes; an empty field otherwise
};

// The header row, with its CRLF.
QByteArray csvHeader();
// This machine's UTC offset at a time, looked up once for each hour asked
// about: the rows of a large export ask for the same few hours again and
// again, and a time zone lookup costs more than the rest of a row.
class LocalOffsets
{
public:
    // False for a time QDateTime cannot represent.
    bool at(qint64 secs, int *offset);

private:
    qint64 m_hour = std::numeric_limits<qint64>::min();
    int m_offset = 0;
};

// One row, with its CRLF; `offsets` kept from row to row.
QByteArray csvRow(const RecordingRow &row);
QByteArray csvRow(const RecordingRow &row, LocalOffsets &offsets);
// One field: invalid UTF-8 escaped, then quoted when it needs to be.
QByteArray csvField(const QByteArray &bytes);
// ISO 8601 with this machine's UTC offset at that moment, to the second;
// empty for a time QDateTime cannot represent.
QString isoTime(qint64 msecsSinceEpoch);
QString isoTime(qint64 msecsSinceEpoch, LocalOffsets &offsets);
// "2026-12-09 10:05:00" (with `separator` between date and time) of `secs` at
// the UTC offset `offsetSeconds`, computed without a time zone lookup.
QByteArray civilTime(qint64 secs, int offsetSeconds, char separator);
// "+08:00".
QByteArray utcOffset(int offsetSeconds);
