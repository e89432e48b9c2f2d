#pragma once

#include "platform/sha256.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

struct stat;

// rsync's quick check: a copy of the same size whose modification time is
// within the drive's time resolution (`modifyWindow`, seconds) is taken to
// be the same file, and rsync leaves it as it is.
bool quickCheckSame(qint64 sizeA, qint64 mtimeA, qint64 sizeB, qint64 mtimeB, int modifyWindow);

// Every file of one export, for the proof of what the stick holds: its path
// in the export directory, the recording's SHA-256 from the bytes rsync
// copied, and at the end what the stick itself gave back.
//
// The recording's hash is taken while its bytes are still in the page cache,
// right after rsync has handed the file over (hashSource() on the names the
// progress model reports), so the recorder's disk is read once; what rsync
// skipped, and what it did not name, is hashed during the verification. The
// hash comes with the size and time the recording had when it was hashed: a
// copy on the stick with other ones was made from another state of a
// recording that changed during the export, which is no fault of the stick.
//
// A counterfeit stick loses what is written past its real capacity (it reads
// as zeros) or wraps it around onto earlier data (a block reads as another
// file's). To tell that from a damaged stick, every sixteenth 4 KiB block of
// each recording leaves a 64-bit fingerprint: where a copy differs, its
// blocks at those places are compared with the recording's, with zeros and
// with the fingerprints of every other block sampled.
//
// About 100 bytes a file and 16 for every 64 KiB exported. One thread at a
// time uses it: the hasher during the copy, the verification after it.
class ExportLedger
{
public:
    enum class Verdict : quint8 {
        Pending,   // not verified (yet)
        Verified,  // the stick gave back the recording's bytes
        Mismatch,  // the stick gave back other bytes
        ReadError, // the stick could not be read
        Missing,   // the stick has no such file
        Changed,   // the recording changed while it was exported
        Vanished,  // the recorder deleted the recording during the export
    };
    static constexpr int kBlock = 4096;
    static constexpr int kSampleEvery = 16;

    struct Entry
    {
        quint32 path = 0;        // offset of the NUL-ended path in m_paths
        qint32 camera = -1;      // index into cameras(), -1: none
        qint64 size = 0;         // the recording's, as the plan saw it, then as hashed
        qint64 mtime = 0;
        bool hashed = false;     // `sha` is the recording's
        bool database = false;   // the alarm database's snapshot on the stick
        Verdict verdict = Verdict::Pending;
        // The recording's length from its MP4 header, in milliseconds, read
        // while it was hashed; -1 when unknown (not an MP4, cut short, over
        // 24 days).
        qint32 durationMs = -1;
        quint32 firstSample = 0; // this file's fingerprints in m_samples
        quint32 samples = 0;
        std::array<quint8, 32> sha{};
    };

    // What the verification found, for the verdict and the record.
    struct Result
    {
        int verified = 0;
        int mismatched = 0;    // Mismatch, ReadError and Missing together
        int readErrors = 0;
        int changed = 0;       // Changed
        int vanished = 0;
        QStringList firstMismatched;
        QStringList firstChanged;
        // Of the sampled blocks of the mismatched copies: how many differ,
        // and how many of those read as zeros or as another file's data.
        int badSamples = 0;
        int lostSamples = 0;
        bool counterfeit() const { return badSamples >= 4 && lostSamples * 10 >= badSamples * 9; }
        bool complete = false; // false when it was stopped
    };

    void setCameras(const QStringList &cameras) { m_cameras = cameras; }
    QStringList cameras() const { return m_cameras; }
    // A recording of the plan, by its path below the recordings directory.
    void add(const std::string &relative, int camera, const struct stat &st);
    // Entry `i` of `other`, for a part of an export.
    void copyEntry(const ExportLedger &other, int i);
    // The database's snapshot `name` in the export directory `dirFd`, hashed
    // as it lies on the stick (never through a link); false when it is not
    // there as a regular file or could not be read.
    bool addDatabase(int dirFd, const QByteArray &name, const std::atomic<bool> &cancelled);
    // Sorts by path, for find() and the manifest; after the plan.
    void sort();
    int size() const { return int(m_entries.size()); }
    const Entry &entry(int i) const { return m_entries[size_t(i)]; }
    QByteArray path(int i) const { return QByteArray(m_paths.data() + m_entries[size_t(i)].path); }
    // The entry of `path`, -1 when there is none.
    int find(const QByteArray &path) const;
    qint64 totalBytes() const;

    // Hashes the recording `path` (below `sourceFd`) into its entry, adding
    // one for a file rsync copied that the plan did not see, and reads its
    // duration from its header while its bytes are in the page cache. Meant
    // for the hasher's thread.
    void hashSource(int sourceFd, const QByteArray &path, const std::atomic<bool> &cancelled);
    // Reads every file back from the export directory `targetFd` on the
    // stick (mounted afresh, so that no cache answers) and compares; what has
    // no hash of the recording yet is hashed from `sourceFd` first.
    // `doneBytes` counts what was read from the stick. `modifyWindow`: the
    // drive's time resolution, as rsync keeps times.
    Result verify(int sourceFd, int targetFd, int modifyWindow, const std::atomic<bool> &cancelled,
                  std::atomic<qint64> *doneBytes);

private:
    int addEntry(const QByteArray &path, int camera, qint64 size, qint64 mtime);
    bool hashInto(int fd, qint64 size, Entry &entry, bool sampling, const std::atomic<bool> &cancelled,
                  std::atomic<qint64> *doneBytes, int *badSamples, int *lostSamples);
    bool isOtherBlock(quint64 fingerprint, int entry, quint32 block) const;

    QStringList m_cameras;
    std::vector<char> m_paths;
    std::vector<Entry> m_entries;
    size_t m_sorted = 0; // the entries before this are sorted by path
    std::unique_ptr<char[]> m_buffer;
    Sha256 m_sha;
    // Fingerprints of the sampled blocks, each file's together.
    std::vector<quint64> m_samples;
    // The same, sorted, with where each came from: for another file's data.
    struct Sample
    {
        quint64 fingerprint;
        qint32 entry;
        quint32 block;
    };
    std::vector<Sample> m_sampleIndex;
};
