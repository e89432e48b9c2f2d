#include "platform/sha256.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <utility>

namespace {

// OpenSSL 3 looks the implementation up in its providers on every start of
// a digest given EVP_sha256(); fetched once, starting one per recording of
// a million costs next to nothing.
const EVP_MD *fetched(const char *name, const EVP_MD *fallback)
{
    // The system's openssl.cnf has nothing a digest needs; not reading it
    // keeps half a megabyte out of the tool.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    const EVP_MD *method = EVP_MD_fetch(nullptr, name, nullptr);
    return method ? method : fallback;
}

} // namespace

Sha256::Sha256()
    : EvpDigest([] {
        static const EVP_MD *const method = fetched("SHA256", EVP_sha256());
        return method;
    }(), kDigestSize)
{
}

Sha512::Sha512()
    : EvpDigest([] {
        static const EVP_MD *const method = fetched("SHA512", EVP_sha512());
        return method;
    }(), kDigestSize)
{
}

EvpDigest::EvpDigest(const EVP_MD *method, int size)
    : m_ctx(EVP_MD_CTX_new())
    , m_method(method)
    , m_size(size)
{
    reset();
}

EvpDigest::~EvpDigest()
{
    EVP_MD_CTX_free(m_ctx);
}

EvpDigest::EvpDigest(EvpDigest &&other) noexcept
    : m_ctx(std::exchange(other.m_ctx, nullptr))
    , m_method(other.m_method)
    , m_size(other.m_size)
    , m_failed(other.m_failed)
{
}

EvpDigest &EvpDigest::operator=(EvpDigest &&other) noexcept
{
    if (this != &other) {
        EVP_MD_CTX_free(m_ctx);
        m_ctx = std::exchange(other.m_ctx, nullptr);
        m_method = other.m_method;
        m_size = other.m_size;
        m_failed = other.m_failed;
    }
    return *this;
}

bool EvpDigest::reset()
{
    m_failed = m_ctx == nullptr || EVP_DigestInit_ex(m_ctx, m_method, nullptr) != 1;
    return !m_failed;
}

bool EvpDigest::update(const char *data, size_t size)
{
    if (!isValid())
        return false;
    if (size > 0 && EVP_DigestUpdate(m_ctx, data, size) != 1)
        m_failed = true;
    return !m_failed;
}

QByteArray EvpDigest::finish()
{
    QByteArray digest;
    if (isValid()) {
        digest.resize(m_size);
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_ctx, reinterpret_cast<unsigned char *>(digest.data()), &length) != 1
            || length != unsigned(m_size))
            digest.clear();
    }
    // A finished context takes no bytes before a new start.
    reset();
    return digest;
}
