#include "download/content_decoder.h"

#include "content_decoder_vectors.h"
#include "digest/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

namespace {

using content_vectors::kVectors;
using content_vectors::Vector;
using Result = CContentDecoder::Result;

constexpr auto kGzip = CContentDecoder::FORMAT_GZIP;
constexpr auto kDeflate = CContentDecoder::FORMAT_DEFLATE;
constexpr size_t kNoBound = ~size_t{0};

std::string Body(const Vector& vector) {
    return std::string(vector.encoded, vector.encodedSize);
}

std::string Plain(const Vector& vector) {
    return std::string(vector.plain, vector.plainSize);
}

const Vector& Named(const std::string& name) {
    for (const Vector& vector : kVectors) {
        if (name == vector.name) {
            return vector;
        }
    }
    ADD_FAILURE() << "no vector " << name;
    return kVectors[0];
}

// Keeps the bytes it takes and the size of every call; refuses a call that
// would take it past its bound.
class CRecordingSink : public CContentDecoder::CSink {
public:
    explicit CRecordingSink(size_t bound) : m_nBound(bound) {}

    bool Write(const unsigned char* data, size_t size) noexcept override {
        m_calls.push_back(size);
        if (size > m_nBound - m_bytes.size()) {
            return false;
        }
        m_bytes.append(reinterpret_cast<const char*>(data), size);
        return true;
    }

    std::string m_bytes;
    std::vector<size_t> m_calls;

private:
    size_t m_nBound;
};

struct Decoded {
    Result result = CContentDecoder::DECODE_MORE;
    bool complete = false;
    std::string bytes;
    std::vector<size_t> calls;
};

// Feeds body in pieces of the given sizes, taken in turn and over again (0
// feeds nothing; no sizes: the whole body at once). Every piece is fed, also
// after an error, which every later Feed must give again without calling
// the sink.
Decoded Decode(CContentDecoder::Format format, const std::string& body, const std::vector<size_t>& pieces = {},
               size_t bound = kNoBound) {
    CContentDecoder decoder(format);
    EXPECT_TRUE(decoder.Ready());
    CRecordingSink sink(bound);
    Decoded decoded;
    const auto* data = reinterpret_cast<const unsigned char*>(body.data());
    size_t at = 0;
    size_t turn = 0;
    Result failure = CContentDecoder::DECODE_MORE;
    size_t callsAtFailure = 0;
    do {
        const size_t size = pieces.empty() ? body.size() : std::min(pieces[turn++ % pieces.size()], body.size() - at);
        decoded.result = decoder.Feed(data + at, size, sink);
        at += size;
        if (failure != CContentDecoder::DECODE_MORE) {
            EXPECT_EQ(decoded.result, failure) << "an error did not last";
            EXPECT_EQ(sink.m_calls.size(), callsAtFailure) << "the sink was called after an error";
        } else if (decoded.result == CContentDecoder::DECODE_MALFORMED ||
                   decoded.result == CContentDecoder::DECODE_REFUSED) {
            failure = decoded.result;
            callsAtFailure = sink.m_calls.size();
        }
    } while (at < body.size());
    decoded.complete = decoder.Complete();
    EXPECT_EQ(decoded.complete, decoded.result == CContentDecoder::DECODE_DONE);
    for (size_t size : sink.m_calls) {
        EXPECT_GT(size, 0u) << "an empty call of the sink";
    }
    decoded.bytes = std::move(sink.m_bytes);
    decoded.calls = std::move(sink.m_calls);
    return decoded;
}

void ExpectSame(const Decoded& actual, const Decoded& expected, const std::string& what) {
    EXPECT_EQ(actual.result, expected.result) << what;
    EXPECT_EQ(actual.bytes, expected.bytes) << what;
    EXPECT_EQ(actual.calls, expected.calls) << what;
}

TEST(ContentDecoderVectorsTest, EachBodyDecodesToItsBytes) {
    for (const Vector& vector : kVectors) {
        const Decoded decoded = Decode(vector.format, Body(vector));
        EXPECT_EQ(decoded.result, CContentDecoder::DECODE_DONE) << vector.name;
        EXPECT_EQ(decoded.bytes, Plain(vector)) << vector.name;
    }
}

TEST(ContentDecoderVectorsTest, EverySplitGivesTheSameBytesCallsAndResult) {
    for (const Vector& vector : kVectors) {
        const std::string body = Body(vector);
        const Decoded whole = Decode(vector.format, body);
        for (const auto& pieces : std::vector<std::vector<size_t>>{{1}, {0, 1}, {2, 3, 5, 7, 11, 13}, {4096}}) {
            ExpectSame(Decode(vector.format, body, pieces), whole,
                       std::string(vector.name) + " in pieces of " + std::to_string(pieces.back()));
        }
        for (size_t split = 0; split <= body.size(); ++split) {
            ExpectSame(Decode(vector.format, body, {split, body.size()}), whole,
                       std::string(vector.name) + " split at " + std::to_string(split));
        }
    }
}

std::string Md5(const std::string& bytes) {
    CMD5Checksum digest;
    digest.Update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return digest.Final();
}

// Literal codes of 15 bits, a match 31500 back, matches and a stored block
// across the window's end, 2 MB of one byte.
TEST(ContentDecoderVectorsTest, BodiesLargerThanTheirSourceMatchTheirDigests) {
    for (const content_vectors::DigestVector& vector : content_vectors::kDigestVectors) {
        const std::string body(vector.encoded, vector.encodedSize);
        const Decoded whole = Decode(vector.format, body);
        EXPECT_EQ(whole.result, CContentDecoder::DECODE_DONE) << vector.name;
        EXPECT_EQ(whole.bytes.size(), vector.plainSize) << vector.name;
        EXPECT_EQ(Md5(whole.bytes), vector.plainMd5) << vector.name;
        ExpectSame(Decode(vector.format, body, {1}), whole, std::string(vector.name) + " one byte at a time");
    }
}

// Decoded bytes wait in the window until it fills or the stream ends, so a
// body cut short has handed on some of its bytes at most, and never wrong ones.
TEST(ContentDecoderVectorsTest, ABodyCutShortIsIncompleteButNotMalformed) {
    for (const Vector& vector : kVectors) {
        const std::string body = Body(vector);
        int memberEnds = 0;
        for (size_t size = 0; size < body.size(); ++size) {
            const Decoded decoded = Decode(vector.format, body.substr(0, size));
            EXPECT_NE(decoded.result, CContentDecoder::DECODE_MALFORMED) << vector.name << " cut at " << size;
            EXPECT_EQ(Plain(vector).compare(0, decoded.bytes.size(), decoded.bytes), 0) << vector.name;
            memberEnds += decoded.result == CContentDecoder::DECODE_DONE ? 1 : 0;
        }
        // Only the three members' body ends twice before its own end.
        EXPECT_EQ(memberEnds, std::string(vector.name) == "GzipMembers" ? 2 : 0) << vector.name;
    }
}

std::string Flipped(std::string body, size_t at, unsigned bit) {
    body[at] = static_cast<char>(body[at] ^ (1 << bit));
    return body;
}

TEST(ContentDecoderChecksTest, AWrongCrcSizeOrAdlerIsMalformedAfterEveryByteReachedTheSink) {
    for (const char* name : {"GzipDynamic", "GzipEmpty", "ZlibDynamic", "ZlibEmpty"}) {
        const Vector& vector = Named(name);
        const std::string body = Body(vector);
        const size_t trailer = vector.format == kGzip ? 8 : 4; // CRC-32 and ISIZE, or Adler-32
        for (size_t at = body.size() - trailer; at < body.size(); ++at) {
            const Decoded decoded = Decode(vector.format, Flipped(body, at, 0));
            EXPECT_EQ(decoded.result, CContentDecoder::DECODE_MALFORMED) << vector.name << " byte " << at;
            EXPECT_EQ(decoded.bytes, Plain(vector)) << vector.name;
        }
    }
}

// The header CRC covers what the trailer does not: no flipped bit anywhere
// gives a stream that ends well.
TEST(ContentDecoderChecksTest, EveryFlippedBitOfAMemberWithAHeaderCrcIsCaught) {
    const std::string body(content_vectors::kGzipFields, sizeof(content_vectors::kGzipFields) - 1);
    for (size_t at = 0; at < body.size(); ++at) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            EXPECT_NE(Decode(kGzip, Flipped(body, at, bit)).result, CContentDecoder::DECODE_DONE)
                << "byte " << at << " bit " << bit;
        }
    }
}

