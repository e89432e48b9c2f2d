#include "proof/signing.h"

#include "platform/descriptor.h"
#include "platform/sha256.h"

#include <QFile>
#include <QtEndian>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Signing {
namespace {

// A PEM Ed25519 key is 119 bytes; anything near this bound is not one.
constexpr size_t kMaxKeyFileSize = size_t(64) * 1024;
constexpr int kEd25519KeySize = 32;
constexpr int kEd25519SignatureSize = 64;
// ssh-keygen wraps the armored signature at 70 columns.
constexpr int kArmorLineLength = 70;

constexpr char kKeyType[] = "ssh-ed25519";
// PROTOCOL.sshsig: the signature is bound to its use by a namespace; "file"
// is what `ssh-keygen -Y sign` uses for files unless told otherwise, and what
// the recipient passes to -Y verify.
constexpr char kMagic[] = "SSHSIG";
constexpr quint32 kSigVersion = 1;
constexpr char kNamespace[] = "file";
constexpr char kHashAlgorithm[] = "sha512";

QString missingKey() { return QStringLiteral("找不到签名密钥"); }
QString unreadableKey() { return QStringLiteral("无法读取签名密钥"); }
QString keyTooOpen() { return QStringLiteral("签名密钥的权限过宽"); }
QString notEd25519() { return QStringLiteral("签名密钥不是 Ed25519 密钥"); }
QString brokenKey() { return QStringLiteral("签名密钥已损坏"); }
QString encryptedKey() { return QStringLiteral("签名密钥有密码保护"); }
QString signingFailed() { return QStringLiteral("签名失败"); }

struct PkeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct MdCtxFree {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};

// The key file's bytes: allocated once at the largest size accepted (so no
// growth leaves a copy behind in freed memory) and cleared before the memory
// goes back.
class SecretBuffer
{
public:
    explicit SecretBuffer(size_t capacity)
        : m_bytes(capacity)
    {
    }
    ~SecretBuffer() { OPENSSL_cleanse(m_bytes.data(), m_bytes.size()); }
    SecretBuffer(const SecretBuffer &) = delete;
    SecretBuffer &operator=(const SecretBuffer &) = delete;

    unsigned char *data() { return m_bytes.data(); }
    size_t capacity() const { return m_bytes.size(); }

private:
    std::vector<unsigned char> m_bytes;
};

// libcrypto's own PEM callback would ask for a passphrase on the terminal; the
// tool has nobody to ask, so an encrypted key is refused and remembered as such.
int refusePassphrase(char * /*buffer*/, int /*size*/, int /*rwflag*/, void *asked)
{
    *static_cast<bool *>(asked) = true;
    return -1;
}

void initCrypto()
{
    // The same choice as the hashing of the recordings: openssl.cnf holds
    // nothing that an Ed25519 signature needs.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
}

// Reads and parses the key, or says in `problem` why it cannot sign. The rules
// are OpenSSH's for its own keys: a regular file that neither group nor others
// may read. The path may be a link (an administrator's choice in /etc); what
// it ends at is checked.
Key loadKey(const QString &path, QString *problem)
{
    initCrypto();
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK: a FIFO at the path must not hang the export until someone
    // writes to it; fstat then refuses it.
    const Descriptor fd(::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.isValid()) {
        *problem = errno == ENOENT || errno == ENOTDIR ? missingKey() : unreadableKey();
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0
        || size_t(info.st_size) > kMaxKeyFileSize) {
        *problem = unreadableKey();
        return nullptr;
    }
    if ((info.st_mode & 077) != 0) {
        *problem = keyTooOpen();
        return nullptr;
    }

    // One byte more than the bound, to see a file that grew past it since fstat.
    SecretBuffer buffer(kMaxKeyFileSize + 1);
    size_t size = 0;
    while (size < buffer.capacity()) {
        const ssize_t got = ::read(fd.get(), buffer.data() + size, buffer.capacity() - size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *problem = unreadableKey();
            return nullptr;
        }
        if (got == 0)
            break;
        size += size_t(got);
    }
    if (size > kMaxKeyFileSize) {
        *problem = unreadableKey();
        return nullptr;
    }

    const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(buffer.data(), int(size)));
    bool askedForPassphrase = false;
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassphrase, &askedForPassphrase) : nullptr);
    // Whatever libcrypto queued about a bad key is answered here.
    ERR_clear_error();
    if (!key) {
        *problem = askedForPassphrase ? encryptedKey() : brokenKey();
        return nullptr;
    }
    if (!EVP_PKEY_is_a(key.get(), "ED25519")) {
        *problem = notEd25519();
        return nullptr;
    }
    return key;
}

QByteArray rawPublicKey(EVP_PKEY *key)
{
    QByteArray raw(kEd25519KeySize, Qt::Uninitialized);
    size_t length = size_t(raw.size());
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(raw.data()), &length) != 1
        || length != size_t(kEd25519KeySize))
        return QByteArray();
    return raw;
}

