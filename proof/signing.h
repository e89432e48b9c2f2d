#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// The recorder's signature of what it exports, in OpenSSH's own signature
// format (SSHSIG, as `ssh-keygen -Y sign -n file` writes it), so that anyone
// who receives a stick checks it with the ssh-keygen they already have:
//
//   ssh-keygen -Y verify -f allowed_signers -I <host> -n file -s SHA256SUMS.sig < SHA256SUMS
//
// The key is an Ed25519 key in PEM (PKCS#8), as `openssl genpkey -algorithm
// ed25519` writes it; the package creates it and the tool only reads it. It
// is read afresh for each signature and its bytes are cleared right after, so
// the private key lives in the process only while a signature is made. Nothing
// here logs, and nothing returned holds a byte of the private key.
namespace Signing {

// What the tool knows of the key without keeping it: its public half, or in a
// few Chinese words why it cannot sign ("找不到签名密钥", "签名密钥的权限过宽", ...).
struct KeyCheck {
    QByteArray publicKey; // the 32 raw bytes; empty when the key cannot sign
    QString problem;      // empty when it can
    bool canSign() const { return !publicKey.isEmpty(); }
};
KeyCheck checkKey(const QString &keyPath);

// A signature of a message, made from the message's SHA-512 digest (the
// message, SHA256SUMS, is hashed as it is written; see Sha512 in platform/sha256.h).
struct Signature {
    QByteArray armored;   // "-----BEGIN SSH SIGNATURE-----\n...": the .sig file; empty on failure
    QByteArray publicKey; // the key that signed (32 raw bytes), empty on failure
    QString problem;      // why there is no signature, in a few Chinese words
};
Signature signDigest(const QString &keyPath, const QByteArray &sha512);

// The public key as the one line of a .pub file, "ssh-ed25519 AAAA... <comment>\n",
// which `ssh-keygen -lf` reads. Whitespace in the comment is collapsed.
QByteArray publicKeyLine(const QByteArray &publicKey, const QString &comment);
// The line of an allowed_signers file, "<principal> ssh-ed25519 AAAA...\n".
// Empty for a principal that ssh-keygen would read as another one or as a
// pattern (empty, blanks, quotes, commas, wildcards, a leading '#' or '!').
QByteArray allowedSignersLine(const QString &principal, const QByteArray &publicKey);
// "SHA256:..." exactly as `ssh-keygen -l` prints it: the SHA-256 of the key's
// SSH encoding in base64 without padding. Empty for a key that is not 32 bytes.
QString fingerprint(const QByteArray &publicKey);


} // namespace Signing
