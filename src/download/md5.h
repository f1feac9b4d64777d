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

// Digest of an open stream read in 256 KB chunks; closes the stream.
// "" for a null stream or a failure.
std::string StreamDigest(FILE* file);
// Digest of a file; "" when the path is empty or the file cannot be read.
// The narrow path is in the ANSI code page; the wide one can name any file.
std::string FileDigest(const char* path);
std::string FileDigest(const wchar_t* path);
