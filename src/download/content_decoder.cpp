#include "download/content_decoder.h"

#include <cstring>

#include <windows.h>

// The bit buffer takes eight input bytes at a time as one word, lowest byte
// first, as the format orders its bits.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the bit buffer reads its input as little-endian words");

namespace {

// The farthest back a distance reaches. A power of two, so that a position
// in the window wraps with a mask.
constexpr size_t kWindowSize = 32768;

// A decoding table answers "what do the next bits mean" with one look-up of
// its root bits, and one more in a subtable for the few codes longer than
// those. Ten root bits hold every literal/length code of a fixed block and
// most of a dynamic block's; eight hold most distance codes.
constexpr unsigned kLitRoot = 10;
constexpr unsigned kDistRoot = 8;
constexpr unsigned kCodeLengthRoot = 7; // code length codes are at most 7 bits: no subtables
// The most entries a table can need: its root entries, plus a subtable for
// each root slot holding longer codes, of 2^(longest - root) entries. In a
// complete code a slot whose longest code is root + m holds at least m + 1
// codes, so 286 literal/length codes fill at most 1480 subtable entries and
// 32 distance codes at most 386 (the largest sum of 2^m over the slots that
// the codes can pay for).
constexpr unsigned kLitTableSize = (1u << kLitRoot) + 1480;
constexpr unsigned kDistTableSize = (1u << kDistRoot) + 386;

constexpr unsigned kMaxLitCodes = 286; // HLIT's largest: codes 286 and 287 have no meaning
constexpr unsigned kMaxDistCodes = 32; // HDIST's largest; codes 30 and 31 have no meaning
constexpr unsigned kCodeLengthCodes = 19;

// A table entry: bits 0-4 the length of the code (what the entry consumes),
// 5-7 its kind, 8-12 the extra bits that follow the code (for a link: the
// subtable's index bits), 16-31 the value (a literal byte, a base length or
// distance, a code length symbol, a subtable's offset).
enum Kind : unsigned { kLiteral, kLength, kDistance, kEnd, kLink, kInvalid };

constexpr uint32_t MakeEntry(unsigned kind, unsigned extra, unsigned value) {
    return kind << 5 | extra << 8 | value << 16;
}
constexpr unsigned CodeBits(uint32_t entry) {
    return entry & 31;
}
constexpr unsigned KindOf(uint32_t entry) {
    return (entry >> 5) & 7;
}
constexpr unsigned Extra(uint32_t entry) {
    return (entry >> 8) & 31;
}
constexpr unsigned Value(uint32_t entry) {
    return entry >> 16;
}
constexpr uint64_t LowBits(uint64_t bits, unsigned count) {
    return bits & ((uint64_t{1} << count) - 1);
}

// What each symbol means, without its code's length, which the block's code
// lengths give.
struct SymbolEntries {
    uint32_t lit[288];
    uint32_t dist[32];
    uint32_t codeLength[kCodeLengthCodes];
};

constexpr SymbolEntries MakeSymbolEntries() {
    const unsigned lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    const unsigned lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    const unsigned distBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                   33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                   1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    SymbolEntries symbols{};
    for (unsigned s = 0; s < 256; ++s) {
        symbols.lit[s] = MakeEntry(kLiteral, 0, s);
    }
    symbols.lit[256] = MakeEntry(kEnd, 0, 0);
    for (unsigned s = 0; s < 29; ++s) {
        symbols.lit[257 + s] = MakeEntry(kLength, lengthExtra[s], lengthBase[s]);
    }
    symbols.lit[286] = symbols.lit[287] = MakeEntry(kInvalid, 0, 0);
    for (unsigned s = 0; s < 30; ++s) {
        symbols.dist[s] = MakeEntry(kDistance, s < 2 ? 0 : s / 2 - 1, distBase[s]);
    }
    symbols.dist[30] = symbols.dist[31] = MakeEntry(kInvalid, 0, 0);
    for (unsigned s = 0; s < kCodeLengthCodes; ++s) {
        symbols.codeLength[s] = MakeEntry(kLiteral, 0, s);
    }
    return symbols;
}

constexpr SymbolEntries kSymbols = MakeSymbolEntries();

// The order in which a dynamic block gives the code length code's lengths.
constexpr uint8_t kCodeLengthOrder[kCodeLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

unsigned Reverse(unsigned code, unsigned bits) {
    unsigned reversed = 0;
    for (unsigned i = 0; i < bits; ++i) {
        reversed = reversed << 1 | (code & 1);
        code >>= 1;
    }
    return reversed;
}

// Fills table from the code lengths of symbols (0: no code), canonical
// codes as the format assigns them. The codes arrive lowest bit first,
// while the format writes each code highest bit first, so a code's entry
// sits at its bit-reversed index, repeated for every value of the bits
// after it. False for a set of lengths that no prefix code has (more codes
// than fit: over-subscribed), and for one that leaves codes unused
// (incomplete) unless sparse is allowed: a distance code may be a single
// code of one bit or no code at all. Unused codes then decode as invalid.
bool BuildTable(const uint8_t* lengths, unsigned symbols, const uint32_t* entries, unsigned root, uint32_t* table,
                unsigned capacity, bool sparse) {
    unsigned counts[16] = {};
    for (unsigned s = 0; s < symbols; ++s) {
        ++counts[lengths[s]];
    }
    int left = 1;
    for (unsigned bits = 1; bits <= 15; ++bits) {
        left = 2 * left - static_cast<int>(counts[bits]);
        if (left < 0) {
            return false;
        }
    }
    const unsigned used = symbols - counts[0];
    if (left > 0 && !(sparse && (used == 0 || (used == 1 && counts[1] == 1)))) {
        return false;
    }

    const unsigned rootSize = 1u << root;
    const uint32_t invalid = MakeEntry(kInvalid, 0, 0) | 1;
    for (unsigned i = 0; i < rootSize; ++i) {
        table[i] = invalid;
    }
    unsigned next[16] = {};
    unsigned code = 0;
    counts[0] = 0;
    for (unsigned bits = 1; bits <= 15; ++bits) {
        code = (code + counts[bits - 1]) << 1;
        next[bits] = code;
    }
    uint16_t reversed[288];
    for (unsigned s = 0; s < symbols; ++s) {
        const unsigned bits = lengths[s];
        if (bits == 0) {
            continue;
        }
        reversed[s] = static_cast<uint16_t>(Reverse(next[bits]++, bits));
        if (bits <= root) {
            const uint32_t entry = entries[s] | bits;
            for (unsigned i = reversed[s]; i < rootSize; i += 1u << bits) {
                table[i] = entry;
            }
        } else {
            // Marks the slot with the longest code after it; a prefix code
            // never gives a shorter code the same slot.
            uint32_t& slot = table[reversed[s] & (rootSize - 1)];
            if (KindOf(slot) != kLink || Extra(slot) < bits - root) {
                slot = MakeEntry(kLink, bits - root, 0);
            }
        }
    }
    unsigned offset = rootSize;
    for (unsigned i = 0; i < rootSize; ++i) {
        if (KindOf(table[i]) != kLink) {
            continue;
        }
        const unsigned size = 1u << Extra(table[i]);
        if (size > capacity - offset) {
            return false;
        }
        table[i] = MakeEntry(kLink, Extra(table[i]), offset);
        for (unsigned j = 0; j < size; ++j) {
            table[offset + j] = invalid;
        }
        offset += size;
    }
    for (unsigned s = 0; s < symbols; ++s) {
        const unsigned bits = lengths[s];
        if (bits <= root) {
            continue;
        }
        const uint32_t link = table[reversed[s] & (rootSize - 1)];
        const uint32_t entry = entries[s] | bits;
        for (unsigned i = reversed[s] >> root; i < (1u << Extra(link)); i += 1u << (bits - root)) {
            table[Value(link) + i] = entry;
        }
    }
    return true;
}

// CRC-32 of gzip, eight bytes per step: table k gives the CRC of a byte
// followed by k zero bytes, so the eight bytes' parts combine with XOR.
struct CrcTables {
    uint32_t table[8][256];
};

constexpr CrcTables MakeCrcTables() {
    CrcTables crc{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) != 0 ? (value >> 1) ^ 0xEDB88320u : value >> 1;
        }
        crc.table[0][i] = value;
    }
    for (int k = 1; k < 8; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t previous = crc.table[k - 1][i];
            crc.table[k][i] = (previous >> 8) ^ crc.table[0][previous & 0xFF];
        }
    }
    return crc;
}

