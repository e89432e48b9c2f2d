#pragma once

#include "proof/gaps.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <vector>

// The export directory's index.html: one self-contained page that the person
// who receives the stick opens with a double click. It shows what the export
// holds and where it came from, a timeline of each camera's footage with its
// gaps, and plays a recording in the page's own player. Everything it needs is
// inline; it loads nothing but the recordings beside it.
constexpr char kPageFileName[] = "index.html";

struct PageHeader
{
    QString hostname;
    QString span;           // the span chosen, with its times and UTC offset
    QString exported;       // when the export ran, with its UTC offset
    QString verification;   // the verification's verdict, one line
    QString fingerprint;    // "SHA256:..." of the signing key; empty when unsigned
    QString unsignedReason; // why the export is not signed, when it is not
    int utcOffsetSeconds = 0; // the recorder's offset, for the recordings' times
};

struct PageRecording
{
    QByteArray file;        // path relative to the export directory, as bytes
    qint64 startMs = 0;     // milliseconds since the epoch
    qint64 endMs = 0;
    qint64 durationMs = -1; // -1: the duration could not be read
    qint64 bytes = 0;
};

// Writes the page as a stream, a row at a time, into `sink` (which the caller
// points at a hidden temporary file). What it holds meanwhile is bounded by
// one camera's drawn timeline, never by the number of recordings.
//
// Call order: begin(), then per camera beginCamera(), recording() for each of
// its recordings in time order, endCamera(); last end().
class ExportPageWriter
{
public:
    explicit ExportPageWriter(std::function<bool(const QByteArray &)> sink);
    ~ExportPageWriter();
    ExportPageWriter(const ExportPageWriter &) = delete;
    ExportPageWriter &operator=(const ExportPageWriter &) = delete;

    void begin(const PageHeader &header);
    void beginCamera(const QByteArray &camera, qint64 spanStartMs, qint64 spanEndMs);
    void recording(const PageRecording &rec);
    // `gaps` are the camera's first gaps (the first 20 are marked and listed),
    // `gapCount` how many it has in all.
    void endCamera(const std::vector<Gap> &gaps, int gapCount);
    // Writes the page's end and what is still buffered; false when any write
    // to the sink failed.
    bool end();

    // The relative link that opens `file` from the page: every byte of each
    // path segment percent-encoded but the unreserved ones, "/" kept between
    // segments. Empty for a path that could leave the export directory
    // (absolute, empty, "." or ".." segments).
    static QByteArray link(const QByteArray &file);

    // At most this many covered stretches are drawn per camera; closer ones
    // are merged, as the bar could not show them apart anyway.
    static constexpr int kMaxDrawnStretches = 1000;

private:
    struct Stretch
    {
        qint64 startMs;
        qint64 endMs;
    };

    void write(const QByteArray &bytes);
    void flush();
    QByteArray time(qint64 ms) const;
    void cover(qint64 startMs, qint64 endMs);

    std::function<bool(const QByteArray &)> m_sink;
    QByteArray m_buffer;
    bool m_failed = false;
    int m_offsetSeconds = 0;
    int m_index = 0;          // the next recording's number on the page
    int m_cameraRows = 0;
    qint64 m_spanStartMs = 0;
    qint64 m_spanEndMs = 0;
    qint64 m_mergeMs = 0;     // stretches closer than this are drawn as one
    std::vector<Stretch> m_stretches;
};
