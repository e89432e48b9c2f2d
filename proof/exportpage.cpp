#include "proof/exportpage.h"

#include "proof/recordingscsv.h"

#include <QCryptographicHash>
#include <QList>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

// The page is handed to the sink in pieces of about this size: few writes,
// and a buffer that does not grow with the number of recordings.
constexpr int kFlushBytes = 64 * 1024;

// Shorter pauses than this between two recordings are not gaps; the
// timeline draws them as one covered stretch, as the record counts them.
constexpr qint64 kGapMs = kGapThresholdMs;

// Rows per block of the recordings' table (see recording()).
constexpr int kRowsPerBlock = 500;

// At most this many of a camera's gaps are listed and marked one by one.
constexpr int kListedGaps = kGapsKept;

// The one place where text reaches markup: names from the recorder and the
// stick become HTML text (or a double-quoted attribute value) here. Bytes
// that are not UTF-8 show as U+FFFD; control characters too, since they have
// no business in a name on a page.
QByteArray html(const QString &text)
{
    QString clean = text;
    for (QChar &c : clean) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QChar(QChar::ReplacementCharacter);
    }
    return clean.toHtmlEscaped().toUtf8();
}

QByteArray html(const QByteArray &bytes)
{
    return html(QString::fromUtf8(bytes));
}

// A command line shows the host name in single quotes when it holds anything
// but the letters, digits, dots and dashes of an ordinary host name, so that
// it can be pasted into a shell as it stands.
QString shellWord(const QString &word)
{
    for (const QChar c : word) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            || c == QLatin1Char('.') || c == QLatin1Char('-') || c == QLatin1Char('_');
        if (!plain) {
            QString quoted = word;
            quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
            return QLatin1Char('\'') + quoted + QLatin1Char('\'');
        }
    }
    return word.isEmpty() ? QStringLiteral("''") : word;
}

// 1234567 -> "1 234 567", with thin spaces.
QByteArray groupedBytes(qint64 bytes)
{
    const QByteArray digits = QByteArray::number(std::max<qint64>(bytes, 0));
    QByteArray out;
    for (int i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += "\xe2\x80\x89";
        out += digits.at(i);
    }
    return out;
}

// "1:02:03", or "unknown" in both languages.
QByteArray duration(qint64 ms)
{
    if (ms < 0)
        return QByteArrayLiteral("未知 unknown");
    const qint64 s = ms / 1000;
    QByteArray out = QByteArray::number(s / 3600) + ':';
    const auto twoDigits = [](qint64 v) -> QByteArray { return (v < 10 ? QByteArray("0") : QByteArray()) + QByteArray::number(v); };
    return out + twoDigits(s / 60 % 60) + ':' + twoDigits(s % 60);
}

// The bar's left edge and width of [startMs, endMs] in per cent of the span.
QByteArray position(qint64 startMs, qint64 endMs, qint64 spanStartMs, qint64 spanEndMs)
{
    // In doubles: a time read from a damaged recording may lie anywhere, and
    // the differences of such times could overflow.
    const double span = std::max(double(spanEndMs) - double(spanStartMs), 1.0);
    const double left = std::clamp((double(startMs) - double(spanStartMs)) / span * 100.0, 0.0, 100.0);
    const double right = std::clamp((double(endMs) - double(spanStartMs)) / span * 100.0, 0.0, 100.0);
    return "left:" + QByteArray::number(left, 'f', 3) + "%;width:" + QByteArray::number(right - left, 'f', 3) + '%';
}

