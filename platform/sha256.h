#pragma once

#include <QByteArray>

#include <cstddef>

typedef struct evp_md_ctx_st EVP_MD_CTX;

// SHA-256 through libcrypto's EVP interface, which picks the processor's own
// SHA instructions (ARMv8 on the recorder, SHA-NI on x86) where they exist:
// several times QCryptographicHash's portable code (bench/bench_hash).
//
// No exceptions: a failure of libcrypto (a context it could not allocate)
// makes the object invalid, and finish() then gives an empty array. A
// moved-from object is invalid too.
class Sha256
{
public:
    static constexpr int kDigestSize = 32;

    Sha256();
    ~Sha256();
    Sha256(Sha256 &&other) noexcept;
    Sha256 &operator=(Sha256 &&other) noexcept;
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    bool isValid() const { return m_ctx != nullptr && !m_failed; }
    // Adds bytes to the running digest; false when the object is invalid.
    bool update(const char *data, size_t size);
    bool update(const QByteArray &data) { return update(data.constData(), size_t(data.size())); }
    // The 32-byte digest of everything added since the start or the last
    // finish() or reset(); the object then starts again. Empty when invalid.
    QByteArray finish();
    // Drops what was added and starts again; clears a failure. False when
    // libcrypto refuses.
    bool reset();


private:
    EVP_MD_CTX *m_ctx;
    bool m_failed = false;
};
