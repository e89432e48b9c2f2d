// Reads the duration of arbitrary bytes taken as an MP4 recording. Whatever
// they hold, the reader must stay inside the file, keep its reads few and
// bounded, give -1 or a duration of at most 100 years, and give -1 when its
// last read fails rather than a duration made of what it read before.
#include "proof/mp4duration.h"

#include "fuzzsupport.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void fail(const char *what, qint64 value)
{
    fprintf(stderr, "fuzz_mp4duration: %s (%lld)\n", what, static_cast<long long>(value));
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzTarget("fuzz_mp4duration");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const qint64 fileSize = qint64(size);
    qint64 reads = 0, bytesRead = 0;
    const ReadAt fromMemory = [&](qint64 offset, char *buffer, qint64 count) -> qint64 {
        if (offset < 0 || count < 0 || offset > fileSize)
            fail("a read outside the file at", offset);
        ++reads;
        const qint64 got = std::min(count, fileSize - offset);
        bytesRead += count;
        memcpy(buffer, data + offset, size_t(got));
        return got;
    };
    const qint64 duration = mp4DurationMs(fromMemory, fileSize);
    if (duration < -1 || duration > 100LL * 366 * 24 * 3600 * 1000)
        fail("a duration out of range", duration);
    // A top-level box costs at most one read for its header (a box is at
    // least 8 bytes) and one for a body larger than the 16 KiB window; no
    // read is larger than the window, the 8 MiB movie box or a fragment, and
    // the fragments are parts of the file.
    if (reads > fileSize / 8 + fileSize / (16 * 1024) + 2)
        fail("too many reads", reads);
    if (bytesRead > reads * 16 * 1024 + fileSize + 8 * 1024 * 1024)
        fail("too many bytes read", bytesRead);

    // An error on the last read: unknown, or the answer it had before it
    // needed that read.
    qint64 left = reads;
    const ReadAt failing = [&](qint64 offset, char *buffer, qint64 count) -> qint64 {
        return --left == 0 ? -1 : fromMemory(offset, buffer, count);
    };
    if (reads > 0 && mp4DurationMs(failing, fileSize) != -1)
        fail("a read error did not give an unknown duration", duration);
    return 0;
}
