#pragma once

#include <string>

#include <windows.h>
#include <wincrypt.h>

// Helpers of the digest tests. Any thread.
namespace test {

// The platform's own MD5 (CryptoAPI), an implementation independent of ours.
class CPlatformMd5 {
public:
    CPlatformMd5();
    ~CPlatformMd5();
    CPlatformMd5(const CPlatformMd5&) = delete;
    CPlatformMd5& operator=(const CPlatformMd5&) = delete;

    bool Valid() const { return m_hash != 0; }
    void Update(const std::string& bytes);
    // 32 lower-case hexadecimal digits, or "failed".
    std::string Final();

private:
    HCRYPTHASH m_hash = 0;
};

// The platform's MD5 of bytes.
std::string PlatformDigest(const std::string& bytes);

// Bytes that repeat with no power-of-two period, so a chunk read twice or
// skipped changes the digest.
std::string Pattern(size_t size, unsigned seed = 1);

} // namespace test
