#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
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

// The memory a digest reads its file into: kDigestReadChunk bytes, made at
// its first use and kept for the next digest, so that a caller digesting
// many small files makes the block once (Wine maps and unmaps a block of
// that size each time, which costs more than a small file's digest). It
// belongs to its caller, never to a thread: with this toolchain a
// thread_local with a destructor is freed twice when its thread ends. One
// digest at a time; the thread that owns it.
class CDigestBuffer {
public:
    CDigestBuffer() = default;
    CDigestBuffer(const CDigestBuffer&) = delete;
    CDigestBuffer& operator=(const CDigestBuffer&) = delete;

    // kDigestReadChunk bytes, or null when there is no memory for them.
    unsigned char* Get() noexcept;

private:
    std::unique_ptr<unsigned char[]> m_data;
};

// Told of every chunk a digest has read, on the digesting thread, so that a
// long digest can show it is alive and be given up. Answering false ends
// the digest there: it gives "", like a file that cannot be read.
class CDigestObserver {
public:
    virtual bool OnChunk() noexcept = 0;

protected:
    ~CDigestObserver() = default;
};

// Digest of an open stream read in kDigestReadChunk pieces into buffer;
// closes the stream. "" for a null stream or a failure (no memory for the
// buffer among them). Without a buffer, one is made for this digest alone.
std::string StreamDigest(FILE* file, CDigestBuffer& buffer, CDigestObserver* observer = nullptr);
std::string StreamDigest(FILE* file);
// Digest of a file; "" when the path is empty or the file cannot be read.
// The narrow path is in the ANSI code page; the wide one can name any file.
std::string FileDigest(const char* path, CDigestBuffer& buffer);
std::string FileDigest(const wchar_t* path, CDigestBuffer& buffer, CDigestObserver* observer = nullptr);
std::string FileDigest(const char* path);
std::string FileDigest(const wchar_t* path);

// True for a digest as a list writes one: 32 hexadecimal digits (0-9, a-f,
// A-F), nothing else.
bool IsDigestText(const std::wstring& text) noexcept;
