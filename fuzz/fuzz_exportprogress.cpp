// Feeds arbitrary output, cut into arbitrary chunks, to the whole-export
// progress model. The update reader must agree with the pattern it is written
// from, and the model must keep its promises whatever it reads: the percentage
// never goes back and stays below 100 until the end, the bytes done never
// exceed the total shown.
#include "export/exportprogress.h"

#include "fuzzsupport.h"

#include <QRegularExpression>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QByteArray &input)
{
    fprintf(stderr, "fuzz_exportprogress: %s: \"%s\"\n", what, input.toPercentEncoding(" ").constData());
    abort();
}

// The update's shape as a regular expression: what the hand-written reader
// must accept, and nothing else.
bool patternReads(const QByteArray &segment, qint64 *bytes, bool *last)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^ *(\\d{1,3}(?:[,.]\\d{3})*) +\\d{1,3}% +\\d+[.,]\\d\\d[kMGTP]?B/s +(?:\\d+:\\d\\d:\\d\\d|\\?\\?:\\?\\?:\\?\\?)"
        "( \\(xfr#\\d+, (?:to|ir)-chk=\\d+/\\d+\\))? *$"));
    if (segment.isEmpty() || segment.size() > 200)
        return false;
    // With its length: QString::fromLatin1(QByteArray) would stop at a NUL byte.
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(segment.constData(), segment.size()));
    if (!match.hasMatch())
        return false;
    QString digits = match.captured(1);
    digits.remove(QLatin1Char(',')).remove(QLatin1Char('.'));
    bool ok = false;
    *bytes = digits.toLongLong(&ok);
    *last = match.capturedLength(2) > 0;
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzTarget("fuzz_exportprogress");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte cuts the stream into chunks, the second gives the total.
    const int chunkSize = 1 + data[0] % 64;
    const qint64 total = qint64(data[1]) * 1000;
    const QByteArray input(reinterpret_cast<const char *>(data + 2), int(size - 2));

    for (const QByteArray &line : input.split('\n')) {
        for (const QByteArray &segment : line.split('\r')) {
            qint64 readBytes = -1, patternBytes = -1;
            bool readLast = false, patternLast = false;
            const bool read = ExportProgress::readUpdate(segment.constData(), int(segment.size()), &readBytes, &readLast);
            if (read != patternReads(segment, &patternBytes, &patternLast)
                    || (read && (readBytes != patternBytes || readLast != patternLast)))
                fail("the update reader and its pattern disagree", segment);
        }
    }

    ExportProgress progress;
    progress.start(total, 0);
    int percent = progress.percent();
    qint64 now = 0;
    for (int from = 0; from < input.size(); from += chunkSize) {
        now += 100;
        progress.feed(input.mid(from, chunkSize), now);
        if (progress.percent() < percent || progress.percent() > 99)
            fail("the percentage went back or reached 100 before the end", input);
        percent = progress.percent();
        if (progress.bytesDone() < 0 || progress.bytesDone() > progress.total())
            fail("bytes done outside 0 and the total", input);
        if (progress.secondsLeft(now) < -1 || progress.bytesPerSecond(now) < 0)
            fail("a negative speed or time left", input);
    }
    progress.finish();
    if (progress.percent() != 100)
        fail("not 100 at the end", input);
    return 0;
}