TEST(ContentDecoderGzipTest, AHeaderThatIsNotGzipIsMalformed) {
    const std::string body(content_vectors::kGzipFixed, sizeof(content_vectors::kGzipFixed) - 1);
    const std::pair<size_t, char> changes[] = {{0, '\x1e'}, {1, '\x8c'}, {2, '\x07'},
                                               {3, '\x20'}, {3, '\x40'}, {3, '\x80'}}; // magic, CM, reserved flags
    for (const auto& change : changes) {
        std::string changed = body;
        changed[change.first] = change.second;
        EXPECT_EQ(Decode(kGzip, changed).result, CContentDecoder::DECODE_MALFORMED) << "byte " << change.first;
    }
}

TEST(ContentDecoderGzipTest, WhatFollowsAMemberMustStartAnotherMember) {
    const std::string member(content_vectors::kGzipFixed, sizeof(content_vectors::kGzipFixed) - 1);
    const std::string plain = content_vectors::kShort;
    for (const std::vector<size_t>& pieces : {std::vector<size_t>{}, std::vector<size_t>{1}}) {
        const Decoded junk = Decode(kGzip, member + '\0', pieces);
        EXPECT_EQ(junk.result, CContentDecoder::DECODE_MALFORMED);
        EXPECT_EQ(junk.bytes, plain);
        const Decoded begun = Decode(kGzip, member + '\x1f', pieces);
        EXPECT_EQ(begun.result, CContentDecoder::DECODE_MORE);
        EXPECT_FALSE(begun.complete);
        const Decoded two = Decode(kGzip, member + member, pieces);
        EXPECT_EQ(two.result, CContentDecoder::DECODE_DONE);
        EXPECT_EQ(two.bytes, plain + plain);
    }
}

