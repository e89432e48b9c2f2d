#include "proof/ledger.h"

#include "platform/descriptor.h"
#include "platform/fileutil.h"
#include "platform/sha256.h"
#include "proof/mp4duration.h"

#include <QFile>

#include <algorithm>
#include <limits>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Large enough for the kernel's read-ahead to keep a stick busy, small
// enough to keep out of the tool's memory.
constexpr size_t kReadSize = size_t(256) << 10;
constexpr int kListed = 10;

// A cheap 64-bit fingerprint of one block: it only has to tell blocks of an
// export apart, not resist anyone.
quint64 fingerprint(const char *block)
{
    quint64 h = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < ExportLedger::kBlock; i += 8) {
        quint64 word;
        std::memcpy(&word, block + i, sizeof word);
        h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
    }
    return h;
}

bool isZero(const char *block)
{
    static const char zeros[ExportLedger::kBlock] = {};
    return std::memcmp(block, zeros, sizeof zeros) == 0;
}

// Opens `relative` below `dirFd` on the stick: every directory on the way
// and the file itself without following a link, and only a regular file.
// -1 with errno set when it cannot.
int openOnStick(int dirFd, const QByteArray &relative)
{
    Descriptor dir(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    const QList<QByteArray> parts = relative.split('/');
    for (int i = 0; i + 1 < parts.size(); ++i) {
        if (!dir.isValid())
            return -1;
        dir.reset(::openat(dir.get(), parts.at(i).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    if (!dir.isValid())
        return -1;
    Descriptor file(::openat(dir.get(), parts.last().constData(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (file.isValid() && (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))) {
        errno = EINVAL;
        return -1;
    }
    return file.release();
}

} // namespace

int ExportLedger::addEntry(const QByteArray &path, int camera, qint64 size, qint64 mtime)
{
    Entry entry;
    entry.path = quint32(m_paths.size());
    entry.camera = camera;
    entry.size = size;
    entry.mtime = mtime;
    m_paths.insert(m_paths.end(), path.constData(), path.constData() + path.size());
    m_paths.push_back('\0');
    m_entries.push_back(entry);
    return int(m_entries.size()) - 1;
}

void ExportLedger::add(const std::string &relative, int camera, const struct stat &st)
{
    addEntry(QByteArray(relative.data(), int(relative.size())), camera, st.st_size, st.st_mtime);
}

void ExportLedger::copyEntry(const ExportLedger &other, int i)
{
    const Entry &from = other.entry(i);
    addEntry(other.path(i), from.camera, from.size, from.mtime);
}

bool quickCheckSame(qint64 sizeA, qint64 mtimeA, qint64 sizeB, qint64 mtimeB, int modifyWindow)
{
    return sizeA == sizeB && std::llabs(static_cast<long long>(mtimeA - mtimeB)) <= modifyWindow;
}

bool ExportLedger::addDatabase(int dirFd, const QByteArray &name, const std::atomic<bool> &cancelled)
{
    // What lies on the stick now, from the page cache: the snapshot as it was
    // written, which the verification reads back from the stick itself.
    const Descriptor file(::openat(dirFd, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st;
    if (!file.isValid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    Entry &entry = m_entries[size_t(addEntry(name, -1, st.st_size, st.st_mtime))];
    entry.database = true;
    const bool hashed = hashInto(file.get(), st.st_size, entry, true, cancelled, nullptr, nullptr, nullptr);
    sort();
    return hashed;
}

void ExportLedger::sort()
{
    const char *paths = m_paths.data();
    std::sort(m_entries.begin(), m_entries.end(),
              [paths](const Entry &a, const Entry &b) { return std::strcmp(paths + a.path, paths + b.path) < 0; });
    m_sorted = m_entries.size();
}

int ExportLedger::find(const QByteArray &path) const
{
    const char *paths = m_paths.data();
    const auto sortedEnd = m_entries.cbegin() + std::ptrdiff_t(m_sorted);
    const auto found = std::lower_bound(m_entries.cbegin(), sortedEnd, path.constData(),
                                        [paths](const Entry &entry, const char *key) {
                                            return std::strcmp(paths + entry.path, key) < 0;
                                        });
    if (found != sortedEnd && std::strcmp(paths + found->path, path.constData()) == 0)
        return int(found - m_entries.cbegin());
    // The few added since the last sort: files rsync copied that the plan did not see.
    for (auto it = sortedEnd; it != m_entries.cend(); ++it) {
        if (std::strcmp(paths + it->path, path.constData()) == 0)
            return int(it - m_entries.cbegin());
    }
    return -1;
}

qint64 ExportLedger::totalBytes() const
{
    qint64 total = 0;
    for (const Entry &entry : m_entries)
        total += entry.size;
    return total;
}

// Reads the whole file at `fd` into the entry's hash (`sampling`: taking its
// fingerprints) or, reading the stick, compares its sampled blocks with the
// recording's. False on a read error or a cancel.
bool ExportLedger::hashInto(int fd, qint64 size, Entry &entry, bool sampling, const std::atomic<bool> &cancelled,
                            std::atomic<qint64> *doneBytes, int *badSamples, int *lostSamples)
{
    // One buffer for every file, left as it is between them: a million small
    // recordings must not cost a million zeroed megabytes.
    if (!m_buffer)
        m_buffer.reset(new char[kReadSize]);
    char *const buffer = m_buffer.get();
    Sha256 &sha = m_sha;
    sha.reset();
    quint32 block = 0;
    const quint32 firstSample = quint32(m_samples.size());
    const int index = int(&entry - m_entries.data());
    // The stick is read once, in order; the recording, right after rsync, is
    // in the page cache anyway.
    if (!sampling)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // Up to the size fstat gave, so that a small file takes one read and no
    // second one to find its end; what grew past it is seen by the caller.
    qint64 left = size;
    for (;;) {
        if (cancelled.load())
            return false;
        size_t got = 0;
        const size_t want = size_t(std::min<qint64>(qint64(kReadSize), left));
        // Whole buffers, so that the blocks fall on the file's 4 KiB.
        while (got < want) {
            const ssize_t n = ::read(fd, buffer + got, want - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            if (n == 0)
                break;
            got += size_t(n);
        }
        if (got == 0)
            break;
        sha.update(buffer, got);
        if (doneBytes)
            doneBytes->fetch_add(qint64(got), std::memory_order_relaxed);
        for (size_t at = 0; at + kBlock <= got; at += kBlock, ++block) {
            if (block % kSampleEvery != 0)
                continue;
            const quint64 print = fingerprint(buffer + at);
            const quint32 sample = block / kSampleEvery;
            if (sampling) {
                m_samples.push_back(print);
            } else if (sample < entry.samples && m_samples[entry.firstSample + sample] != print) {
                ++*badSamples;
                if (isZero(buffer + at) || isOtherBlock(print, index, block))
                    ++*lostSamples;
            }
        }
        left -= qint64(got);
        if (got < want || left <= 0)
            break;
    }
    const QByteArray digest = sha.finish();
    if (digest.size() != int(entry.sha.size()))
        return false;
    if (sampling) {
        entry.firstSample = firstSample;
        entry.samples = quint32(m_samples.size()) - firstSample;
        std::memcpy(entry.sha.data(), digest.constData(), entry.sha.size());
        entry.hashed = true;
    } else if (std::memcmp(entry.sha.data(), digest.constData(), entry.sha.size()) != 0) {
        entry.verdict = Verdict::Mismatch;
    } else {
        entry.verdict = Verdict::Verified;
    }
    return true;
}

bool ExportLedger::isOtherBlock(quint64 print, int entry, quint32 block) const
{
    auto it = std::lower_bound(m_sampleIndex.cbegin(), m_sampleIndex.cend(), print,
                               [](const Sample &sample, quint64 key) { return sample.fingerprint < key; });
    for (; it != m_sampleIndex.cend() && it->fingerprint == print; ++it) {
        if (it->entry != entry || it->block != block)
            return true;
    }
    return false;
}

void ExportLedger::hashSource(int sourceFd, const QByteArray &path, const std::atomic<bool> &cancelled)
{
    const Descriptor file(::openat(sourceFd, path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat before;
    if (!file.isValid() || ::fstat(file.get(), &before) != 0 || !S_ISREG(before.st_mode))
        return; // gone already: the verification tells
    int index = find(path);
    if (index < 0) {
        // Written after the plan looked, and copied by rsync all the same.
        if (hasHiddenPart(path.constData(), size_t(path.size())))
            return;
        index = addEntry(path, -1, before.st_size, before.st_mtime);
    }
    Entry &entry = m_entries[size_t(index)];
    entry.hashed = false;
    if (!hashInto(file.get(), before.st_size, entry, true, cancelled, nullptr, nullptr, nullptr))
        return;
    struct stat after;
    // Written to while it was read: the hash is of no one state of it.
    if (::fstat(file.get(), &after) != 0 || after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec
            || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec) {
        entry.hashed = false;
        return;
    }
    entry.size = before.st_size;
    entry.mtime = before.st_mtime;
    // The boxes just hashed: a small recording is all in the hash's buffer
    // still; a large one takes a few reads of the page cache, not the disk.
    const qint64 size = before.st_size;
    const char *const data = m_buffer.get();
    const qint64 duration = size <= qint64(kReadSize)
            ? mp4DurationMs(
                      [data, size](qint64 offset, char *buffer, qint64 want) -> qint64 {
                          if (offset < 0 || offset > size || want < 0)
                              return -1;
                          const qint64 n = std::min(want, size - offset);
                          std::memcpy(buffer, data + offset, size_t(n));
                          return n;
                      },
                      size)
            : mp4DurationMs(file.get(), size);
    entry.durationMs = duration >= 0 && duration <= std::numeric_limits<qint32>::max() ? qint32(duration) : -1;
}

ExportLedger::Result ExportLedger::verify(int sourceFd, int targetFd, int modifyWindow,
                                          const std::atomic<bool> &cancelled, std::atomic<qint64> *doneBytes)
{
    Result result;
    if (m_sorted != m_entries.size())
        sort();
    // What rsync skipped or did not name is hashed now, from the recorder.
    for (int i = 0; i < size() && !cancelled.load(); ++i) {
        if (!m_entries[size_t(i)].hashed && !m_entries[size_t(i)].database)
            hashSource(sourceFd, path(i), cancelled);
    }
    m_sampleIndex.clear();
    m_sampleIndex.reserve(m_samples.size());
    for (int i = 0; i < size(); ++i) {
        const Entry &entry = m_entries[size_t(i)];
        for (quint32 s = 0; s < entry.samples; ++s)
            m_sampleIndex.push_back({m_samples[entry.firstSample + s], i, s * kSampleEvery});
    }
    std::sort(m_sampleIndex.begin(), m_sampleIndex.end(),
              [](const Sample &a, const Sample &b) { return a.fingerprint < b.fingerprint; });

    const auto listed = [](QStringList &list, const QByteArray &path) {
        if (list.size() < kListed)
            list << QFile::decodeName(path);
    };
    for (int i = 0; i < size(); ++i) {
        if (cancelled.load())
            return result;
        Entry &entry = m_entries[size_t(i)];
        const QByteArray name = path(i);
        const Descriptor copy(openOnStick(targetFd, name));
        const int openError = errno;
        struct stat recording;
        const bool recorded = entry.database
                || (::fstatat(sourceFd, name.constData(), &recording, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(recording.st_mode));
        if (!copy.isValid()) {
            if (!recorded)
                entry.verdict = Verdict::Vanished; // deleted by the recorder's rotation before it was copied
            else if (openError == ENOENT)
                entry.verdict = Verdict::Missing;
            else
                entry.verdict = Verdict::ReadError;
        } else if (!entry.hashed) {
            // It changed while it was hashed, or vanished: no one state to compare with.
            entry.verdict = recorded ? Verdict::Changed : Verdict::Vanished;
        } else {
            struct stat onStick;
            int bad = 0;
            int lost = 0;
            if (::fstat(copy.get(), &onStick) != 0
                    || !hashInto(copy.get(), onStick.st_size, entry, false, cancelled, doneBytes, &bad, &lost)) {
                if (cancelled.load())
                    return result;
                entry.verdict = Verdict::ReadError;
            } else if (entry.verdict == Verdict::Mismatch && !entry.database
                       && !quickCheckSame(onStick.st_size, onStick.st_mtime, entry.size, entry.mtime, modifyWindow)) {
                // rsync copied another state of the recording than was hashed.
                entry.verdict = Verdict::Changed;
            } else if (entry.verdict == Verdict::Mismatch) {
                result.badSamples += bad;
                result.lostSamples += lost;
            }
        }
        switch (entry.verdict) {
        case Verdict::Verified:
            ++result.verified;
            break;
        case Verdict::ReadError:
            ++result.readErrors;
            Q_FALLTHROUGH();
        case Verdict::Mismatch:
        case Verdict::Missing:
            ++result.mismatched;
            listed(result.firstMismatched, name);
            break;
        case Verdict::Changed:
            ++result.changed;
            listed(result.firstChanged, name);
            break;
        case Verdict::Vanished: // rsync has said so already
            ++result.vanished;
            break;
        case Verdict::Pending:
            break;
        }
    }
    result.complete = true;
    return result;
}
