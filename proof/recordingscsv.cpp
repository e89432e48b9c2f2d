#include "proof/recordingscsv.h"

#include "proof/gaps.h"

#include <QDateTime>

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

QByteArray isoField(qint64 secs)
{
    // Far beyond any clock, and beyond what milliseconds since the epoch hold.
    constexpr qint64 kMaxSecs = 1'000'000'000'000'000LL;
    if (secs < -kMaxSecs || secs > kMaxSecs)
        return QByteArray();
    return csvField(isoTime(secs * 1000).toUtf8());
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
        text += bytes.mid(i, length);
        i += length;
    }
    return quote ? '"' + text + '"' : text;
}

QString isoTime(qint64 msecsSinceEpoch)
{
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::LocalTime);
    if (!local.isValid())
        return QString();
    const int offset = local.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char(offset < 0 ? '-' : '+')
           + QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QByteArray csvRow(const RecordingRow &row)
{
    const bool known = row.durationMs >= 0;
    QByteArray duration;
    if (known)
        duration = QByteArray::number(row.durationMs / 1000) + '.'
                   + QByteArray::number(row.durationMs % 1000).rightJustified(3, '0');
    return csvField(row.camera) + ',' + csvField(row.file) + ','
           + (known ? isoField(recordingStartSecs(row.endSecs, row.durationMs)) : QByteArray()) + ','
           + isoField(row.endSecs) + ',' + duration + ',' + QByteArray::number(row.bytes) + ','
           + (row.sha256.size() == 32 ? row.sha256.toHex() : QByteArray()) + "\r\n";
}