TEST(ContentDecoderDeflateTest, ZlibWithADictionaryAndBytesAfterTheEndAreMalformed) {
    const std::string raw(content_vectors::kRawFixed, sizeof(content_vectors::kRawFixed) - 1);
    const std::string zlib(content_vectors::kZlibFixed, sizeof(content_vectors::kZlibFixed) - 1);
    // 78 BB: a valid header check, FDICT set, then a dictionary id.
    EXPECT_EQ(Decode(kDeflate, std::string("\x78\xbb\x01\x02\x03\x04", 6) + raw).result,
              CContentDecoder::DECODE_MALFORMED);
    EXPECT_EQ(Decode(kDeflate, zlib + '\0').result, CContentDecoder::DECODE_MALFORMED);
    EXPECT_EQ(Decode(kDeflate, raw + '\0').result, CContentDecoder::DECODE_MALFORMED);
    EXPECT_EQ(Decode(kDeflate, raw + zlib).result, CContentDecoder::DECODE_MALFORMED);
}

TEST(ContentDecoderDeflateTest, DoneStaysDoneAndEmptyPiecesChangeNothing) {
    CContentDecoder decoder(kDeflate);
    CRecordingSink sink(kNoBound);
    const auto* zlib = reinterpret_cast<const unsigned char*>(content_vectors::kZlibFixed);
    EXPECT_EQ(decoder.Feed(nullptr, 0, sink), CContentDecoder::DECODE_MORE);
    EXPECT_EQ(decoder.Feed(zlib, sizeof(content_vectors::kZlibFixed) - 1, sink), CContentDecoder::DECODE_DONE);
    const size_t calls = sink.m_calls.size();
    EXPECT_EQ(decoder.Feed(nullptr, 0, sink), CContentDecoder::DECODE_DONE);
    EXPECT_TRUE(decoder.Complete());
    EXPECT_EQ(sink.m_calls.size(), calls);
    EXPECT_EQ(sink.m_bytes, content_vectors::kShort);
}

TEST(ContentDecoderDeflateTest, ResetStartsANewBodyWithNothingOfTheLastOne) {
    CContentDecoder decoder(kGzip);
    CRecordingSink sink(kNoBound);
    const Vector& gzip = Named("GzipDynamic");
    const auto* data = reinterpret_cast<const unsigned char*>(gzip.encoded);
    EXPECT_EQ(decoder.Feed(data, gzip.encodedSize / 2, sink), CContentDecoder::DECODE_MORE);

    // A fixed block whose first match reaches back into the last body's bytes.
    decoder.Reset(kDeflate);
    const unsigned char reaching[] = {0x03, 0x02, 0x00}; // a match of 3 at distance 1, then the end
    EXPECT_EQ(decoder.Feed(reaching, sizeof(reaching), sink), CContentDecoder::DECODE_MALFORMED);

    for (const Vector& vector : kVectors) {
        decoder.Reset(vector.format);
        CRecordingSink again(kNoBound);
        EXPECT_EQ(decoder.Feed(reinterpret_cast<const unsigned char*>(vector.encoded), vector.encodedSize, again),
                  CContentDecoder::DECODE_DONE)
            << vector.name;
        EXPECT_TRUE(decoder.Complete());
        EXPECT_EQ(again.m_bytes, Plain(vector)) << vector.name;
    }
}

// Writes deflate's bits: values lowest bit first, Huffman codes highest bit
// first.
class CBitWriter {
public:
    void Put(uint64_t value, unsigned bits) {
        m_nPending |= value << m_nBits;
        m_nBits += bits;
        for (; m_nBits >= 8; m_nBits -= 8, m_nPending >>= 8) {
            m_bytes.push_back(static_cast<char>(m_nPending));
        }
    }
    void PutCode(uint32_t code, unsigned bits) {
        uint32_t reversed = 0;
        for (unsigned i = 0; i < bits; ++i) {
            reversed |= ((code >> i) & 1) << (bits - 1 - i);
        }
        Put(reversed, bits);
    }
    void PutBytes(const std::string& bytes) {
        Align();
        m_bytes += bytes;
    }
    void Align() {
        if (m_nBits > 0) {
            Put(0, 8 - m_nBits);
        }
    }
    std::string Take() {
        Align();
        return std::move(m_bytes);
    }

private:
    std::string m_bytes;
    uint64_t m_nPending = 0;
    unsigned m_nBits = 0;
};

void PutStored(CBitWriter& writer, bool final, const std::string& bytes) {
    writer.Put(final ? 1 : 0, 1);
    writer.Put(0, 2);
    writer.Align();
    writer.Put(bytes.size(), 16);
    writer.Put(~bytes.size() & 0xFFFF, 16);
    writer.PutBytes(bytes);
}

// The fixed code of a literal/length symbol.
void PutFixedSymbol(CBitWriter& writer, unsigned symbol) {
    if (symbol < 144) {
        writer.PutCode(0x30 + symbol, 8);
    } else if (symbol < 256) {
        writer.PutCode(0x190 + symbol - 144, 9);
    } else if (symbol < 280) {
        writer.PutCode(symbol - 256, 7);
    } else {
        writer.PutCode(0xC0 + symbol - 280, 8);
    }
}

// The length symbol of 3, 258 or a length between that needs no extra bits
// (3 to 10), and the distance symbol with its extra bits of 1, 2, 3 or 32768.
unsigned LengthSymbol(unsigned length) {
    return length == 258 ? 285 : 254 + length;
}

