#include "digest_test_support.h"

namespace test {

namespace {

// Acquired once: under Wine each acquisition takes about 10 ms.
HCRYPTPROV Provider() {
    static HCRYPTPROV provider = [] {
        HCRYPTPROV acquired = 0;
        CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
        return acquired;
    }();
    return provider;
}

} // namespace

CPlatformMd5::CPlatformMd5() {
    CryptCreateHash(Provider(), CALG_MD5, 0, 0, &m_hash);
}

CPlatformMd5::~CPlatformMd5() {
    if (m_hash != 0) {
        CryptDestroyHash(m_hash);
    }
}

void CPlatformMd5::Update(const std::string& bytes) {
    CryptHashData(m_hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0);
}

std::string CPlatformMd5::Final() {
    BYTE value[16];
    DWORD size = sizeof(value);
    if (!CryptGetHashParam(m_hash, HP_HASHVAL, value, &size, 0)) {
        return "failed";
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : value) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::string PlatformDigest(const std::string& bytes) {
    CPlatformMd5 md5;
    md5.Update(bytes);
    return md5.Final();
}

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned value = seed;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(value >> 16);
    }
    return bytes;
}

} // namespace test
