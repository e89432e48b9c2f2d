// Feeds arbitrary rsync output to the progress parser. The parser must report a
// percentage exactly when the progress pattern matches, emit it once, and emit
// the number the digits spell (0 when they overflow an int).
#include "sync/syncmanager.h"

#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

std::vector<int> emitted;

[[noreturn]] void fail(const char *what, const QString &chunk)
{
    fprintf(stderr, "fuzz_progress: %s: \"%s\"\n", what, chunk.toUtf8().toPercentEncoding(" ").constData());
    abort();
}

// The same rule written out by hand, so that the pattern itself is checked as
// well as the parser: the first run of ASCII digits followed by "%" and an
// ASCII white-space character.
bool handScan(const QString &text, QString *digits)
{
    const auto isDigit = [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); };
    const auto isSpace = [](QChar c) {
        return c == QLatin1Char(' ') || (c >= QLatin1Char('\t') && c <= QLatin1Char('\r'));
    };
    int i = 0;
    while (i < text.size()) {
        if (!isDigit(text.at(i))) {
            ++i;
            continue;
        }
        const int start = i;
        while (i < text.size() && isDigit(text.at(i)))
            ++i;
        if (i + 1 < text.size() && text.at(i) == QLatin1Char('%') && isSpace(text.at(i + 1))) {
            *digits = text.mid(start, i - start);
            return true;
        }
    }
    return false;
}

// The value the digits spell, or 0 when it does not fit an int.
int spelledValue(const QString &digits)
{
    qint64 value = 0;
    for (const QChar c : digits) {
        value = value * 10 + (c.unicode() - '0');
        if (value > std::numeric_limits<int>::max())
            return 0;
    }
    return int(value);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzTarget("fuzz_progress");
    QObject::connect(&SyncManager::instance(), &SyncManager::syncProgress,
                     [](int percentage) { emitted.push_back(percentage); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QRegularExpression pattern(QStringLiteral("\\s*(\\d+)%\\s+"));
    const QString chunk = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    emitted.clear();
    const bool parsed = SyncManager::instance().parseRsyncProgress(chunk);

    const QRegularExpressionMatch match = pattern.match(chunk);
    QString digits;
    const bool scanned = handScan(chunk, &digits);
    if (parsed != match.hasMatch())
        fail("result differs from the progress pattern", chunk);
    if (parsed != scanned || (parsed && match.captured(1) != digits))
        fail("progress pattern differs from the hand-written scan", chunk);
    if (!parsed) {
        if (!emitted.empty())
            fail("percentage emitted without a match", chunk);
        return 0;
    }
    if (emitted.size() != 1 || emitted.front() != digits.toInt() || emitted.front() != spelledValue(digits))
        fail("emitted percentage is not the number the digits spell", chunk);
    return 0;
}