constexpr CrcTables kCrc = MakeCrcTables();

uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size) {
    const auto& t = kCrc.table;
    crc = ~crc;
    for (; size >= 8; data += 8, size -= 8) {
        uint32_t low;
        uint32_t high;
        std::memcpy(&low, data, 4);
        std::memcpy(&high, data + 4, 4);
        low ^= crc;
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; size > 0; ++data, --size) {
        crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

// Adler-32 of zlib. 5552 bytes is the most for which the sums cannot
// overflow 32 bits before they are reduced.
uint32_t Adler32(uint32_t adler, const unsigned char* data, size_t size) {
    constexpr uint32_t kBase = 65521;
    uint32_t a = adler & 0xFFFF;
    uint32_t b = adler >> 16;
    while (size > 0) {
        size_t run = size < 5552 ? size : 5552;
        size -= run;
        for (; run > 0; --run) {
            a += *data++;
            b += a;
        }
        a %= kBase;
        b %= kBase;
    }
    return b << 16 | a;
}

// Copies a match whose source, distance bytes back, lies wholly before out
// in the window. Where the two overlap (distance < size), the bytes repeat
// with the period of the distance, as the format means.
inline void CopyBack(unsigned char* out, size_t distance, size_t size) {
    const unsigned char* from = out - distance;
    if (distance >= 8) {
        for (; size >= 8; size -= 8, out += 8, from += 8) {
            std::memcpy(out, from, 8);
        }
        for (; size > 0; --size) {
            *out++ = *from++;
        }
    } else if (distance == 1) {
        std::memset(out, *from, size);
    } else {
        for (size_t i = 0; i < size; ++i) {
            out[i] = from[i];
        }
    }
}

uint32_t ReadLe32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The gzip member's flags.
constexpr unsigned kFlagHeaderCrc = 0x02;
constexpr unsigned kFlagExtra = 0x04;
constexpr unsigned kFlagName = 0x08;
constexpr unsigned kFlagComment = 0x10;
constexpr unsigned kFlagsReserved = 0xE0;

} // namespace

enum CContentDecoder::State : uint8_t {
    kGzipHeader, // the member's ten fixed bytes
    kGzipExtraLength,
    kGzipExtra,
    kGzipName,
    kGzipComment,
    kGzipHeaderCrc,
    kZlibHeader, // a zlib header, or the first bytes of raw deflate
    kBlockHeader,
    kStoredLengths,
    kStoredCopy,
    kTableCounts,
    kCodeLengthLengths,
    kCodeLengths,
    kCodes,
    kTrailer,
    kDone,
    kMalformed,
    kRefused,
    kNoMemory,
};

enum CContentDecoder::Step : uint8_t { kStepNeedInput, kStepBlockEnd, kStepMalformed, kStepRefused };

struct CContentDecoder::CTables {
    uint32_t lit[kLitTableSize];
    uint32_t dist[kDistTableSize];
    uint32_t codeLength[1u << kCodeLengthRoot];
    uint32_t fixedLit[1u << kLitRoot];
    uint32_t fixedDist[1u << kDistRoot];
    uint8_t lengths[kMaxLitCodes + kMaxDistCodes];
    uint8_t codeLengthLengths[kCodeLengthCodes];
};

CContentDecoder::CContentDecoder(Format format) noexcept : m_state(kNoMemory) {
    // The window ends where a page that is only reserved begins, and another
    // such page lies before it: a write or read past either end of the
    // window faults at once instead of damaging other memory. The tables
    // follow the second guard.
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t windowSpan = (kWindowSize + page - 1) / page * page;
    const size_t tablesSpan = (sizeof(CTables) + page - 1) / page * page;
    auto* base = static_cast<unsigned char*>(
        ::VirtualAlloc(nullptr, page + windowSpan + page + tablesSpan, MEM_RESERVE, PAGE_NOACCESS));
    if (base == nullptr || ::VirtualAlloc(base + page, windowSpan, MEM_COMMIT, PAGE_READWRITE) == nullptr ||
        ::VirtualAlloc(base + page + windowSpan + page, tablesSpan, MEM_COMMIT, PAGE_READWRITE) == nullptr) {
        if (base != nullptr) {
            ::VirtualFree(base, 0, MEM_RELEASE);
        }
        return;
    }
    m_pMemory = base;
    m_pWindow = base + page + windowSpan - kWindowSize;
    m_pTables = reinterpret_cast<CTables*>(base + page + windowSpan + page);

    uint8_t lengths[288];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    BuildTable(lengths, 288, kSymbols.lit, kLitRoot, m_pTables->fixedLit, 1u << kLitRoot, false);
    std::memset(lengths, 5, 32);
    BuildTable(lengths, 32, kSymbols.dist, kDistRoot, m_pTables->fixedDist, 1u << kDistRoot, false);
    Begin(format);
}

CContentDecoder::~CContentDecoder() {
    if (m_pMemory != nullptr) {
        ::VirtualFree(m_pMemory, 0, MEM_RELEASE);
    }
}

bool CContentDecoder::Ready() const noexcept {
    return m_pMemory != nullptr;
}

void CContentDecoder::Reset(Format format) noexcept {
    if (m_pMemory != nullptr) {
        Begin(format);
    }
}

// Every field of the stream's state, as a body's first byte finds it. The
// window keeps the last body's bytes, but a distance never reaches past
// the bytes of its own stream.
void CContentDecoder::Begin(Format format) noexcept {
    m_format = format;
    m_state = kZlibHeader;
    m_nBitBuffer = 0;
    m_nBits = 0;
    m_nPos = 0;
    m_nFlushed = 0;
    m_nOutput = 0;
    m_nCheck = 0;
    m_nFlags = 0;
    m_nCount = 0;
    m_bChecked = false;
    m_bFinalBlock = false;
    m_nStoredLeft = 0;
    if (format == FORMAT_GZIP) {
        StartMember();
    }
}

bool CContentDecoder::Complete() const noexcept {
    return m_state == kDone;
}

CContentDecoder::Result CContentDecoder::Feed(const unsigned char* data, size_t size, CSink& sink) noexcept {
    m_pIn = data;
    m_pInEnd = data + size;
    m_pSink = &sink;
    Run();
    m_pIn = m_pInEnd = nullptr;
    m_pSink = nullptr;
    switch (m_state) {
    case kDone:
        return DECODE_DONE;
    case kMalformed:
        return DECODE_MALFORMED;
    case kRefused:
        return DECODE_REFUSED;
    case kNoMemory:
        return DECODE_NO_MEMORY;
    default:
        return DECODE_MORE;
    }
}

bool CContentDecoder::PullByte() noexcept {
    if (m_pIn == m_pInEnd) {
        return false;
    }
    m_nBitBuffer |= static_cast<uint64_t>(*m_pIn++) << m_nBits;
    m_nBits += 8;
    return true;
}

bool CContentDecoder::Need(unsigned bits) noexcept {
    while (m_nBits < bits) {
        if (!PullByte()) {
            return false;
        }
    }
    return true;
}

void CContentDecoder::Drop(unsigned bits) noexcept {
    m_nBitBuffer >>= bits;
    m_nBits -= bits;
}

void CContentDecoder::StartMember() noexcept {
    m_state = kGzipHeader;
    m_nCount = 0;
    m_nFlags = 0;
    m_nHeaderCrc = 0;
    m_nCheck = 0;
    m_nOutput = 0;
}

void CContentDecoder::HeaderByte(unsigned byte) noexcept {
    const unsigned char value = static_cast<unsigned char>(byte);
    m_nHeaderCrc = Crc32(m_nHeaderCrc, &value, 1);
}

void CContentDecoder::NextGzipField() noexcept {
    m_nCount = 0;
    m_nFieldSize = 0;
    if ((m_nFlags & kFlagExtra) != 0) {
        m_state = kGzipExtraLength;
    } else if ((m_nFlags & kFlagName) != 0) {
        m_state = kGzipName;
    } else if ((m_nFlags & kFlagComment) != 0) {
        m_state = kGzipComment;
    } else if ((m_nFlags & kFlagHeaderCrc) != 0) {
        m_state = kGzipHeaderCrc;
    } else {
        m_state = kBlockHeader;
    }
}

void CContentDecoder::Run() noexcept {
    for (;;) {
        switch (m_state) {
        case kGzipHeader: {
            if (!Need(8)) {
                return;
            }
            const unsigned byte = m_nBitBuffer & 0xFF;
            Drop(8);
            HeaderByte(byte);
            const unsigned at = m_nCount++;
            if ((at == 0 && byte != 0x1F) || (at == 1 && byte != 0x8B) || (at == 2 && byte != 8) ||
                (at == 3 && (byte & kFlagsReserved) != 0)) {
                m_state = kMalformed;
            } else if (at == 3) {
                m_nFlags = byte;
            } else if (at == 9) {
                NextGzipField();
            }
            break;
        }
        case kGzipExtraLength:
        case kGzipHeaderCrc: {
            if (!Need(8)) {
                return;
            }
            const unsigned byte = m_nBitBuffer & 0xFF;
            Drop(8);
            m_nFieldSize |= byte << (8 * m_nCount++);
            if (m_state == kGzipExtraLength) {
                HeaderByte(byte);
                if (m_nCount == 2) {
                    m_nCount = 0;
                    m_state = kGzipExtra;
                }
            } else if (m_nCount == 2) {
                m_nFlags &= ~kFlagHeaderCrc;
                if (m_nFieldSize != (m_nHeaderCrc & 0xFFFF)) {
                    m_state = kMalformed;
                } else {
                    NextGzipField();
                }
            }
            break;
        }
        case kGzipExtra:
            for (; m_nCount < m_nFieldSize; ++m_nCount) {
                if (!Need(8)) {
                    return;
                }
                HeaderByte(m_nBitBuffer & 0xFF);
                Drop(8);
            }
            m_nFlags &= ~kFlagExtra;
            NextGzipField();
            break;
        case kGzipName:
        case kGzipComment: {
            if (!Need(8)) {
                return;
            }
            const unsigned byte = m_nBitBuffer & 0xFF;
            Drop(8);
            HeaderByte(byte);
            if (byte == 0) {
                m_nFlags &= m_state == kGzipName ? ~kFlagName : ~kFlagComment;
                NextGzipField();
            }
            break;
        }
        case kZlibHeader: {
            // A zlib header names deflate with a window of at most 32 KiB
            // and makes a multiple of 31. Anything else is the first bytes
            // of raw deflate, which some servers send as "deflate"; a first
            // byte that cannot start a header says so at once.
            if (!Need(8)) {
                return;
            }
            const unsigned cmf = m_nBitBuffer & 0xFF;
            if ((cmf & 0x0F) == 8 && (cmf >> 4) <= 7) {
                if (!Need(16)) {
                    return;
                }
                const unsigned flg = (m_nBitBuffer >> 8) & 0xFF;
                if ((cmf << 8 | flg) % 31 == 0) {
                    if ((flg & 0x20) != 0) {
                        // A preset dictionary that an HTTP body cannot name.
                        m_state = kMalformed;
                        break;
                    }
                    Drop(16);
                    m_bChecked = true;
                    m_nCheck = 1;
                }
            }
            m_state = kBlockHeader;
            break;
        }
        case kBlockHeader: {
            if (!Need(3)) {
                return;
            }
            m_bFinalBlock = (m_nBitBuffer & 1) != 0;
            const unsigned type = (m_nBitBuffer >> 1) & 3;
            Drop(3);
            if (type == 0) {
                Drop(m_nBits % 8);
                m_state = kStoredLengths;
            } else if (type == 1) {
                m_pLitTable = m_pTables->fixedLit;
                m_pDistTable = m_pTables->fixedDist;
                m_state = kCodes;
            } else if (type == 2) {
                m_state = kTableCounts;
            } else {
                m_state = kMalformed;
            }
            break;
        }
        case kStoredLengths: {
            if (!Need(32)) {
                return;
            }
            const unsigned length = m_nBitBuffer & 0xFFFF;
            const unsigned check = (m_nBitBuffer >> 16) & 0xFFFF;
            Drop(32);
            if (length != (~check & 0xFFFF)) {
                m_state = kMalformed;
            } else {
                m_nStoredLeft = length;
                m_state = kStoredCopy;
            }
            break;
        }
        case kStoredCopy:
            CopyStored();
            if (m_state == kStoredCopy) {
                return;
            }
            break;
        case kTableCounts: {
            if (!Need(14)) {
                return;
            }
            m_nLitCodes = 257 + (m_nBitBuffer & 31);
            m_nDistCodes = 1 + ((m_nBitBuffer >> 5) & 31);
            m_nLengthCodes = 4 + ((m_nBitBuffer >> 10) & 15);
            Drop(14);
            if (m_nLitCodes > kMaxLitCodes) {
                m_state = kMalformed;
                break;
            }
            std::memset(m_pTables->codeLengthLengths, 0, sizeof(m_pTables->codeLengthLengths));
            m_nCount = 0;
            m_state = kCodeLengthLengths;
            break;
        }
        case kCodeLengthLengths:
            for (; m_nCount < m_nLengthCodes; ++m_nCount) {
                if (!Need(3)) {
                    return;
                }
                m_pTables->codeLengthLengths[kCodeLengthOrder[m_nCount]] = m_nBitBuffer & 7;
                Drop(3);
            }
            m_nCount = 0;
            m_state = BuildTable(m_pTables->codeLengthLengths, kCodeLengthCodes, kSymbols.codeLength, kCodeLengthRoot,
                                 m_pTables->codeLength, 1u << kCodeLengthRoot, false)
                          ? kCodeLengths
                          : kMalformed;
            break;
        case kCodeLengths:
            if (!ReadCodeLengths()) {
                return;
            }
            break;
        case kCodes:
            switch (DecodeCodes()) {
            case kStepNeedInput:
                return;
            case kStepBlockEnd:
                EndBlock();
                break;
            case kStepRefused:
                m_state = kRefused;
                break;
            default:
                m_state = kMalformed;
                break;
            }
            break;
        case kTrailer: {
            const unsigned size = m_format == FORMAT_GZIP ? 8 : 4;
            for (; m_nCount < size; ++m_nCount) {
                if (!Need(8)) {
                    return;
                }
                m_trailer[m_nCount] = m_nBitBuffer & 0xFF;
                Drop(8);
            }
            CheckTrailer();
            break;
        }
        case kDone:
            if (m_nBits == 0 && m_pIn == m_pInEnd) {
                return;
            }
            if (m_format == FORMAT_GZIP) {
                StartMember();
            } else {
                m_state = kMalformed;
            }
            break;
        default:
            return;
        }
    }
}

// False while it waits for input; otherwise the state says how it ended.
bool CContentDecoder::ReadCodeLengths() noexcept {
    uint8_t* const lengths = m_pTables->lengths;
    const unsigned total = m_nLitCodes + m_nDistCodes;
    while (m_nCount < total) {
        // The code length code is complete, so every entry is a symbol.
        const uint32_t entry = m_pTables->codeLength[m_nBitBuffer & ((1u << kCodeLengthRoot) - 1)];
        const unsigned bits = CodeBits(entry);
        const unsigned symbol = Value(entry);
        const unsigned extra = symbol < 16 ? 0 : symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
        if (bits + extra > m_nBits) {
            if (!PullByte()) {
                return false;
            }
            continue;
        }
        if (symbol < 16) {
            lengths[m_nCount++] = static_cast<uint8_t>(symbol);
            Drop(bits);
            continue;
        }
        const unsigned more = static_cast<unsigned>(LowBits(m_nBitBuffer >> bits, extra));
        Drop(bits + extra);
        unsigned value = 0;
        unsigned repeat = symbol == 18 ? 11 + more : 3 + more;
        if (symbol == 16) {
            if (m_nCount == 0) {
                m_state = kMalformed;
                return true;
            }
            value = lengths[m_nCount - 1];
        }
        if (repeat > total - m_nCount) {
            m_state = kMalformed;
            return true;
        }
        std::memset(lengths + m_nCount, static_cast<int>(value), repeat);
        m_nCount += repeat;
    }
    // A block with no end-of-block code could never end.
    if (lengths[256] == 0 ||
        !BuildTable(lengths, m_nLitCodes, kSymbols.lit, kLitRoot, m_pTables->lit, kLitTableSize, false) ||
        !BuildTable(lengths + m_nLitCodes, m_nDistCodes, kSymbols.dist, kDistRoot, m_pTables->dist, kDistTableSize,
                    true)) {
        m_state = kMalformed;
        return true;
    }
    m_pLitTable = m_pTables->lit;
    m_pDistTable = m_pTables->dist;
    m_state = kCodes;
    return true;
}

void CContentDecoder::CopyStored() noexcept {
    while (m_nStoredLeft > 0) {
        if (m_nBits >= 8) {
            // Whole bytes the bit buffer took ahead of the block's data.
            m_pWindow[m_nPos++] = static_cast<unsigned char>(m_nBitBuffer);
            Drop(8);
            --m_nStoredLeft;
            ++m_nOutput;
        } else if (m_pIn < m_pInEnd) {
            size_t size = m_nStoredLeft;
            if (size > static_cast<size_t>(m_pInEnd - m_pIn)) {
                size = static_cast<size_t>(m_pInEnd - m_pIn);
            }
            if (size > kWindowSize - m_nPos) {
                size = kWindowSize - m_nPos;
            }
            std::memcpy(m_pWindow + m_nPos, m_pIn, size);
            m_pIn += size;
            m_nPos += size;
            m_nStoredLeft -= static_cast<unsigned>(size);
            m_nOutput += size;
        } else {
            return;
        }
        if (m_nPos == kWindowSize) {
            if (!Flush(kWindowSize)) {
                m_state = kRefused;
                return;
            }
            m_nPos = 0;
            m_nFlushed = 0;
        }
    }
    EndBlock();
}

// The loop every literal and match of a Huffman block goes through, on
// local copies of the state. Each turn first tops the bit buffer up to at
// least 56 bits when eight input bytes remain (one word, whatever whole
// bytes fit), which holds the longest literal/length code with its extra
// bits and the longest distance code with its extra bits (48 bits). Near
// the end of a piece it takes byte by byte, to 56 bits as well, and a
// symbol whose bits are not all there yet waits, unconsumed, for the next
// piece. Either way the buffer never holds more than 63 bits, so every
// shift by its count stays below the word's width.
CContentDecoder::Step CContentDecoder::DecodeCodes() noexcept {
    unsigned char* const window = m_pWindow;
    const uint32_t* const lit = m_pLitTable;
    const uint32_t* const dist = m_pDistTable;
    const unsigned char* in = m_pIn;
    const unsigned char* const end = m_pInEnd;
    uint64_t bits = m_nBitBuffer;
    unsigned count = m_nBits;
    size_t pos = m_nPos;
    uint64_t output = m_nOutput;
    Step step;
    for (;;) {
        if (end - in >= 8) {
            // The bits above count end up holding the low bits of the byte
            // at in, which is not consumed: the next top-up ORs the same
            // bits there again. They are cleared before the loop returns.
            uint64_t word;
            std::memcpy(&word, in, 8);
            bits |= word << count;
            const unsigned take = (63 - count) >> 3;
            in += take;
            count += 8 * take;
        } else {
            for (; count < 56 && in < end; ++in, count += 8) {
                bits |= static_cast<uint64_t>(*in) << count;
            }
        }

        uint32_t entry = lit[bits & ((1u << kLitRoot) - 1)];
        if (KindOf(entry) == kLink) {
            entry = lit[Value(entry) + LowBits(bits >> kLitRoot, Extra(entry))];
        }
        // A top-up that left fewer than 56 bits took all the piece had, so
        // a code still short of bits goes on in the next piece.
        const unsigned codeBits = CodeBits(entry);
        if (codeBits > count) {
            step = kStepNeedInput;
            break;
        }
        const unsigned kind = KindOf(entry);
        if (kind == kLiteral) {
            bits >>= codeBits;
            count -= codeBits;
            window[pos++] = static_cast<unsigned char>(Value(entry));
            ++output;
            if (pos == kWindowSize) {
                if (!Flush(kWindowSize)) {
                    step = kStepRefused;
                    break;
                }
                pos = 0;
                m_nFlushed = 0;
            }
            continue;
        }
        if (kind == kLength) {
            const unsigned lengthBits = codeBits + Extra(entry);
            uint32_t distEntry = dist[LowBits(bits >> lengthBits, kDistRoot)];
            if (KindOf(distEntry) == kLink) {
                distEntry = dist[Value(distEntry) + LowBits(bits >> (lengthBits + kDistRoot), Extra(distEntry))];
            }
            const unsigned distBits = lengthBits + CodeBits(distEntry);
            const unsigned allBits = distBits + Extra(distEntry);
            if (allBits > count) {
                step = kStepNeedInput;
                break;
            }
            if (KindOf(distEntry) != kDistance) {
                step = kStepMalformed;
                break;
            }
            const size_t length = Value(entry) + LowBits(bits >> codeBits, Extra(entry));
            const size_t distance = Value(distEntry) + LowBits(bits >> distBits, Extra(distEntry));
            bits >>= allBits;
            count -= allBits;
            // Not further back than this stream's own bytes.
            if (distance > output) {
                step = kStepMalformed;
                break;
            }
            output += length;
            if (distance <= pos && length < kWindowSize - pos) {
                CopyBack(window + pos, distance, length);
                pos += length;
            } else if (!CopyMatch(pos, distance, length)) {
                step = kStepRefused;
                break;
            }
            continue;
        }
        if (kind == kEnd) {
            bits >>= codeBits;
            count -= codeBits;
            step = kStepBlockEnd;
            break;
        }
        step = kStepMalformed;
        break;
    }
    m_pIn = in;
    m_nBitBuffer = LowBits(bits, count);
    m_nBits = count;
    m_nPos = pos;
    m_nOutput = output;
    return step;
}

// A match that wraps around the window's end, in its source or its
// destination: it goes in pieces, and the window is handed to the sink
// each time it fills. False when the sink refused.
bool CContentDecoder::CopyMatch(size_t& pos, size_t distance, size_t length) noexcept {
    while (length > 0) {
        const size_t from = (pos - distance) & (kWindowSize - 1);
        size_t size = length;
        if (size > kWindowSize - pos) {
            size = kWindowSize - pos;
        }
        if (size > kWindowSize - from) {
            size = kWindowSize - from;
        }
        if (from < pos) {
            CopyBack(m_pWindow + pos, distance, size);
        } else {
            // The source is the window's previous round, at or after the
            // destination: copied in order, each byte is read before the
            // copy reaches it.
            std::memmove(m_pWindow + pos, m_pWindow + from, size);
        }
        pos += size;
        length -= size;
        if (pos == kWindowSize) {
            if (!Flush(kWindowSize)) {
                return false;
            }
            pos = 0;
            m_nFlushed = 0;
        }
    }
    return true;
}

void CContentDecoder::EndBlock() noexcept {
    if (!m_bFinalBlock) {
        m_state = kBlockHeader;
        return;
    }
    if (!Flush(m_nPos)) {
        m_state = kRefused;
        return;
    }
    // The stream ends on a whole byte; what follows starts on the next one.
    Drop(m_nBits % 8);
    m_nCount = 0;
    m_state = m_format == FORMAT_GZIP || m_bChecked ? kTrailer : kDone;
}

void CContentDecoder::CheckTrailer() noexcept {
    bool holds;
    if (m_format == FORMAT_GZIP) {
        // ISIZE is the member's size modulo 2^32.
        holds = ReadLe32(m_trailer) == m_nCheck && ReadLe32(m_trailer + 4) == static_cast<uint32_t>(m_nOutput);
    } else {
        const uint32_t adler = static_cast<uint32_t>(m_trailer[0]) << 24 | static_cast<uint32_t>(m_trailer[1]) << 16 |
                               static_cast<uint32_t>(m_trailer[2]) << 8 | m_trailer[3];
        holds = adler == m_nCheck;
    }
    m_state = holds ? kDone : kMalformed;
}

bool CContentDecoder::Flush(size_t end) noexcept {
    if (end == m_nFlushed) {
        return true;
    }
    const unsigned char* data = m_pWindow + m_nFlushed;
    const size_t size = end - m_nFlushed;
    m_nFlushed = end;
    if (m_format == FORMAT_GZIP) {
        m_nCheck = Crc32(m_nCheck, data, size);
    } else if (m_bChecked) {
        m_nCheck = Adler32(m_nCheck, data, size);
    }
    return m_pSink->Write(data, size);
}
