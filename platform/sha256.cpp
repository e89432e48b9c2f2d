#include "platform/sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <utility>

namespace {

// OpenSSL 3 looks the implementation up in its providers on every start of
// a digest given EVP_sha256(); fetched once, starting one per recording of
// a million costs next to nothing.
const EVP_MD *sha256Method()
{
    static const EVP_MD *const method = [] {
        // The system's openssl.cnf has nothing a digest needs; not reading
        // it keeps half a megabyte out of the tool.
        OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
        const EVP_MD *fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        return fetched ? fetched : EVP_sha256();
    }();
    return method;
}

} // namespace

Sha256::Sha256()
    : m_ctx(EVP_MD_CTX_new())
{
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_ctx);
}

Sha256::Sha256(Sha256 &&other) noexcept
    : m_ctx(std::exchange(other.m_ctx, nullptr))
    , m_failed(other.m_failed)
{
}

Sha256 &Sha256::operator=(Sha256 &&other) noexcept
{
    if (this != &other) {
        EVP_MD_CTX_free(m_ctx);
        m_ctx = std::exchange(other.m_ctx, nullptr);
        m_failed = other.m_failed;
    }
    return *this;
}

bool Sha256::reset()
{
    m_failed = m_ctx == nullptr || EVP_DigestInit_ex(m_ctx, sha256Method(), nullptr) != 1;
    return !m_failed;
}

bool Sha256::update(const char *data, size_t size)
{
    if (!isValid())
        return false;
    if (size > 0 && EVP_DigestUpdate(m_ctx, data, size) != 1)
        m_failed = true;
    return !m_failed;
}

QByteArray Sha256::finish()
{
    QByteArray digest;
    if (isValid()) {
        digest.resize(kDigestSize);
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_ctx, reinterpret_cast<unsigned char *>(digest.data()), &length) != 1
            || length != unsigned(kDigestSize))
            digest.clear();
    }
    // A finished context takes no bytes before a new start.
    reset();
    return digest;
}