std::pair<unsigned, unsigned> DistanceSymbol(unsigned distance) {
    return distance == 32768 ? std::make_pair(29u, 13u) : std::make_pair(distance - 1, 0u);
}

void PutFixedMatch(CBitWriter& writer, unsigned length, unsigned distance) {
    PutFixedSymbol(writer, LengthSymbol(length));
    const auto symbol = DistanceSymbol(distance);
    writer.PutCode(symbol.first, 5);
    writer.Put(distance == 32768 ? 8191 : 0, symbol.second);
}

std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lengths) {
    unsigned counts[16] = {};
    for (uint8_t length : lengths) {
        counts[length] += length > 0 ? 1 : 0;
    }
    uint32_t next[16] = {};
    for (unsigned bits = 1, code = 0; bits <= 15; ++bits) {
        code = (code + counts[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<uint32_t> codes(lengths.size());
    for (size_t s = 0; s < lengths.size(); ++s) {
        codes[s] = lengths[s] > 0 ? next[lengths[s]]++ : 0;
    }
    return codes;
}

// A dynamic block's code lengths: its literal/length and distance lengths
// (their counts are HLIT and HDIST), the symbols that give them (symbol and
// the value of its extra bits; by default every length as itself), and the
// code length code (by default complete: 0 to 12 in 4 bits, 13 to 18 in 5).
struct DynamicCodes {
    DynamicCodes(std::vector<uint8_t> litLengths, std::vector<uint8_t> distLengths)
        : lit(std::move(litLengths)), dist(std::move(distLengths)) {}

    std::vector<uint8_t> lit;
    std::vector<uint8_t> dist;
    std::vector<std::pair<unsigned, unsigned>> symbols;
    std::vector<uint8_t> codeLengthCode = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};
};

// Writes the block's header and returns the codes of its two alphabets.
std::pair<std::vector<uint32_t>, std::vector<uint32_t>> PutDynamicHeader(CBitWriter& writer, bool final,
                                                                         DynamicCodes codes) {
    static const unsigned kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    if (codes.symbols.empty()) {
        for (uint8_t length : codes.lit) {
            codes.symbols.emplace_back(length, 0);
        }
        for (uint8_t length : codes.dist) {
            codes.symbols.emplace_back(length, 0);
        }
    }
    writer.Put(final ? 1 : 0, 1);
    writer.Put(2, 2);
    writer.Put(codes.lit.size() - 257, 5);
    writer.Put(codes.dist.size() - 1, 5);
    writer.Put(19 - 4, 4);
    for (unsigned i = 0; i < 19; ++i) {
        writer.Put(codes.codeLengthCode[kOrder[i]], 3);
    }
    const std::vector<uint32_t> lengthCodes = CanonicalCodes(codes.codeLengthCode);
    for (const auto& symbol : codes.symbols) {
        writer.PutCode(lengthCodes[symbol.first], codes.codeLengthCode[symbol.first]);
        writer.Put(symbol.second, symbol.first == 16 ? 2 : symbol.first == 17 ? 3 : symbol.first == 18 ? 7 : 0);
    }
    return {CanonicalCodes(codes.lit), CanonicalCodes(codes.dist)};
}

// A complete literal/length code of 286 lengths: the fixed code's, where the
// missing 286 and 287 are made up for by 284 and 285 in 7 bits.
std::vector<uint8_t> CompleteLit() {
    std::vector<uint8_t> lit(286, 8);
    std::fill(lit.begin() + 144, lit.begin() + 256, 9);
    std::fill(lit.begin() + 256, lit.begin() + 280, 7);
    lit[284] = lit[285] = 7;
    return lit;
}

// A complete distance code of 30 lengths: 0 and 1 in 4 bits, the rest in 5.
std::vector<uint8_t> CompleteDist() {
    std::vector<uint8_t> dist(30, 5);
    dist[0] = dist[1] = 4;
    return dist;
}

// A dynamic block of the codes that writes "aab" as a literal, a match of
// 3 at distance 1 and a literal, then ends.
std::string DynamicAaab(const DynamicCodes& codes) {
    CBitWriter writer;
    const auto alphabet = PutDynamicHeader(writer, true, codes);
    const auto& lit = alphabet.first;
    writer.PutCode(lit['a'], codes.lit['a']);
    writer.PutCode(lit[257], codes.lit[257]);
    writer.PutCode(alphabet.second[0], codes.dist[0]);
    writer.PutCode(lit['b'], codes.lit['b']);
    writer.PutCode(lit[256], codes.lit[256]);
    return writer.Take();
}

TEST(ContentDecoderDeflateTest, BlockTypeThreeAndAStoredLengthWithoutItsComplementAreMalformed) {
    CBitWriter reserved;
    reserved.Put(1, 1);
    reserved.Put(3, 2);
    EXPECT_EQ(Decode(kDeflate, reserved.Take()).result, CContentDecoder::DECODE_MALFORMED);

    CBitWriter stored;
    PutStored(stored, true, "12345");
    std::string body = stored.Take();
    EXPECT_EQ(Decode(kDeflate, body).bytes, "12345");
    body[3] ^= 1; // NLEN
    EXPECT_EQ(Decode(kDeflate, body).result, CContentDecoder::DECODE_MALFORMED);

    // After a Huffman block the bit buffer has taken bytes ahead, which are
    // the stored block's first ones.
    CBitWriter mixed;
    mixed.Put(0, 1);
    mixed.Put(1, 2);
    PutFixedSymbol(mixed, 'x');
    PutFixedSymbol(mixed, 256);
    PutStored(mixed, true, "stored after fixed");
    const std::string mixedBody = mixed.Take();
    const Decoded decoded = Decode(kDeflate, mixedBody);
    EXPECT_EQ(decoded.result, CContentDecoder::DECODE_DONE);
    EXPECT_EQ(decoded.bytes, "xstored after fixed");
    ExpectSame(Decode(kDeflate, mixedBody, {1}), decoded, "one byte at a time");
}

TEST(ContentDecoderDeflateTest, CodeSetsThatAreNoPrefixCodeAreMalformed) {
    struct Case {
        const char* name;
        DynamicCodes codes;
        bool valid;
    };
    std::vector<Case> cases;
    cases.push_back({"complete codes", {CompleteLit(), CompleteDist()}, true});
    DynamicCodes over{CompleteLit(), CompleteDist()};
    over.lit['c'] = 7;
    cases.push_back({"over-subscribed literal/length code", over, false});
    DynamicCodes incomplete{CompleteLit(), CompleteDist()};
    incomplete.lit[260] = 8;
    cases.push_back({"incomplete literal/length code", incomplete, false});
    DynamicCodes noEnd{CompleteLit(), CompleteDist()};
    noEnd.lit[256] = 0;
    noEnd.lit[282] = noEnd.lit[283] = 7;
    cases.push_back({"no end-of-block code", noEnd, false});
    DynamicCodes overDist{CompleteLit(), CompleteDist()};
    overDist.dist[2] = 4;
    cases.push_back({"over-subscribed distance code", overDist, false});
    DynamicCodes twoDist{CompleteLit(), std::vector<uint8_t>(30, 0)};
    twoDist.dist[0] = 1;
    twoDist.dist[1] = 2;
    cases.push_back({"incomplete distance code of two codes", twoDist, false});
    DynamicCodes oneDist{CompleteLit(), std::vector<uint8_t>(30, 0)};
    oneDist.dist[0] = 1;
    cases.push_back({"a single distance code of one bit", oneDist, true});
    DynamicCodes oneLongDist = oneDist;
    oneLongDist.dist[0] = 2;
    cases.push_back({"a single distance code of two bits", oneLongDist, false});
    DynamicCodes lengthCode{CompleteLit(), CompleteDist()};
    lengthCode.codeLengthCode = std::vector<uint8_t>(19, 4);
    lengthCode.codeLengthCode[16] = lengthCode.codeLengthCode[17] = lengthCode.codeLengthCode[18] = 0;
    cases.push_back({"a complete code length code of 16 codes", lengthCode, true});
    DynamicCodes lengthIncomplete = lengthCode;
    lengthIncomplete.codeLengthCode[15] = 0;
    cases.push_back({"incomplete code length code", lengthIncomplete, false});
    DynamicCodes lengthOver = lengthCode;
    lengthOver.codeLengthCode[16] = 4;
    cases.push_back({"over-subscribed code length code", lengthOver, false});

    for (const Case& c : cases) {
        const Decoded decoded = Decode(kDeflate, DynamicAaab(c.codes));
        if (c.valid) {
            EXPECT_EQ(decoded.result, CContentDecoder::DECODE_DONE) << c.name;
            EXPECT_EQ(decoded.bytes, "aaaab") << c.name;
        } else {
            EXPECT_EQ(decoded.result, CContentDecoder::DECODE_MALFORMED) << c.name;
        }
    }

    // Only a distance code may be that sparse: a lone end-of-block code of
    // one bit is no literal/length code.
    std::vector<uint8_t> endOnly(257, 0);
    endOnly[256] = 1;
    CBitWriter writer;
    PutDynamicHeader(writer, true, {endOnly, CompleteDist()});
    writer.PutCode(0, 1);
    EXPECT_EQ(Decode(kDeflate, writer.Take()).result, CContentDecoder::DECODE_MALFORMED);
}

TEST(ContentDecoderDeflateTest, UnusedDistanceCodesAreMalformedOnlyWhereMet) {
    // A single distance code of one bit: its other one-bit code is unused.
    CBitWriter unused;
    DynamicCodes oneDist{CompleteLit(), std::vector<uint8_t>(30, 0)};
    oneDist.dist[0] = 1;
    const auto codes = PutDynamicHeader(unused, true, oneDist);
    unused.PutCode(codes.first['a'], 8);
    unused.PutCode(codes.first[257], 7);
    unused.PutCode(1, 1);
    EXPECT_EQ(Decode(kDeflate, unused.Take()).result, CContentDecoder::DECODE_MALFORMED);

    // No distance code at all: fine for literals, malformed at a length.
    for (bool match : {false, true}) {
        CBitWriter none;
        const auto lit = PutDynamicHeader(none, true, {CompleteLit(), {0}}).first;
        none.PutCode(lit['a'], 8);
        if (match) {
            none.PutCode(lit[257], 7);
            none.Put(0, 8);
        }
        none.PutCode(lit[256], 7);
        EXPECT_EQ(Decode(kDeflate, none.Take()).result,
                  match ? CContentDecoder::DECODE_MALFORMED : CContentDecoder::DECODE_DONE);
    }
}

TEST(ContentDecoderDeflateTest, SymbolsWithoutAMeaningAreMalformed) {
    // Literal/length codes 286 and 287 and distance codes 30 and 31 of a fixed block.
    for (unsigned symbol : {286u, 287u}) {
        CBitWriter fixed;
        fixed.Put(1, 1);
        fixed.Put(1, 2);
        PutFixedSymbol(fixed, 'a');
        PutFixedSymbol(fixed, symbol);
        PutFixedSymbol(fixed, 256);
        EXPECT_EQ(Decode(kDeflate, fixed.Take()).result, CContentDecoder::DECODE_MALFORMED) << symbol;
    }
    for (unsigned symbol : {0u, 30u, 31u}) {
        CBitWriter fixed;
        fixed.Put(1, 1);
        fixed.Put(1, 2);
        PutFixedSymbol(fixed, 'a');
        PutFixedSymbol(fixed, 257);
        fixed.PutCode(symbol, 5);
        PutFixedSymbol(fixed, 256);
        EXPECT_EQ(Decode(kDeflate, fixed.Take()).result,
                  symbol == 0 ? CContentDecoder::DECODE_DONE : CContentDecoder::DECODE_MALFORMED)
            << symbol;
    }
    // HDIST may count 31 codes, but code 30 means nothing where it is met.
    for (unsigned symbol : {0u, 30u}) {
        std::vector<uint8_t> dist(31, 5);
        dist[0] = 4;
        CBitWriter dynamic;
        const auto codes = PutDynamicHeader(dynamic, true, {CompleteLit(), dist});
        dynamic.PutCode(codes.first['a'], 8);
        dynamic.PutCode(codes.first[257], 7);
        dynamic.PutCode(codes.second[symbol], dist[symbol]);
        dynamic.PutCode(codes.first[256], 7);
        EXPECT_EQ(Decode(kDeflate, dynamic.Take()).result,
                  symbol == 0 ? CContentDecoder::DECODE_DONE : CContentDecoder::DECODE_MALFORMED)
            << symbol;
    }
    // HLIT of 287 codes.
    CBitWriter many;
    std::vector<uint8_t> lit = CompleteLit();
    lit.push_back(0);
    PutDynamicHeader(many, true, {lit, CompleteDist()});
    EXPECT_EQ(Decode(kDeflate, many.Take()).result, CContentDecoder::DECODE_MALFORMED);
}

// A literal/length code with zeros at its end: 0 and 256 in 9 bits, 1 to 255
// in 8, no length codes; and distance lengths that start with three zeros.
DynamicCodes ZerosAtTheSeam() {
    DynamicCodes codes{std::vector<uint8_t>(286, 0), std::vector<uint8_t>(30, 5)};
    std::fill(codes.lit.begin() + 1, codes.lit.begin() + 256, 8);
    codes.lit[0] = codes.lit[256] = 9;
    std::fill(codes.dist.begin(), codes.dist.begin() + 3, 0);
    std::fill(codes.dist.begin() + 3, codes.dist.begin() + 8, 4);
    return codes;
}

TEST(ContentDecoderDeflateTest, RepeatCodesStayWithinTheLengthsTheyAreFor) {
    const DynamicCodes seam = ZerosAtTheSeam();
    std::vector<std::pair<unsigned, unsigned>> head;
    for (unsigned s = 0; s <= 256; ++s) {
        head.emplace_back(seam.lit[s], 0);
    }
    std::vector<std::pair<unsigned, unsigned>> tail;
    for (unsigned s = 3; s < 30; ++s) {
        tail.emplace_back(seam.dist[s], 0);
    }
    struct Case {
        const char* name;
        std::vector<std::pair<unsigned, unsigned>> symbols;
        bool valid;
    };
    std::vector<Case> cases;
    // 29 literal/length zeros and the first three distance ones in one run of 32.
    std::vector<std::pair<unsigned, unsigned>> across = head;
    across.emplace_back(18, 32 - 11);
    across.insert(across.end(), tail.begin(), tail.end());
    cases.push_back({"a run of zeros from literal/length into distance lengths", across, true});
    std::vector<std::pair<unsigned, unsigned>> first = {{16, 0}};
    first.insert(first.end(), head.begin() + 1, head.end());
    cases.push_back({"a repeat with no length before it", first, false});
    std::vector<std::pair<unsigned, unsigned>> past = head;
    past.emplace_back(18, 127); // 138 zeros where 59 lengths are left
    cases.push_back({"a run past HLIT + HDIST", past, false});
    std::vector<std::pair<unsigned, unsigned>> exact = head;
    exact.emplace_back(18, 32 - 11);
    exact.insert(exact.end(), tail.begin(), tail.end() - 3);
    exact.emplace_back(16, 0); // the last three, all 5, as a repeat of the one before
    cases.push_back({"a repeat that ends on the last length", exact, true});
    std::vector<std::pair<unsigned, unsigned>> over = exact;
    over.back() = {16, 1};
    cases.push_back({"a repeat one past the last length", over, false});

    for (Case& c : cases) {
        DynamicCodes codes = seam;
        codes.symbols = c.symbols;
        CBitWriter writer;
        const auto lit = PutDynamicHeader(writer, true, codes).first;
        writer.PutCode(lit['z'], 8);
        writer.PutCode(lit[256], 9);
        const Decoded decoded = Decode(kDeflate, writer.Take());
        EXPECT_EQ(decoded.result, c.valid ? CContentDecoder::DECODE_DONE : CContentDecoder::DECODE_MALFORMED) << c.name;
        EXPECT_EQ(decoded.bytes, c.valid ? "z" : "") << c.name;
    }
}

TEST(ContentDecoderDeflateTest, CodesOfFifteenBitsDecodeThroughSubtables) {
    // a to m in 1 to 13 bits, end of block in 14, y and the length 3 in 15;
    // distances 1 and 2 in 15 bits, 3 in 14, and so on down to 1 bit.
    DynamicCodes codes{std::vector<uint8_t>(286, 0), std::vector<uint8_t>(30, 0)};
    for (unsigned i = 0; i < 13; ++i) {
        codes.lit['a' + i] = static_cast<uint8_t>(i + 1);
    }
    codes.lit[256] = 14;
    codes.lit['y'] = codes.lit[257] = 15;
    codes.dist[0] = codes.dist[1] = 15;
    for (unsigned s = 2; s < 16; ++s) {
        codes.dist[s] = static_cast<uint8_t>(16 - s);
    }
    CBitWriter writer;
    const auto alphabet = PutDynamicHeader(writer, true, codes);
    std::string expected;
    for (char c : std::string("abcdefghijklmy")) {
        writer.PutCode(alphabet.first[static_cast<unsigned char>(c)], codes.lit[static_cast<unsigned char>(c)]);
        expected += c;
    }
    for (unsigned distance = 1; distance <= 3; ++distance) {
        writer.PutCode(alphabet.first[257], 15);
        writer.PutCode(alphabet.second[distance - 1], codes.dist[distance - 1]);
        for (int i = 0; i < 3; ++i) {
            expected += expected[expected.size() - distance];
        }
    }
    writer.PutCode(alphabet.first[256], 14);
    const std::string body = writer.Take();
    const Decoded decoded = Decode(kDeflate, body);
    EXPECT_EQ(decoded.result, CContentDecoder::DECODE_DONE);
    EXPECT_EQ(decoded.bytes, expected);
    ExpectSame(Decode(kDeflate, body, {1}), decoded, "one byte at a time");
}

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245 + 12345;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

TEST(ContentDecoderDeflateTest, MatchesReachBackAsFarAsTheStreamAndNoFurther) {
    // A literal, then a distance of 2; then the same with a distance of 1.
    for (unsigned distance : {2u, 1u}) {
        CBitWriter writer;
        writer.Put(1, 1);
        writer.Put(1, 2);
        PutFixedSymbol(writer, 'a');
        PutFixedMatch(writer, 3, distance);
        PutFixedSymbol(writer, 256);
        const Decoded decoded = Decode(kDeflate, writer.Take());
        EXPECT_EQ(decoded.result, distance == 1 ? CContentDecoder::DECODE_DONE : CContentDecoder::DECODE_MALFORMED);
        EXPECT_EQ(decoded.bytes, distance == 1 ? "aaaa" : "");
    }

    // 32768 bytes stored, then matches of 258 at distance 32768 that wrap
    // around the window again and again.
    const std::string stored = Pattern(32768);
    CBitWriter writer;
    PutStored(writer, false, stored);
    writer.Put(1, 1);
    writer.Put(1, 2);
    constexpr int kMatches = 300;
    for (int i = 0; i < kMatches; ++i) {
        PutFixedMatch(writer, 258, 32768);
    }
    PutFixedSymbol(writer, 256);
    const std::string body = writer.Take();
    const Decoded decoded = Decode(kDeflate, body);
    EXPECT_EQ(decoded.result, CContentDecoder::DECODE_DONE);
    ASSERT_EQ(decoded.bytes.size(), 32768u + 258u * kMatches);
    size_t wrong = 0;
    for (size_t i = 0; i < decoded.bytes.size(); ++i) {
        wrong += decoded.bytes[i] != stored[i % 32768] ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u);
    ExpectSame(Decode(kDeflate, body, {1, 4095}), decoded, "in pieces");

    // One byte fewer before the first match.
    CBitWriter shorter;
    PutStored(shorter, false, stored.substr(1));
    shorter.Put(1, 1);
    shorter.Put(1, 2);
    PutFixedMatch(shorter, 258, 32768);
    PutFixedSymbol(shorter, 256);
    EXPECT_EQ(Decode(kDeflate, shorter.Take()).result, CContentDecoder::DECODE_MALFORMED);
}

// Copies of the full-flush segment, then an empty fixed final block: the
// segment's text that many times.
std::string Segments(size_t copies) {
    std::string body;
    for (size_t i = 0; i < copies; ++i) {
        body.append(content_vectors::kRawSegment, sizeof(content_vectors::kRawSegment) - 1);
    }
    return body + std::string("\x03\x00", 2);
}

std::string Repeated(size_t copies) {
    std::string text;
    for (size_t i = 0; i < copies; ++i) {
        text += content_vectors::kText;
    }
    return text;
}

TEST(ContentDecoderSinkTest, ARefusalEndsDecodingAtTheSameByteHoweverTheBodyArrives) {
    const std::string body = Segments(30);
    const std::string plain = Repeated(30);
    ASSERT_EQ(plain.size(), 90000u);
    for (size_t bound :
         {size_t{0}, size_t{1}, size_t{32767}, size_t{32768}, size_t{65536}, plain.size() - 1, plain.size()}) {
        const Decoded whole = Decode(kDeflate, body, {}, bound);
        const bool fits = bound >= plain.size();
        EXPECT_EQ(whole.result, fits ? CContentDecoder::DECODE_DONE : CContentDecoder::DECODE_REFUSED) << bound;
        // Taken 32 KiB at a time: what the sink kept is every piece before the refused one.
        EXPECT_EQ(whole.bytes, fits ? plain : plain.substr(0, bound / 32768 * 32768)) << bound;
        EXPECT_EQ(whole.calls.size(), fits ? 3u : bound / 32768 + 1) << bound;
        ExpectSame(Decode(kDeflate, body, {1}, bound), whole, "one byte at a time, bound " + std::to_string(bound));
        ExpectSame(Decode(kDeflate, body, {777, 0}, bound), whole, "pieces of 777, bound " + std::to_string(bound));
    }
}

// Counts and digests what it takes; checks that the window reaches it 32 KiB
// at a time.
class CDigestSink : public CContentDecoder::CSink {
public:
    bool Write(const unsigned char* data, size_t size) noexcept override {
        m_nUneven += m_nLastSize != 0 && m_nLastSize != 32768 ? 1 : 0;
        m_nLastSize = size;
        m_nBytes += size;
        if (m_pDigest != nullptr) {
            m_pDigest->Update(data, size);
        }
        return true;
    }

    CMD5Checksum* m_pDigest = nullptr;
    uint64_t m_nBytes = 0;
    size_t m_nLastSize = 0;
    size_t m_nUneven = 0; // calls of another size than 32768 before the last one
};

std::string GzipMember(const std::string& deflate, uint32_t crc, uint64_t size) {
    std::string member("\x1f\x8b\x08\0\0\0\0\0\0\xff", 10);
    member += deflate;
    for (uint32_t value : {crc, static_cast<uint32_t>(size)}) {
        for (int i = 0; i < 4; ++i) {
            member += static_cast<char>(value >> (8 * i));
        }
    }
    return member;
}

Result DecodeLarge(const std::string& body, CDigestSink& sink, const char* what) {
    CContentDecoder decoder(kGzip);
    Result result = CContentDecoder::DECODE_MORE;
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    // Pieces of 64 KiB, as a transfer's reads bring them.
    for (size_t at = 0; at < body.size(); at += 65536) {
        result = decoder.Feed(reinterpret_cast<const unsigned char*>(body.data()) + at,
                              std::min<size_t>(65536, body.size() - at), sink);
    }
    ::QueryPerformanceCounter(&end);
    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    std::printf("%s: %.1f MB in, %.1f MB out, %.3f s, %.0f MB/s out\n", what, body.size() / 1e6, sink.m_nBytes / 1e6,
                seconds, sink.m_nBytes / 1e6 / seconds);
    return result;
}

TEST(ContentDecoderLargeTest, MegabytesOfRepeatedSegmentsMatchTheirDigest) {
    const std::string body = GzipMember(Segments(content_vectors::kSegmentRepeats), content_vectors::kRepeatedCrc,
                                        content_vectors::kSegmentRepeats * 3000);
    CMD5Checksum digest;
    CDigestSink sink;
    sink.m_pDigest = &digest;
    EXPECT_EQ(DecodeLarge(body, sink, "repeated text"), CContentDecoder::DECODE_DONE);
    EXPECT_EQ(sink.m_nBytes, content_vectors::kSegmentRepeats * 3000);
    EXPECT_EQ(digest.Final(), content_vectors::kRepeatedMd5);
    EXPECT_EQ(sink.m_nUneven, 0u);
}

// ISIZE holds the size modulo 2^32; a member larger than 4 GiB must still
// check, and a wrong size still fail.
TEST(ContentDecoderLargeTest, AMemberPast4GiBChecksItsSizeModulo2To32) {
    CBitWriter writer;
    writer.Put(1, 1);
    writer.Put(1, 2);
    PutFixedSymbol(writer, 'a');
    for (uint32_t i = 0; i < content_vectors::kHugeMatches; ++i) {
        PutFixedMatch(writer, 258, 1);
    }
    PutFixedSymbol(writer, 256);
    const std::string deflate = writer.Take();
    const uint64_t size = 1 + 258ull * content_vectors::kHugeMatches;
    for (uint64_t isize : {size, size + 1}) {
        CDigestSink sink;
        EXPECT_EQ(DecodeLarge(GzipMember(deflate, content_vectors::kHugeCrc, isize), sink, "runs of a"),
                  isize == size ? CContentDecoder::DECODE_DONE : CContentDecoder::DECODE_MALFORMED);
        EXPECT_EQ(sink.m_nBytes, size);
    }
}

} // namespace
