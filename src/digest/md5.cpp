#include "digest/md5.h"

#include <cstring>
#include <new>

namespace {

// Windows runs on little-endian processors only: a message word is the four
// bytes as they lie in memory.
inline uint32_t Load32(const unsigned char* p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof(word));
    return word;
}

template <int S>
inline uint32_t RotateLeft(uint32_t x) {
    return (x << S) | (x >> (32 - S));
}

// One step is a = b + ((a + f(b, c, d) + x + k) <<< s), and the digest's
// speed is the length of the chain of operations that wait on b, the word
// the step before has just made. Each step therefore adds x + k to a first
// (that waits on nothing) and keeps to the fewest operations after b:
//   F = d ^ (b & (c ^ d))           and, xor
//   G = (b & d) + (c & ~d)          and, add: the two terms share no bit
//   H = (c ^ d) ^ b                 xor
//   I = c ^ (b | ~d)                or, xor
template <int S>
inline void StepF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t xk) {
    a += xk;
    a += d ^ (b & (c ^ d));
    a = b + RotateLeft<S>(a);
}

template <int S>
inline void StepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t xk) {
    a += xk;
    a += c & ~d;
    a += b & d;
    a = b + RotateLeft<S>(a);
}

template <int S>
inline void StepH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t xk) {
    a += xk;
    a += (c ^ d) ^ b;
    a = b + RotateLeft<S>(a);
}

template <int S>
inline void StepI(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t xk) {
    a += xk;
    a += c ^ (b | ~d);
    a = b + RotateLeft<S>(a);
}

const unsigned char kPadding[64] = {0x80};

} // namespace

CMD5Checksum::CMD5Checksum() : m_buffer{}, m_count{0, 0}, m_state{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476} {}

void CMD5Checksum::Update(const unsigned char* data, size_t length) {
    size_t index = (m_count[0] >> 3) & 0x3F;
    // The bit count is kept modulo 2^64 in two words.
    const uint64_t bits = (static_cast<uint64_t>(m_count[1]) << 32 | m_count[0]) + (static_cast<uint64_t>(length) << 3);
    m_count[0] = static_cast<uint32_t>(bits);
    m_count[1] = static_cast<uint32_t>(bits >> 32);

    const size_t partLength = 64 - index;
    size_t i = 0;
    if (length >= partLength) {
        std::memcpy(&m_buffer[index], data, partLength);
        Transform(m_buffer);
        for (i = partLength; i + 63 < length; i += 64) {
            Transform(&data[i]);
        }
        index = 0;
    }
    std::memcpy(&m_buffer[index], &data[i], length - i);
}

std::string CMD5Checksum::Final() {
    unsigned char bits[8];
    for (int i = 0; i < 8; ++i) {
        bits[i] = static_cast<unsigned char>(m_count[i / 4] >> ((i % 4) * 8));
    }
    const size_t index = (m_count[0] >> 3) & 0x3F;
    const size_t padLength = index < 56 ? 56 - index : 120 - index;
    Update(kPadding, padLength);
    Update(bits, 8);

    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (uint32_t word : m_state) {
        for (int i = 0; i < 4; ++i) {
            const unsigned byte = (word >> (i * 8)) & 0xFF;
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0x0F];
        }
    }
    return text;
}

