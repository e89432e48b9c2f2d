#include "export/manifest.h"

QByteArray manifestLine(const QByteArray &digest32, const QByteArray &relativePath)
{
    constexpr int kDigestBytes = 32;
    if (digest32.size() != kDigestBytes || relativePath.isEmpty() || relativePath.startsWith('/')
        || relativePath.contains('\0'))
        return {};

    // sha256sum -c reads a line up to its "\n" and drops a "\r" before it, so
    // these three cannot stand as they are; it undoes the escapes only on a
    // line that starts with a backslash.
    const bool escape = relativePath.contains('\\') || relativePath.contains('\n') || relativePath.contains('\r');
    QByteArray line;
    line.reserve(1 + 2 * kDigestBytes + 2 + 2 * relativePath.size() + 1);
    if (escape)
        line += '\\';
    line += digest32.toHex();
    line += "  ";
    if (!escape) {
        line += relativePath;
    } else {
        for (const char c : relativePath) {
            switch (c) {
            case '\\':
                line += "\\\\";
                break;
            case '\n':
                line += "\\n";
                break;
            case '\r':
                line += "\\r";
                break;
            default:
                line += c;
            }
        }
    }
    line += '\n';
    return line;
}
