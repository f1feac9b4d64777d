#pragma once

#include <cstddef>
#include <cstdint>

// Decodes a body sent with Content-Encoding gzip or deflate, piece by piece
// as it arrives, into a sink: gzip (one member or several, one after
// another, decoded as one body), and "deflate" as servers send it, a zlib
// stream or, when the body does not start with a zlib header, raw deflate.
//
// Any split of the body gives the same decoded bytes, the same calls of the
// sink and the same result: the decoder keeps its state between pieces, and
// it hands decoded bytes to the sink 32 KiB at a time (each time its window
// fills) and the rest when a stream or member ends, so where the sink is
// called depends only on the body. A sink's size bound is therefore met at
// the same byte however the body arrived; the last piece of decoded bytes
// reaches the sink only once its stream has ended.
//
// The memory is fixed and taken once, at construction: the 32 KiB window of
// the bytes decoded last (a distance of the format reaches at most that far
// back) and the decoding tables. Input is never buffered beyond a few bytes.
// Malformed input of any kind ends decoding with DECODE_MALFORMED; nothing is
// read or written outside the input and the decoder's own memory. No
// exception leaves it. One thread at a time.
class CContentDecoder {
public:
    enum Format {
        FORMAT_GZIP,
        FORMAT_DEFLATE, // a zlib stream, or raw deflate when the first two bytes are not a zlib header
    };
    enum Result {
        DECODE_MORE,      // the stream goes on: feed the next piece
        DECODE_DONE,      // the stream ended and its checks held
        DECODE_MALFORMED, // not a stream of the format, or its checks failed
        DECODE_REFUSED,   // the sink refused decoded bytes
        DECODE_NO_MEMORY, // the decoder could not take its memory (Ready() is false)
    };

    // Receives the decoded bytes, never an empty piece. Returning false
    // refuses them (a size bound): decoding ends with DECODE_REFUSED and the
    // sink is not called again.
    class CSink {
    public:
        virtual bool Write(const unsigned char* data, size_t size) noexcept = 0;

    protected:
        ~CSink() = default;
    };

    explicit CContentDecoder(Format format) noexcept;
    ~CContentDecoder();
    CContentDecoder(const CContentDecoder&) = delete;
    CContentDecoder& operator=(const CContentDecoder&) = delete;

    // False when the memory could not be taken; every Feed then gives
    // DECODE_NO_MEMORY.
    bool Ready() const noexcept;

    // Starts over on a new body of format in the memory already taken, as a
    // new decoder would (nothing of the last body stays reachable), for a
    // caller that decodes many bodies: taking the memory costs far more
    // than decoding a small body.
    void Reset(Format format) noexcept;

    // Feeds the next piece of the body (size may be 0). Once the result is
    // DECODE_DONE or an error, every later Feed gives the same, with one
    // exception: after a gzip member more bytes start the next member, and
    // bytes that do not start one are DECODE_MALFORMED, as are any bytes
    // after the end of a deflate stream.
    Result Feed(const unsigned char* data, size_t size, CSink& sink) noexcept;

    // After the body ended: true only when its stream was complete (the last
    // Feed gave DECODE_DONE). A body cut short is not complete, and neither
    // is a body of no bytes at all.
    bool Complete() const noexcept;

private:
    struct CTables;
    enum State : uint8_t;
    enum Step : uint8_t;

    void Begin(Format format) noexcept;
    void Run() noexcept;
    bool PullByte() noexcept;
    bool Need(unsigned bits) noexcept;
    void Drop(unsigned bits) noexcept;
    void StartMember() noexcept;
    void NextGzipField() noexcept;
    void HeaderByte(unsigned byte) noexcept;
    bool ReadCodeLengths() noexcept;
    void CopyStored() noexcept;
    Step DecodeCodes() noexcept;
    bool CopyMatch(size_t& pos, size_t distance, size_t length) noexcept;
    void EndBlock() noexcept;
    void CheckTrailer() noexcept;
    bool Flush(size_t end) noexcept;

    Format m_format = FORMAT_GZIP;
    State m_state;

    void* m_pMemory = nullptr; // the reservation that holds the window and the tables
    unsigned char* m_pWindow = nullptr;
    CTables* m_pTables = nullptr;

    // The piece being fed and its sink: set for the length of one Feed.
    const unsigned char* m_pIn = nullptr;
    const unsigned char* m_pInEnd = nullptr;
    CSink* m_pSink = nullptr;

    // Bits taken from the input and not yet used, the next one lowest. Every
    // bit above m_nBits is zero outside DecodeCodes, which may leave a copy
    // of input bytes there while it runs.
    uint64_t m_nBitBuffer = 0;
    unsigned m_nBits = 0;

    size_t m_nPos = 0;      // where the next decoded byte goes in the window
    size_t m_nFlushed = 0;  // the window's bytes before this one have reached the sink
    uint64_t m_nOutput = 0; // bytes decoded in this stream or gzip member
    uint32_t m_nCheck = 0;  // the running CRC-32 or Adler-32 of the bytes that reached the sink

    // Where a header, a trailer or a block's lengths have got to.
    unsigned m_nFlags = 0;     // the gzip member's flags still to be read
    unsigned m_nCount = 0;     // bytes or lengths read of the current field
    unsigned m_nFieldSize = 0; // of the gzip extra field
    uint32_t m_nHeaderCrc = 0; // of the gzip header so far
    uint8_t m_trailer[8] = {}; // the trailer's bytes so far
    bool m_bChecked = false;   // FORMAT_DEFLATE: a zlib stream, with an Adler-32 at its end
    bool m_bFinalBlock = false;
    unsigned m_nStoredLeft = 0; // bytes of the stored block still to be copied
    unsigned m_nLitCodes = 0;   // of the dynamic block being read: HLIT, HDIST and HCLEN
    unsigned m_nDistCodes = 0;
    unsigned m_nLengthCodes = 0;
    const uint32_t* m_pLitTable = nullptr; // the block's tables: the fixed ones or the dynamic ones
    const uint32_t* m_pDistTable = nullptr;
};
