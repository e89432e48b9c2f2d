#pragma once

#include <QByteArray>

// The export directory's SHA256SUMS is in GNU sha256sum's own format, so that
// `sha256sum -c --strict SHA256SUMS` in that directory checks the stick on
// any machine with coreutils.
constexpr char kManifestFileName[] = "SHA256SUMS";

// One line as `sha256sum` (text mode) prints it for the file `relativePath`,
// a path relative to the manifest's directory taken as bytes (a name that is
// not UTF-8 stays as it is): 64 lower-case hex digits, two spaces, the name,
// "\n". A name holding a backslash, a newline or a carriage return has those
// written as "\\", "\n" and "\r" and the line starts with a backslash, as
// coreutils 9 writes it; every other byte goes as it is. Empty when the
// digest is not 32 bytes or the path is empty, absolute or holds a NUL: no
// such line names a file of the export.
QByteArray manifestLine(const QByteArray &digest32, const QByteArray &relativePath);