void CMD5Checksum::Transform(const unsigned char block[64]) {
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];

    StepF<7>(a, b, c, d, Load32(block + 4 * 0) + 0xd76aa478);
    StepF<12>(d, a, b, c, Load32(block + 4 * 1) + 0xe8c7b756);
    StepF<17>(c, d, a, b, Load32(block + 4 * 2) + 0x242070db);
    StepF<22>(b, c, d, a, Load32(block + 4 * 3) + 0xc1bdceee);
    StepF<7>(a, b, c, d, Load32(block + 4 * 4) + 0xf57c0faf);
    StepF<12>(d, a, b, c, Load32(block + 4 * 5) + 0x4787c62a);
    StepF<17>(c, d, a, b, Load32(block + 4 * 6) + 0xa8304613);
    StepF<22>(b, c, d, a, Load32(block + 4 * 7) + 0xfd469501);
    StepF<7>(a, b, c, d, Load32(block + 4 * 8) + 0x698098d8);
    StepF<12>(d, a, b, c, Load32(block + 4 * 9) + 0x8b44f7af);
    StepF<17>(c, d, a, b, Load32(block + 4 * 10) + 0xffff5bb1);
    StepF<22>(b, c, d, a, Load32(block + 4 * 11) + 0x895cd7be);
    StepF<7>(a, b, c, d, Load32(block + 4 * 12) + 0x6b901122);
    StepF<12>(d, a, b, c, Load32(block + 4 * 13) + 0xfd987193);
    StepF<17>(c, d, a, b, Load32(block + 4 * 14) + 0xa679438e);
    StepF<22>(b, c, d, a, Load32(block + 4 * 15) + 0x49b40821);

    StepG<5>(a, b, c, d, Load32(block + 4 * 1) + 0xf61e2562);
    StepG<9>(d, a, b, c, Load32(block + 4 * 6) + 0xc040b340);
    StepG<14>(c, d, a, b, Load32(block + 4 * 11) + 0x265e5a51);
    StepG<20>(b, c, d, a, Load32(block + 4 * 0) + 0xe9b6c7aa);
    StepG<5>(a, b, c, d, Load32(block + 4 * 5) + 0xd62f105d);
    StepG<9>(d, a, b, c, Load32(block + 4 * 10) + 0x02441453);
    StepG<14>(c, d, a, b, Load32(block + 4 * 15) + 0xd8a1e681);
    StepG<20>(b, c, d, a, Load32(block + 4 * 4) + 0xe7d3fbc8);
    StepG<5>(a, b, c, d, Load32(block + 4 * 9) + 0x21e1cde6);
    StepG<9>(d, a, b, c, Load32(block + 4 * 14) + 0xc33707d6);
    StepG<14>(c, d, a, b, Load32(block + 4 * 3) + 0xf4d50d87);
    StepG<20>(b, c, d, a, Load32(block + 4 * 8) + 0x455a14ed);
    StepG<5>(a, b, c, d, Load32(block + 4 * 13) + 0xa9e3e905);
    StepG<9>(d, a, b, c, Load32(block + 4 * 2) + 0xfcefa3f8);
    StepG<14>(c, d, a, b, Load32(block + 4 * 7) + 0x676f02d9);
    StepG<20>(b, c, d, a, Load32(block + 4 * 12) + 0x8d2a4c8a);

    StepH<4>(a, b, c, d, Load32(block + 4 * 5) + 0xfffa3942);
    StepH<11>(d, a, b, c, Load32(block + 4 * 8) + 0x8771f681);
    StepH<16>(c, d, a, b, Load32(block + 4 * 11) + 0x6d9d6122);
    StepH<23>(b, c, d, a, Load32(block + 4 * 14) + 0xfde5380c);
    StepH<4>(a, b, c, d, Load32(block + 4 * 1) + 0xa4beea44);
    StepH<11>(d, a, b, c, Load32(block + 4 * 4) + 0x4bdecfa9);
    StepH<16>(c, d, a, b, Load32(block + 4 * 7) + 0xf6bb4b60);
    StepH<23>(b, c, d, a, Load32(block + 4 * 10) + 0xbebfbc70);
    StepH<4>(a, b, c, d, Load32(block + 4 * 13) + 0x289b7ec6);
    StepH<11>(d, a, b, c, Load32(block + 4 * 0) + 0xeaa127fa);
    StepH<16>(c, d, a, b, Load32(block + 4 * 3) + 0xd4ef3085);
    StepH<23>(b, c, d, a, Load32(block + 4 * 6) + 0x04881d05);
    StepH<4>(a, b, c, d, Load32(block + 4 * 9) + 0xd9d4d039);
    StepH<11>(d, a, b, c, Load32(block + 4 * 12) + 0xe6db99e5);
    StepH<16>(c, d, a, b, Load32(block + 4 * 15) + 0x1fa27cf8);
    StepH<23>(b, c, d, a, Load32(block + 4 * 2) + 0xc4ac5665);

    StepI<6>(a, b, c, d, Load32(block + 4 * 0) + 0xf4292244);
    StepI<10>(d, a, b, c, Load32(block + 4 * 7) + 0x432aff97);
    StepI<15>(c, d, a, b, Load32(block + 4 * 14) + 0xab9423a7);
    StepI<21>(b, c, d, a, Load32(block + 4 * 5) + 0xfc93a039);
    StepI<6>(a, b, c, d, Load32(block + 4 * 12) + 0x655b59c3);
    StepI<10>(d, a, b, c, Load32(block + 4 * 3) + 0x8f0ccc92);
    StepI<15>(c, d, a, b, Load32(block + 4 * 10) + 0xffeff47d);
    StepI<21>(b, c, d, a, Load32(block + 4 * 1) + 0x85845dd1);
    StepI<6>(a, b, c, d, Load32(block + 4 * 8) + 0x6fa87e4f);
    StepI<10>(d, a, b, c, Load32(block + 4 * 15) + 0xfe2ce6e0);
    StepI<15>(c, d, a, b, Load32(block + 4 * 6) + 0xa3014314);
    StepI<21>(b, c, d, a, Load32(block + 4 * 13) + 0x4e0811a1);
    StepI<6>(a, b, c, d, Load32(block + 4 * 4) + 0xf7537e82);
    StepI<10>(d, a, b, c, Load32(block + 4 * 11) + 0xbd3af235);
    StepI<15>(c, d, a, b, Load32(block + 4 * 2) + 0x2ad7d2bb);
    StepI<21>(b, c, d, a, Load32(block + 4 * 9) + 0xeb86d391);
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

