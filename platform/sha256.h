#pragma once

#include <QByteArray>

#include <cstddef>

typedef struct evp_md_ctx_st EVP_MD_CTX;
typedef struct evp_md_st EVP_MD;

// A running digest through libcrypto's EVP interface, which picks the
// processor's own SHA instructions (ARMv8 on the recorder, SHA-NI on x86)
// where they exist: several times QCryptographicHash's portable code
// (bench/bench_hash). Sha256 hashes every exported file; Sha512 the manifest
// that is signed.
//
// No exceptions: a failure of libcrypto (a context it could not allocate)
// makes the object invalid, and finish() then gives an empty array. A
// moved-from object is invalid too.
class EvpDigest
{
public:
    ~EvpDigest();
    EvpDigest(EvpDigest &&other) noexcept;
    EvpDigest &operator=(EvpDigest &&other) noexcept;
    EvpDigest(const EvpDigest &) = delete;
    EvpDigest &operator=(const EvpDigest &) = delete;

    bool isValid() const { return m_ctx != nullptr && !m_failed; }
    // Adds bytes to the running digest; false when the object is invalid.
    bool update(const char *data, size_t size);
    bool update(const QByteArray &data) { return update(data.constData(), size_t(data.size())); }
    // The digest of everything added since the start or the last finish()
    // or reset(); the object then starts again. Empty when invalid.
    QByteArray finish();
    // Drops what was added and starts again; clears a failure. False when
    // libcrypto refuses.
    bool reset();

protected:
    EvpDigest(const EVP_MD *method, int size);

private:
    EVP_MD_CTX *m_ctx;
    const EVP_MD *m_method;
    int m_size;
    bool m_failed = false;
};

class Sha256 : public EvpDigest
{
public:
    static constexpr int kDigestSize = 32;
    Sha256();
};

class Sha512 : public EvpDigest
{
public:
    static constexpr int kDigestSize = 64;
    Sha512();
};
