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
};

// The section of one export, in UTF-8; the files, bytes, cameras' first and
// last recordings and the files that failed come from `ledger`.
QByteArray recordSection(const ExportRecord &record, const ExportLedger &ledger);

// Writes SHA256SUMS into the export directory `dirFd`: a line for every file
// of the ledger the stick should hold as the recorder has it (those that
// changed or vanished during the export are left out), sorted by name. An
// earlier, different manifest is kept under its dated name.
StickFile::Placed writeManifest(int dirFd, const ExportLedger &ledger);

// Appends `section` to the export record in `dirFd`. An earlier record that
// cannot be read back whole (or holds over 4 MiB) is kept under its dated
// name, and the new one starts with this section.
StickFile::Placed appendRecord(int dirFd, const QByteArray &section);