unsigned char* CDigestBuffer::Get() noexcept {
    if (!m_data) {
        m_data.reset(new (std::nothrow) unsigned char[kDigestReadChunk]);
    }
    return m_data.get();
}

std::string StreamDigest(FILE* file, CDigestBuffer& buffer, CDigestObserver* observer) {
    if (file == nullptr) {
        return std::string();
    }
    std::string digest;
    unsigned char* const chunk = buffer.Get();
    bool abandoned = false;
    try {
        CMD5Checksum checksum;
        for (;;) {
            const size_t read = chunk != nullptr ? std::fread(chunk, 1, kDigestReadChunk, file) : 0;
            if (read == 0) {
                break;
            }
            checksum.Update(chunk, read);
            if (observer != nullptr && !observer->OnChunk()) {
                abandoned = true;
                break;
            }
        }
        // A read error (a folder opened as a file, a failing disk) is not a
        // digest, and neither is a file never read for want of memory.
        if (chunk != nullptr && !abandoned && !std::ferror(file)) {
            digest = checksum.Final();
        }
    } catch (...) {
        digest.clear();
    }
    std::fclose(file);
    return digest;
}

std::string StreamDigest(FILE* file) {
    CDigestBuffer buffer;
    return StreamDigest(file, buffer);
}

namespace {

// The chunks are read straight into the digest's buffer: the runtime's own
// stream buffer would only add a copy of every byte.
FILE* Unbuffered(FILE* file) {
    if (file != nullptr) {
        std::setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
}

} // namespace

std::string FileDigest(const char* path, CDigestBuffer& buffer) {
    if (path == nullptr || *path == '\0') {
        return std::string();
    }
    return StreamDigest(Unbuffered(std::fopen(path, "rb")), buffer);
}

std::string FileDigest(const wchar_t* path, CDigestBuffer& buffer, CDigestObserver* observer) {
    if (path == nullptr || *path == L'\0') {
        return std::string();
    }
    // Opened as a wide path, so any file name can be read whatever the ANSI
    // code page lacks.
    return StreamDigest(Unbuffered(_wfopen(path, L"rb")), buffer, observer);
}

std::string FileDigest(const char* path) {
    CDigestBuffer buffer;
    return FileDigest(path, buffer);
}

std::string FileDigest(const wchar_t* path) {
    CDigestBuffer buffer;
    return FileDigest(path, buffer);
}

bool IsDigestText(const std::wstring& text) noexcept {
    if (text.size() != 32) {
        return false;
    }
    for (wchar_t c : text) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'))) {
            return false;
        }
    }
    return true;
}
