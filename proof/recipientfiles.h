#pragma once

#include "proof/manifest.h"

#include <QString>

// What the recipient gets beside the exported files, written into the
// export directory after the read-back, in this order:
//
//   recordings.csv    every exported recording with its start, end, duration,
//                     size and hash, for tools and spreadsheets
//   index.html        the page that shows and plays them, with their timeline
//   导出记录.txt        the record, in Chinese and English (a section per export)
//   SHA256SUMS        every exported file, the database snapshot and the three
//                     files above
//   SHA256SUMS.sig    SHA256SUMS signed with the recorder's own key, in
//                     OpenSSH's format, with export_signing_key.pub and
//                     allowed_signers beside it
//
// Each goes through a hidden temporary file that is flushed and renamed; an
// earlier, different copy is kept under a dated name, and a link or a
// directory at a name refuses that file. The recordings.csv and index.html of
// an earlier export are kept that way too: each export's own files describe
// what it exported.
struct RecipientFiles
{
    // The files that could not be written, for the log; empty when all were.
    QString problem;
    // Signed: the key's fingerprint ("SHA256:..."); else why not.
    QString fingerprint;
    QString unsignedReason;
    // Gaps of more than 10 s between the recordings, over all cameras.
    int gaps = 0;
};

// Writes them into the export directory `dirFd` for the verified `ledger`;
// `record` is the record's section as far as the caller knows it, and
// `keyPath` the recorder's signing key, read here and cleared after use.
RecipientFiles writeRecipientFiles(int dirFd, const ExportLedger &ledger, ExportRecord record, const QString &keyPath);
