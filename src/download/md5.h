#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// MD5 message digest (RFC 1321). One object per message; any thread.
class CMD5Checksum {
public:
    CMD5Checksum();
    virtual ~CMD5Checksum() = default;

    void Update(const unsigned char* data, size_t length);
    // Pads, appends the length and returns the digest as 32 lower-case
    // hexadecimal digits. The object is not reset.
    std::string Final();

private:
    void Transform(const unsigned char block[64]);

    unsigned char m_buffer[64];
    uint32_t m_count[2]; // bits so far, modulo 2^64, low word first
    uint32_t m_state[4];
};

// Large enough that the cost of a read call (a system call through Wine's
// file layer) is well under 1% of the time it takes to digest the chunk;
// small enough that the chunk is still in the processor's L2 cache when the
// digest reads it right after the copy. The same for every file size.
constexpr size_t kDigestReadChunk = 256 * 1024;

// Digest of an open stream read in kDigestReadChunk pieces; closes the stream.
// "" for a null stream or a failure.
std::string StreamDigest(FILE* file);
// Digest of a file; "" when the path is empty or the file cannot be read.
// The narrow path is in the ANSI code page; the wide one can name any file.
std::string FileDigest(const char* path);
std::string FileDigest(const wchar_t* path);