// An SSH "string": a 32-bit big-endian length, then the bytes.
void appendString(QByteArray &out, const char *data, int size)
{
    const quint32 length = qToBigEndian(quint32(size));
    out.append(reinterpret_cast<const char *>(&length), int(sizeof length));
    out.append(data, size);
}

void appendString(QByteArray &out, const QByteArray &bytes)
{
    appendString(out, bytes.constData(), bytes.size());
}

template <size_t N>
void appendString(QByteArray &out, const char (&literal)[N])
{
    appendString(out, literal, int(N - 1));
}

// The key as SSH encodes it: string "ssh-ed25519", string the 32 bytes.
QByteArray publicKeyBlob(const QByteArray &publicKey)
{
    QByteArray blob;
    appendString(blob, kKeyType);
    appendString(blob, publicKey);
    return blob;
}

// PROTOCOL.sshsig's armor: the blob in base64, 70 columns a line.
QByteArray armor(const QByteArray &blob)
{
    const QByteArray base64 = blob.toBase64();
    QByteArray text = "-----BEGIN SSH SIGNATURE-----\n";
    for (int at = 0; at < base64.size(); at += kArmorLineLength)
        text += base64.mid(at, kArmorLineLength) + '\n';
    text += "-----END SSH SIGNATURE-----\n";
    return text;
}

} // namespace

KeyCheck checkKey(const QString &keyPath)
{
    KeyCheck check;
    const Key key = loadKey(keyPath, &check.problem);
    if (key) {
        check.publicKey = rawPublicKey(key.get());
        if (check.publicKey.isEmpty())
            check.problem = brokenKey();
    }
    return check;
}

Signature signDigest(const QString &keyPath, const QByteArray &sha512)
{
    Signature result;
    if (sha512.size() != ::Sha512::kDigestSize) {
        result.problem = signingFailed();
        return result;
    }
    const Key key = loadKey(keyPath, &result.problem);
    if (!key)
        return result;
    const QByteArray publicKey = rawPublicKey(key.get());
    if (publicKey.isEmpty()) {
        result.problem = brokenKey();
        return result;
    }

    // What Ed25519 signs: the magic, then namespace, reserved, hash
    // algorithm and the message's digest, each as an SSH string.
    QByteArray signedData(kMagic);
    appendString(signedData, kNamespace);
    appendString(signedData, "");
    appendString(signedData, kHashAlgorithm);
    appendString(signedData, sha512);

    QByteArray signature(kEd25519SignatureSize, Qt::Uninitialized);
    size_t length = size_t(signature.size());
    const std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    // Ed25519 hashes on its own: no digest is named, and the data goes in one call.
    const bool signedOk = ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1
            && EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                              reinterpret_cast<const unsigned char *>(signedData.constData()),
                              size_t(signedData.size())) == 1
            && length == size_t(kEd25519SignatureSize);
    ERR_clear_error();
    if (!signedOk) {
        result.problem = signingFailed();
        return result;
    }

    QByteArray signatureBlob;
    appendString(signatureBlob, kKeyType);
    appendString(signatureBlob, signature);

    QByteArray blob(kMagic);
    const quint32 version = qToBigEndian(kSigVersion);
    blob.append(reinterpret_cast<const char *>(&version), int(sizeof version));
    appendString(blob, publicKeyBlob(publicKey));
    appendString(blob, kNamespace);
    appendString(blob, "");
    appendString(blob, kHashAlgorithm);
    appendString(blob, signatureBlob);

    result.armored = armor(blob);
    result.publicKey = publicKey;
    return result;
}

QByteArray publicKeyLine(const QByteArray &publicKey, const QString &comment)
{
    if (publicKey.size() != kEd25519KeySize)
        return QByteArray();
    QByteArray line = QByteArray(kKeyType) + ' ' + publicKeyBlob(publicKey).toBase64();
    const QString simplified = comment.simplified();
    if (!simplified.isEmpty())
        line += ' ' + simplified.toUtf8();
    return line + '\n';
}

QByteArray allowedSignersLine(const QString &principal, const QByteArray &publicKey)
{
    if (publicKey.size() != kEd25519KeySize || principal.isEmpty() || principal.startsWith(QLatin1Char('#')))
        return QByteArray();
    // ssh-keygen reads the first field as a comma-separated list of patterns,
    // each possibly negated with '!', optionally in double quotes.
    for (const QChar c : principal) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c == QLatin1Char('"') || c == QLatin1Char(',')
            || c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('!'))
            return QByteArray();
    }
    return principal.toUtf8() + ' ' + kKeyType + ' ' + publicKeyBlob(publicKey).toBase64() + '\n';
}

QString fingerprint(const QByteArray &publicKey)
{
    if (publicKey.size() != kEd25519KeySize)
        return QString();
    Sha256 sha;
    sha.update(publicKeyBlob(publicKey));
    const QByteArray digest = sha.finish();
    return QLatin1String("SHA256:")
            + QString::fromLatin1(digest.toBase64(QByteArray::Base64Encoding | QByteArray::OmitTrailingEquals));
}

} // namespace Signing