const char kStyle[] = R"CSS(
*{box-sizing:border-box}
html{font:15px/1.4 system-ui,"Segoe UI","PingFang SC","Microsoft YaHei","Noto Sans CJK SC",sans-serif;color:#1b1f24;background:#f4f5f7}
body{margin:0;padding:1rem}
h1{font-size:1.4rem;margin:0 0 .6rem}
h2{font-size:1.15rem;margin:0 0 .4rem}
header,section.cam,aside{background:#fff;border:1px solid #d5d9de;border-radius:6px;padding:.8rem 1rem;margin-bottom:1rem}
dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:.2rem 1rem;margin:0}
dl.facts dt{color:#57606a}
dl.facts dd{margin:0;overflow-wrap:anywhere}
.ok{color:#116329}.warn{color:#9a3412}
details{margin-top:.6rem}
summary{cursor:pointer;font-weight:600}
pre{background:#f6f8fa;border:1px solid #e1e4e8;padding:.5rem;overflow-x:auto;font-size:.85rem;white-space:pre}
.wrap{display:flex;gap:1rem;align-items:flex-start}
main{flex:1;min-width:0}
aside{flex:0 0 min(42%,560px);position:sticky;top:1rem}
@media (max-width:900px){.wrap{flex-direction:column-reverse}aside{position:static;width:100%}}
video{width:100%;background:#000;aspect-ratio:16/9}
#now{font-weight:600;overflow-wrap:anywhere;margin:.3rem 0}
#note{background:#fff4e5;border:1px solid #f0b35a;padding:.5rem;border-radius:4px}
section.cam{display:flex;flex-direction:column;content-visibility:auto;contain-intrinsic-size:auto 2000px}
section.cam h2{order:-2}
.tl{order:-1;margin-bottom:.6rem}
.bar{position:relative;height:28px;background:#e4e7eb;border-radius:3px;cursor:pointer;overflow:hidden}
.bar i{position:absolute;top:0;bottom:0;background:#2f7d4f}
.bar b{position:absolute;top:0;bottom:0;min-width:3px;background:#d1242f;opacity:.9}
.ends{display:flex;justify-content:space-between;font-size:.8rem;color:#57606a}
.legend{font-size:.8rem;color:#57606a}
.legend span{display:inline-block;width:.8em;height:.8em;vertical-align:middle;margin:0 .2em 0 .6em}
ol.gaps{margin:.3rem 0;padding-left:1.6rem;font-size:.85rem;color:#9a3412}
table{border-collapse:collapse;width:100%;table-layout:fixed;font-size:.85rem;font-variant-numeric:tabular-nums}
th,td{text-align:left;padding:.15rem .4rem;border-bottom:1px solid #eef0f2;overflow-wrap:anywhere}
th{background:#f6f8fa;position:sticky;top:0}
th:nth-child(-n+2),td:nth-child(-n+2){width:12.5em}td:nth-child(-n+2){white-space:nowrap}th:nth-child(3),td:nth-child(3){width:6em}
th:nth-child(4),td:nth-child(4){width:8em}
.rows{content-visibility:auto;contain-intrinsic-size:auto 12000px}
td:nth-child(4){text-align:right}
tr.on td{background:#fff4bf}
)CSS";

// Plays a recording in the page's player when its link is chosen (a click
// with a modifier still opens the file itself), maps a click on a timeline
// to the recording that holds that moment, and says when the browser cannot
// decode a recording. It takes everything from href and data-* attributes
// that the page's writer put there, never from a name. The player's state is
// mirrored into data-* attributes for the tests; "#play=N" starts the N-th
// recording and "#at=C:MS" the moment MS (ms since the epoch) of camera C.
const char kScript[] = R"JS(
(function () {
  'use strict';
  var player = document.getElementById('player');
  var note = document.getElementById('note');
  var now = document.getElementById('now');
  var open = document.getElementById('open');
  var seekTo = 0;
  function recordings() { return document.querySelectorAll('a[data-i]'); }
  function play(a, offset) {
    var on = document.querySelector('tr.on');
    if (on) on.className = '';
    a.parentNode.parentNode.className = 'on';
    note.hidden = true;
    player.removeAttribute('data-error');
    player.removeAttribute('data-duration');
    player.removeAttribute('data-time');
    player.setAttribute('data-state', 'loading');
    player.setAttribute('data-index', a.getAttribute('data-i'));
    seekTo = offset;
    player.setAttribute('data-from', offset.toFixed(3));
    now.textContent = a.textContent;
    open.setAttribute('href', a.getAttribute('href'));
    open.hidden = false;
    player.setAttribute('src', a.getAttribute('href'));
    var started = player.play();
    if (started && started.catch) started.catch(function () {});
  }
  function playAt(section, t) {
    var rows = section.querySelectorAll('a[data-i]');
    var lo = 0, hi = rows.length;
    while (lo < hi) {
      var mid = (lo + hi) >> 1;
      if (Number(rows[mid].getAttribute('data-s')) <= t) lo = mid + 1; else hi = mid;
    }
    var held = lo > 0 ? rows[lo - 1] : null;
    if (held && Number(held.getAttribute('data-e')) >= t) {
      play(held, (t - Number(held.getAttribute('data-s'))) / 1000);
    } else if (lo < rows.length) {
      play(rows[lo], 0);
    } else if (held) {
      play(held, 0);
    }
  }
  function failed() {
    player.setAttribute('data-state', 'error');
    note.hidden = false;
  }
  player.addEventListener('loadedmetadata', function () {
    player.setAttribute('data-duration', String(player.duration));
    if (seekTo > 0 && seekTo < player.duration) player.currentTime = seekTo;
    if (player.videoWidth === 0) failed(); else player.setAttribute('data-state', 'loaded');
  });
  player.addEventListener('playing', function () {
    if (!note.hidden) return;
    player.setAttribute('data-state', 'playing');
  });
  player.addEventListener('timeupdate', function () {
    player.setAttribute('data-time', player.currentTime.toFixed(3));
  });
  player.addEventListener('error', function () {
    player.setAttribute('data-error', String(player.error ? player.error.code : 0));
    failed();
  });
  document.addEventListener('click', function (e) {
    if (e.button !== 0 || e.ctrlKey || e.metaKey || e.shiftKey || e.altKey || !e.target.closest) return;
    var a = e.target.closest('a[data-i]');
    if (a) {
      e.preventDefault();
      play(a, 0);
      return;
    }
    var bar = e.target.closest('.bar');
    if (bar) {
      var box = bar.getBoundingClientRect();
      var s = Number(bar.getAttribute('data-s')), end = Number(bar.getAttribute('data-e'));
      playAt(bar.parentNode.parentNode, s + (e.clientX - box.left) / box.width * (end - s));
    }
  });
  function fromHash() {
    var m = /^#play=(\d+)$/.exec(location.hash);
    if (m) {
      var a = recordings()[Number(m[1])];
      if (a) play(a, 0);
      return;
    }
    m = /^#at=(\d+):(\d+)$/.exec(location.hash);
    if (m) {
      var cam = document.querySelectorAll('section.cam')[Number(m[1])];
      if (cam) playAt(cam, Number(m[2]));
    }
  }
  window.addEventListener('hashchange', fromHash);
  window.addEventListener('load', function () {
    void document.body.offsetHeight;
    document.documentElement.setAttribute('data-ready-ms', performance.now().toFixed(0));
    fromHash();
  });
})();
)JS";

} // namespace

ExportPageWriter::ExportPageWriter(std::function<bool(const QByteArray &)> sink)
    : m_sink(std::move(sink))
{
    m_buffer.reserve(kFlushBytes + 4096);
}

ExportPageWriter::~ExportPageWriter() = default;

QByteArray ExportPageWriter::link(const QByteArray &file)
{
    if (file.isEmpty() || file.startsWith('/'))
        return {};
    QByteArray out;
    const QList<QByteArray> segments = file.split('/');
    for (const QByteArray &segment : segments) {
        // A "." or ".." would climb out however it is encoded: browsers
        // read "%2e%2e" as "..".
        if (segment.isEmpty() || segment == "." || segment == "..")
            return {};
        if (!out.isEmpty())
            out += '/';
        out += segment.toPercentEncoding();
    }
    return out;
}

void ExportPageWriter::write(const QByteArray &bytes)
{
    m_buffer += bytes;
    if (m_buffer.size() >= kFlushBytes)
        flush();
}

void ExportPageWriter::flush()
{
    if (m_buffer.isEmpty())
        return;
    if (!m_failed && !m_sink(m_buffer))
        m_failed = true;
    m_buffer.clear();
}

QByteArray ExportPageWriter::time(qint64 ms) const
{
    return civilTime(ms >= 0 ? ms / 1000 : (ms - 999) / 1000, m_offsetSeconds, ' ');
}

void ExportPageWriter::begin(const PageHeader &header)
{
    m_offsetSeconds = header.utcOffsetSeconds;
    const QByteArray scriptHash =
        QCryptographicHash::hash(QByteArray(kScript), QCryptographicHash::Sha256).toBase64();
    const int offsetMinutes = std::abs(m_offsetSeconds) / 60;
    const QByteArray offset = QByteArray(m_offsetSeconds < 0 ? "-" : "+")
        + QByteArray::number(offsetMinutes / 60).rightJustified(2, '0') + ':'
        + QByteArray::number(offsetMinutes % 60).rightJustified(2, '0');
    const QByteArray host = html(header.hostname);
    const QByteArray hostWord = html(shellWord(header.hostname));

    // The policy lets the page run its own script (by its hash) and styles,
    // and play the files beside it; nothing else may be loaded or sent.
    write("<!DOCTYPE html>\n<html lang=\"zh-CN\">\n<head>\n<meta charset=\"utf-8\">\n"
          "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
          "script-src 'sha256-" + scriptHash + "'; style-src 'unsafe-inline'; media-src 'self' file:; "
          "base-uri 'none'; form-action 'none'\">\n"
          "<meta name=\"referrer\" content=\"no-referrer\">\n"
          "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
          "<title>" + host + " 录像导出 Exported recordings</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n");

    write("<header>\n<h1>录像导出 Exported recordings</h1>\n<dl class=\"facts\">\n"
          "<dt>录像机 Recorder</dt><dd>" + host + "</dd>\n"
          "<dt>时间段 Span</dt><dd>" + html(header.span) + "</dd>\n"
          "<dt>导出时间 Exported</dt><dd>" + html(header.exported) + "</dd>\n"
          "<dt>校验 Verification</dt><dd>" + html(header.verification) + "</dd>\n"
          "<dt>时区 Time zone</dt><dd>UTC" + offset + "（下列时间 times below）</dd>\n");
    if (!header.fingerprint.isEmpty()) {
        write("<dt>签名指纹 Signature fingerprint</dt><dd><code>" + html(header.fingerprint) + "</code><br>"
              "请与录像机屏幕上或登记册中的指纹核对。Compare it with the one on the recorder's screen or in "
              "your register, not only with the files on this stick.</dd>\n");
    } else {
        write("<dt>签名 Signature</dt><dd class=\"warn\">未签名 Not signed"
              + (header.unsignedReason.isEmpty() ? QByteArray() : QByteArray("：" + html(header.unsignedReason))) + "</dd>\n");
    }
    write("</dl>\n<details>\n<summary>如何检查这个U盘 How to check this stick</summary>\n"
          "<p>在这个目录中打开终端。Open a terminal in this directory.</p>\n");
    if (!header.fingerprint.isEmpty()) {
        write("<p>签名：证明 SHA256SUMS 来自这台录像机且未被改动（Linux、macOS、Windows 10 及以后的 OpenSSH）。"
              "Signature: proves that SHA256SUMS comes from this recorder, unchanged (OpenSSH on Linux, macOS, "
              "Windows 10 and later).</p>\n<pre>ssh-keygen -lf export_signing_key.pub\n"
              "ssh-keygen -Y verify -f allowed_signers -I " + hostWord
              + " -n file -s SHA256SUMS.sig &lt; SHA256SUMS</pre>\n"
              "<p>Windows PowerShell（没有 &lt; 重定向 has no &lt; redirection）:</p>\n"
              "<pre>cmd /c \"ssh-keygen -Y verify -f allowed_signers -I " + hostWord
              + " -n file -s SHA256SUMS.sig &lt; SHA256SUMS\"</pre>\n");
    }
    write("<p>文件：证明每个文件与 SHA256SUMS 所列相同。Files: prove that every file is the one SHA256SUMS "
          "lists.</p>\n<pre>sha256sum -c --strict SHA256SUMS        # Linux\n"
          "shasum -a 256 -c SHA256SUMS             # macOS</pre>\n"
          "<p>Windows PowerShell（以反斜杠开头的行不在此处理 lines that begin with a backslash are not handled "
          "here）:</p>\n<pre>Get-Content -Encoding UTF8 SHA256SUMS | ForEach-Object {\n"
          "    $hash, $name = $_ -split '  ', 2\n"
          "    $actual = (Get-FileHash -Algorithm SHA256 -LiteralPath $name).Hash.ToLower()\n"
          "    if ($actual -eq $hash) { \"OK      $name\" } else { \"FAILED  $name\" }\n"
          "}</pre>\n</details>\n</header>\n");

    write("<div class=\"wrap\">\n<main>\n");
}

void ExportPageWriter::beginCamera(const QByteArray &camera, qint64 spanStartMs, qint64 spanEndMs)
{
    m_spanStartMs = spanStartMs;
    m_spanEndMs = std::max(spanEndMs, spanStartMs + 1);
    m_cameraRows = 0;
    m_stretches.clear();
    // A bar is about a thousand pixels wide at most: stretches closer than a
    // thousandth of the span, or than a gap's length, are drawn as one.
    m_mergeMs = std::max(kGapMs, (m_spanEndMs - m_spanStartMs) / kMaxDrawnStretches);

    write("<section class=\"cam\">\n<h2>摄像头 Camera: " + html(camera) + "</h2>\n"
          "<div class=\"rows\"><table>\n<thead><tr><th>开始 Start</th><th>结束 End</th><th>时长 Duration</th>"
          "<th>大小 Size (bytes)</th><th>文件 File</th></tr></thead>\n<tbody>\n");
}

void ExportPageWriter::cover(qint64 startMs, qint64 endMs)
{
    startMs = std::max(startMs, m_spanStartMs);
    endMs = std::min(endMs, m_spanEndMs);
    if (endMs <= startMs)
        return;
    if (!m_stretches.empty() && startMs <= m_stretches.back().endMs + m_mergeMs) {
        m_stretches.back().endMs = std::max(m_stretches.back().endMs, endMs);
        return;
    }
    // Recordings come in time order, so each stretch only ever meets the
    // last one; the merge distance keeps their number at about
    // kMaxDrawnStretches. Should a recording arrive out of order, the
    // stretches still stay bounded: the closest pair is merged.
    m_stretches.push_back({startMs, endMs});
    if (m_stretches.size() > size_t(kMaxDrawnStretches)) {
        std::sort(m_stretches.begin(), m_stretches.end(),
                  [](const Stretch &a, const Stretch &b) { return a.startMs < b.startMs; });
        m_mergeMs *= 2;
        std::vector<Stretch> merged;
        for (const Stretch &s : m_stretches) {
            if (!merged.empty() && s.startMs <= merged.back().endMs + m_mergeMs)
                merged.back().endMs = std::max(merged.back().endMs, s.endMs);
            else
                merged.push_back(s);
        }
        m_stretches.swap(merged);
    }
}

void ExportPageWriter::recording(const PageRecording &rec)
{
    const bool known = rec.durationMs >= 0;
    const qint64 startMs = known ? rec.startMs : rec.endMs;
    if (known)
        cover(startMs, rec.endMs);
    // Rows go in blocks of a table each, which the browser lays out only
    // when they come into view: a single table of ten thousand rows would
    // take it seconds.
    if (m_cameraRows > 0 && m_cameraRows % kRowsPerBlock == 0)
        write("</tbody></table></div>\n<div class=\"rows\"><table><tbody>\n");
    ++m_cameraRows;

    const QByteArray href = link(rec.file);
    const QByteArray name = html(rec.file);
    QByteArray row = "<tr><td>" + (known ? time(startMs) : QByteArrayLiteral("未知 unknown")) + "<td>" + time(rec.endMs)
        + "<td>" + duration(rec.durationMs) + "<td>" + groupedBytes(rec.bytes) + "<td>";
    if (href.isEmpty()) {
        row += name;
    } else {
        row += "<a data-i=\"" + QByteArray::number(m_index++) + "\" data-s=\"" + QByteArray::number(startMs)
            + "\" data-e=\"" + QByteArray::number(rec.endMs) + "\" href=\"" + href + "\">" + name + "</a>";
    }
    write(row + '\n');
}

void ExportPageWriter::endCamera(const std::vector<Gap> &gaps, int gapCount)
{
    write("</tbody>\n</table></div>\n<div class=\"tl\">\n<div class=\"bar\" data-s=\"" + QByteArray::number(m_spanStartMs)
          + "\" data-e=\"" + QByteArray::number(m_spanEndMs) + "\" title=\"点击播放该时刻 Click to play that moment\">");
    for (const Stretch &s : m_stretches) {
        write("<i data-s=\"" + QByteArray::number(s.startMs) + "\" data-e=\"" + QByteArray::number(s.endMs)
              + "\" style=\"" + position(s.startMs, s.endMs, m_spanStartMs, m_spanEndMs) + "\"></i>");
    }
    const int listed = int(std::min<size_t>(gaps.size(), size_t(kListedGaps)));
    QByteArray list;
    for (int i = 0; i < listed; ++i) {
        const Gap &gap = gaps[size_t(i)];
        const QByteArray text = time(gap.startMs) + " – " + time(gap.endMs) + " ("
            + duration(std::max<qint64>(gap.endMs - gap.startMs, 0)) + ")";
        write("<b data-s=\"" + QByteArray::number(gap.startMs) + "\" data-e=\"" + QByteArray::number(gap.endMs)
              + "\" style=\"" + position(gap.startMs, gap.endMs, m_spanStartMs, m_spanEndMs) + "\" title=\"缺口 Gap "
              + text + "\"></b>");
        list += "<li>" + text + "</li>";
    }
    write("</div>\n<div class=\"ends\"><span>" + time(m_spanStartMs) + "</span><span>" + time(m_spanEndMs)
          + "</span></div>\n<div class=\"legend\"><span style=\"background:#2f7d4f\"></span>有录像 Recorded"
          "<span style=\"background:#e4e7eb\"></span>无录像 Not recorded<span style=\"background:#d1242f\"></span>"
          "缺口 Gap (&gt; 10 s) · " + QByteArray::number(m_cameraRows) + " 段录像 recordings · "
          + QByteArray::number(std::max(gapCount, listed)) + " 个缺口 gaps</div>\n");
    if (listed > 0) {
        write("<ol class=\"gaps\">" + list + "</ol>\n");
        if (gapCount > listed)
            write("<p class=\"legend\">另有 " + QByteArray::number(gapCount - listed) + " 个缺口未列出 more gaps not listed"
                  "（见 导出记录.txt see the record）</p>\n");
    }
    write("</div>\n</section>\n");
}

bool ExportPageWriter::end()
{
    write("</main>\n<aside>\n<h2>播放 Player</h2>\n"
          "<video id=\"player\" controls preload=\"metadata\" data-state=\"idle\"></video>\n"
          "<p id=\"now\">点击文件名或时间轴播放。Choose a file or a moment on a timeline to play it.</p>\n"
          "<p><a id=\"open\" hidden>直接打开文件 Open the file itself</a></p>\n"
          "<p id=\"note\" hidden>此浏览器无法播放这段录像（例如 H.265 编码）。请用免费的 VLC 播放器打开上面的文件。"
          "This browser cannot play this recording (H.265, for example). Open the file above in VLC, a free "
          "player.</p>\n</aside>\n</div>\n<script>" + QByteArray(kScript) + "</script>\n</body>\n</html>\n");
    flush();
    return !m_failed;
}
