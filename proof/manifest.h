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

#include "proof/gaps.h"
#include "proof/ledger.h"
#include "proof/stickfile.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// The export's record, 导出记录.txt in the export directory: what was
// exported, from which recorder, when, and what the stick gave back, for the
// person who hands the stick on. Each export appends a section.
constexpr char kRecordFileName[] = "导出记录.txt";

struct ExportRecord
{
    QString hostname;
    QString version;
    QDateTime start;
    QDateTime end;
    QString clock;          // "已同步", "未同步" or "未知"
    QString span;           // the span as the window named it, with its times
    QStringList cameras;    // empty: every camera
    QString database;       // what became of the alarm database
    QString verification;   // the verification's verdict, one line
    QString stickVendor;
    QString stickModel;
    QString stickSerial;
    QString fileSystem;
    qint64 stickSize = 0;
    // The recorder's signing key's fingerprint ("SHA256:..."), or why the
    // export is not signed.
    QString fingerprint;
    QString unsignedReason;
};

// The exported recordings of `ledger` as the recipient reads them: those the
// stick holds as the recorder has them (hashed, neither changed nor vanished
// during the export), by camera (loose files first), then by time and name.
std::vector<int> recordingOrder(const ExportLedger &ledger);
// The cameras' slots (see cameraSlot) in the order a person counts them,
// loose files first.
std::vector<int> cameraOrder(const ExportLedger &ledger);
// The camera of entry `i` as `recordingOrder` groups them: 0 for loose files,
// else its index in ledger.cameras() plus one.
int cameraSlot(const ExportLedger &ledger, int i);
// Each slot's timeline (see gaps.h), from the recordings in that order.
std::vector<CameraTimeline> cameraTimelines(const ExportLedger &ledger, const std::vector<int> &order);

// The section of one export, in UTF-8, each label in Chinese and English;
// the files, bytes and the files that failed come from `ledger`, each
// camera's recordings and gaps from `order` and `timelines` (see above).
QByteArray recordSection(const ExportRecord &record, const ExportLedger &ledger, const std::vector<int> &order,
                         const std::vector<CameraTimeline> &timelines);

// A file of the tool's own that SHA256SUMS lists beside the exported ones.
struct OwnFile
{
    QByteArray name;
    QByteArray sha256;
};

// Writes SHA256SUMS into the export directory `dirFd`: a line for every file
// of the ledger the stick should hold as the recorder has it (those that
// changed or vanished during the export are left out) and for `own`, sorted
// by name. An earlier, different manifest is kept under its dated name.
// `sha512`, when given, receives the SHA-512 of what was written, for its
// signature.
StickFile::Placed writeManifest(int dirFd, const ExportLedger &ledger, std::vector<OwnFile> own = {},
                                QByteArray *sha512 = nullptr);

// Puts a small file of the tool's own (`content`) into `dirFd` as `name`, as
// the manifest is put: hidden, flushed, renamed, an earlier different copy
// kept under its date, never through a link.
StickFile::Placed placeFile(int dirFd, const QByteArray &name, const QByteArray &content);

// Appends `section` to the export record in `dirFd`. An earlier record that
// cannot be read back whole (or holds over 4 MiB) is kept under its dated
// name, and the new one starts with this section. `sha256`, when given,
// receives the digest of the whole record as written.
StickFile::Placed appendRecord(int dirFd, const QByteArray &section, QByteArray *sha256 = nullptr);
