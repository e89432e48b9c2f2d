#include "proof/recordingscsv.h"

#include "proof/gaps.h"

#include <QDateTime>

#include <cstdio>
#include <limits>

namespace {

// The length of the valid UTF-8 sequence at `at`, or 0 when the byte there
// starts none: no overlong forms, no surrogates, nothing above U+10FFFF.
int utf8SequenceLength(const QByteArray &bytes, int at)
{
    const auto byte = [&](int i) { return i < bytes.size() ? quint8(bytes.at(i)) : 0; };
    const quint8 lead = byte(at);
    if (lead < 0x80)
        return 1;
    int length = 0;
    quint8 low = 0x80, high = 0xbf; // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf)
            return 0;
    }
    return length;
}

QByteArray isoField(qint64 secs, LocalOffsets &offsets)
{
    // Far beyond any clock, and beyond what milliseconds since the epoch hold.
    constexpr qint64 kMaxSecs = 1'000'000'000'000'000LL;
    if (secs < -kMaxSecs || secs > kMaxSecs)
        return QByteArray();
    return csvField(isoTime(secs * 1000, offsets).toUtf8());
}

} // namespace

QByteArray csvHeader()
{
    return QByteArrayLiteral("camera,file,start,end,duration_s,bytes,sha256\r\n");
}

QByteArray csvField(const QByteArray &bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray text;
    text.reserve(bytes.size() + 2);
    bool quote = false;
    for (int i = 0; i < bytes.size();) {
        const int length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            const quint8 byte = quint8(bytes.at(i++));
            text += '\\';
            text += 'x';
            text += hex[byte >> 4];
            text += hex[byte & 0xf];
            continue;
        }
        const char c = bytes.at(i);
        quote = quote || c == ',' || c == '"' || c == '\r' || c == '\n';
        if (c == '"')
            text += '"';
        text.append(bytes.constData() + i, length);
        i += length;
    }
    return quote ? '"' + text + '"' : text;
}

bool LocalOffsets::at(qint64 secs, int *offset)
{
    const qint64 hour = secs >= 0 ? secs / 3600 : (secs - 3599) / 3600;
    if (hour != m_hour) {
        const QDateTime local = QDateTime::fromSecsSinceEpoch(hour * 3600, Qt::LocalTime);
        if (!local.isValid())
            return false;
        m_offset = local.offsetFromUtc();
        m_hour = hour;
    }
    *offset = m_offset;
    return true;
}

QString isoTime(qint64 msecsSinceEpoch)
{
    LocalOffsets offsets;
    return isoTime(msecsSinceEpoch, offsets);
}

QString isoTime(qint64 msecsSinceEpoch, LocalOffsets &offsets)
{
    const qint64 secs = msecsSinceEpoch >= 0 ? msecsSinceEpoch / 1000 : (msecsSinceEpoch - 999) / 1000;
    int offset = 0;
    if (!offsets.at(secs, &offset))
        return QString();
    return QString::fromLatin1(civilTime(secs, offset, 'T') + utcOffset(offset));
}

QByteArray civilTime(qint64 secs, int offsetSeconds, char separator)
{
    // Days to a civil date in the proleptic Gregorian calendar (H. Hinnant's
    // days_from_civil, inverted), without a time zone lookup per call.
    const qint64 local = secs + offsetSeconds;
    const qint64 days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    const qint64 second = local - days * 86400;
    const qint64 z = days + 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 doe = z - era * 146097;
    const qint64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const qint64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const qint64 mp = (5 * doy + 2) / 153;
    const qint64 day = doy - (153 * mp + 2) / 5 + 1;
    const qint64 month = mp < 10 ? mp + 3 : mp - 9;
    const qint64 year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[48];
    const int length = std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld%c%02lld:%02lld:%02lld",
                                     static_cast<long long>(year), static_cast<long long>(month),
                                     static_cast<long long>(day), separator, static_cast<long long>(second / 3600),
                                     static_cast<long long>(second / 60 % 60), static_cast<long long>(second % 60));
    return QByteArray(text, length);
}

QByteArray utcOffset(int offsetSeconds)
{
    const int minutes = (offsetSeconds < 0 ? -offsetSeconds : offsetSeconds) / 60;
    char text[8];
    const int length = std::snprintf(text, sizeof text, "%c%02d:%02d", offsetSeconds < 0 ? '-' : '+', minutes / 60 % 100,
                                     minutes % 60);
    return QByteArray(text, length);
}

QByteArray csvRow(const RecordingRow &row)
{
    LocalOffsets offsets;
    return csvRow(row, offsets);
}

QByteArray csvRow(const RecordingRow &row, LocalOffsets &offsets)
{
    const bool known = row.durationMs >= 0;
    QByteArray duration;
    if (known)
        duration = QByteArray::number(row.durationMs / 1000) + '.'
                   + QByteArray::number(row.durationMs % 1000).rightJustified(3, '0');
    return csvField(row.camera) + ',' + csvField(row.file) + ','
           + (known ? isoField(recordingStartSecs(row.endSecs, row.durationMs), offsets) : QByteArray()) + ','
           + isoField(row.endSecs, offsets) + ',' + duration + ',' + QByteArray::number(row.bytes) + ','
           + (row.sha256.size() == 32 ? row.sha256.toHex() : QByteArray()) + "\r\n";
}
