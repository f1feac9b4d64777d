#include "ipc/ipc_block.h"

#include "guarded_buffer.h"
#include "ipc/paras_helper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

const wchar_t kProgressReport[] = L"0000331DIPC_MainProcess_OnDownProcess00000004123400000256";

// A block as a sender lays it out: header, text, U+0000. Written here byte by
// byte rather than with the header struct, so the layout itself is checked.
std::vector<unsigned char> MakeBlock(const std::wstring& text, uint32_t wnd = 0x1234, uint32_t handle = 0x88) {
    const uint32_t cbPayload = static_cast<uint32_t>((text.size() + 1) * 2);
    std::vector<unsigned char> block(12 + cbPayload, 0);
    const uint32_t fields[3] = {wnd, handle, cbPayload};
    for (int f = 0; f < 3; ++f) {
        for (int b = 0; b < 4; ++b) {
            block[f * 4 + b] = static_cast<unsigned char>(fields[f] >> (8 * b));
        }
    }
    std::memcpy(block.data() + 12, text.c_str(), cbPayload);
    return block;
}

void SetPayloadLength(std::vector<unsigned char>& block, uint32_t cbPayload) {
    std::memcpy(block.data() + 8, &cbPayload, 4);
}

} // namespace

TEST(IpcBlockTest, NameHalvesPrintAsSignedLongs) {
    EXPECT_EQ(FormatBlockName(5, 0), L"VODIDEVE_IPC_FILE_5_0");
    EXPECT_EQ(FormatBlockName(0x80000000u, 0xFFFFFFFFu), L"VODIDEVE_IPC_FILE_-2147483648_-1");
    EXPECT_EQ(FormatBlockName(0x7FFFFFFFu, 0x80000001u), L"VODIDEVE_IPC_FILE_2147483647_-2147483647");
}

TEST(IpcBlockTest, ProgressReportTravelsIn128BytesWithLength116) {
    const std::vector<unsigned char> block = MakeBlock(kProgressReport);
    ASSERT_EQ(block.size(), 128u);
    CGuardedBuffer buffer(4096);
    const void* view = buffer.Place(block.data(), block.size());

    IPCBlockContents contents;
    ASSERT_TRUE(ReadBlock(view, block.size(), &contents));
    EXPECT_EQ(contents.cbPayload, 116u);
    EXPECT_EQ(contents.hSenderWnd, reinterpret_cast<HWND>(0x1234));
    EXPECT_EQ(contents.hSenderBlock, reinterpret_cast<HANDLE>(0x88));
    ASSERT_TRUE(contents.bPayloadFits);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(contents.pText), static_cast<const unsigned char*>(view) + 12);
    const size_t chars = PayloadChars(contents.pText, contents.cbPayload);
    EXPECT_EQ(chars, 57u);
    EXPECT_EQ(CParasHelper(contents.pText, chars).m_vecParams, (std::vector<std::wstring>{L"1234", L"56"}));
}

TEST(IpcBlockTest, LengthIsCheckedAgainstTheView) {
    CGuardedBuffer buffer(4096);
    std::vector<unsigned char> block = MakeBlock(kProgressReport);
    IPCBlockContents contents;

    EXPECT_FALSE(ReadBlock(buffer.Place(block.data(), 11), 11, &contents));
    EXPECT_FALSE(ReadBlock(nullptr, 4096, &contents));

    const uint32_t lengths[] = {117, 118, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFF4};
    for (uint32_t length : lengths) {
        SetPayloadLength(block, length);
        ASSERT_TRUE(ReadBlock(buffer.Place(block.data(), block.size()), block.size(), &contents));
        EXPECT_FALSE(contents.bPayloadFits) << length;
        EXPECT_EQ(contents.pText, nullptr);
        // The header is still known, so the sender can be told to let go.
        EXPECT_EQ(contents.hSenderWnd, reinterpret_cast<HWND>(0x1234));
    }
    SetPayloadLength(block, 0);
    ASSERT_TRUE(ReadBlock(buffer.Place(block.data(), block.size()), block.size(), &contents));
    EXPECT_TRUE(contents.bPayloadFits);
    EXPECT_EQ(PayloadChars(contents.pText, 0), 0u);
}

TEST(IpcBlockTest, TextEndsAtLWhetherOrNotAZeroStandsThere) {
    CGuardedBuffer buffer(4096);
    const std::wstring text = L"abcdef";
    // No U+0000 at all, the last character against the guard page.
    const auto* placed = static_cast<const wchar_t*>(buffer.Place(text.data(), 12));
    EXPECT_EQ(PayloadChars(placed, 12), 6u);
    EXPECT_EQ(PayloadChars(placed, 13), 6u); // half a character is no character
    EXPECT_EQ(PayloadChars(placed, 4), 2u);
    const std::wstring early(L"ab\0cd", 5);
    EXPECT_EQ(PayloadChars(static_cast<const wchar_t*>(buffer.Place(early.data(), 10)), 10), 2u);
    EXPECT_EQ(PayloadChars(nullptr, 10), 0u);
}

TEST(IpcBlockTest, MutatedBlocksAreNeverReadPastTheView) {
    constexpr int kCases = 20000;
    CGuardedBuffer buffer(8192);
    std::mt19937 rng(777);
    int delivered = 0;
    for (int i = 0; i < kCases; ++i) {
        std::wstring text(rng() % 200, L'A');
        for (wchar_t& c : text) {
            c = static_cast<wchar_t>(L'0' + rng() % 23);
        }
        if (rng() % 2 == 0) {
            text = CParasHelper(L"Name", static_cast<int>(rng() % 3), text.c_str(), L"", PARAS_END).Pack();
        }
        std::vector<unsigned char> block = MakeBlock(text);
        switch (rng() % 5) {
        case 0: // a length anywhere
            SetPayloadLength(block, rng() % 2 == 0 ? static_cast<uint32_t>(rng()) : rng() % 512);
            break;
        case 1: // the block cut short, header included
            block.resize(rng() % (block.size() + 1));
            break;
        case 2: // the terminating zero overwritten
            block.back() = 'x';
            block[block.size() - 2] = 'y';
            break;
        case 3: // random bytes anywhere
            for (int n = 0; n < 4; ++n) {
                block[rng() % block.size()] = static_cast<unsigned char>(rng());
            }
            break;
        default: // garbage after the block, inside the view
            block.resize(block.size() + rng() % 64, 'z');
            break;
        }
        if (block.size() % 2 != 0) {
            block.push_back('q'); // views start on a page: keep the text aligned
        }
        const auto* view = static_cast<const unsigned char*>(buffer.Place(block.data(), block.size()));
        IPCBlockContents contents;
        if (!ReadBlock(view, block.size(), &contents) || !contents.bPayloadFits) {
            continue;
        }
        const auto* end = reinterpret_cast<const unsigned char*>(contents.pText) + contents.cbPayload;
        ASSERT_LE(end, view + block.size());
        const size_t chars = PayloadChars(contents.pText, contents.cbPayload);
        ASSERT_LE(chars * 2, contents.cbPayload);
        if (!CParasHelper(contents.pText, chars).IsEmpty()) {
            ++delivered;
        }
    }
    EXPECT_GT(delivered, kCases / 10);
    std::printf("mutated blocks: %d of %d would be delivered\n", delivered, kCases);
}

namespace {

// One allocation of reserved pages, each committed on demand with a
// protection of the test's choosing: the kinds of memory a mapped view can
// consist of. One thread.
class CReservedPages {
public:
    explicit CReservedPages(size_t count, void* at = nullptr) {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        m_nPage = info.dwPageSize;
        m_nCount = count;
        m_pBase = static_cast<unsigned char*>(::VirtualAlloc(at, count * m_nPage, MEM_RESERVE, PAGE_NOACCESS));
    }
    ~CReservedPages() {
        if (m_pBase != nullptr) {
            ::VirtualFree(m_pBase, 0, MEM_RELEASE);
        }
    }
    CReservedPages(const CReservedPages&) = delete;
    CReservedPages& operator=(const CReservedPages&) = delete;

    unsigned char* Base() const { return m_pBase; }
    size_t Page() const { return m_nPage; }
    size_t Size() const { return m_nCount * m_nPage; }
    bool Commit(size_t first, size_t count, DWORD protect) {
        return ::VirtualAlloc(m_pBase + first * m_nPage, count * m_nPage, MEM_COMMIT, protect) != nullptr;
    }
    bool Protect(size_t first, size_t count, DWORD protect) {
        DWORD old = 0;
        return ::VirtualProtect(m_pBase + first * m_nPage, count * m_nPage, protect, &old) != FALSE;
    }
    DWORD ProtectionOf(size_t page) const {
        MEMORY_BASIC_INFORMATION info{};
        ::VirtualQuery(m_pBase + page * m_nPage, &info, sizeof(info));
        return info.Protect;
    }

private:
    unsigned char* m_pBase = nullptr;
    size_t m_nPage = 0;
    size_t m_nCount = 0;
};

} // namespace

TEST(IpcBlockTest, OnlyTheRunOfCommittedReadablePagesFromTheStartCanBeRead) {
    CReservedPages pages(8);
    ASSERT_NE(pages.Base(), nullptr);
    const size_t page = pages.Page();
    EXPECT_EQ(ReadableViewSize(nullptr), 0u);

    // Reserved only, as a section made with SEC_RESERVE maps when nothing
    // of it is committed: not even the header may be read.
    EXPECT_EQ(ReadableViewSize(pages.Base()), 0u);
    IPCBlockContents contents;
    EXPECT_FALSE(ReadBlock(pages.Base(), ReadableViewSize(pages.Base()), &contents));

    // Partly committed: the run ends at the first reserved page, even with
    // committed pages behind it; an address inside the run counts from there.
    ASSERT_TRUE(pages.Commit(0, 1, PAGE_READWRITE));
    EXPECT_EQ(ReadableViewSize(pages.Base()), page);
    ASSERT_TRUE(pages.Commit(1, 2, PAGE_READWRITE));
    ASSERT_TRUE(pages.Commit(4, 4, PAGE_READWRITE));
    EXPECT_EQ(ReadableViewSize(pages.Base()), 3 * page);
    EXPECT_EQ(ReadableViewSize(pages.Base() + 100), 3 * page - 100);
    // Committed but not readable stops it as well.
    ASSERT_TRUE(pages.Commit(3, 1, PAGE_NOACCESS));
    EXPECT_EQ(ReadableViewSize(pages.Base()), 3 * page);

    // Read-only and executable pages are readable; mixed protections make
    // several regions, and the run goes through all of them.
    ASSERT_TRUE(pages.Protect(1, 1, PAGE_READONLY));
    ASSERT_TRUE(pages.Protect(2, 1, PAGE_EXECUTE_READ));
    ASSERT_TRUE(pages.Protect(3, 1, PAGE_READWRITE));
    EXPECT_EQ(ReadableViewSize(pages.Base()), pages.Size());

    // A guard page ends the run, and the walk must not have touched it: a
    // touch would have cleared the guard.
    ASSERT_TRUE(pages.Protect(5, 1, PAGE_READWRITE | PAGE_GUARD));
    EXPECT_EQ(ReadableViewSize(pages.Base()), 5 * page);
    EXPECT_NE(pages.ProtectionOf(5) & PAGE_GUARD, 0u);
    ASSERT_TRUE(pages.Protect(0, 1, PAGE_READONLY | PAGE_GUARD));
    EXPECT_EQ(ReadableViewSize(pages.Base()), 0u);
    EXPECT_NE(pages.ProtectionOf(0) & PAGE_GUARD, 0u);
}

TEST(IpcBlockTest, TheReadableRunEndsWithItsAllocation) {
    // Two committed allocations side by side: the first one's bytes end at
    // its own end, whatever lies behind it.
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    // One allocation's granularity each, so the second can start right behind the first.
    const size_t pagesEach = info.dwAllocationGranularity / info.dwPageSize;
    void* spot = nullptr;
    {
        CReservedPages probe(2 * pagesEach);
        ASSERT_NE(probe.Base(), nullptr);
        spot = probe.Base();
    }
    CReservedPages first(pagesEach, spot);
    ASSERT_EQ(first.Base(), spot);
    CReservedPages second(pagesEach, first.Base() + first.Size());
    ASSERT_EQ(second.Base(), first.Base() + first.Size()) << "no room right behind the first allocation";
    ASSERT_TRUE(first.Commit(0, pagesEach, PAGE_READWRITE));
    ASSERT_TRUE(second.Commit(0, pagesEach, PAGE_READWRITE));
    EXPECT_EQ(ReadableViewSize(first.Base()), first.Size());
}

TEST(IpcBlockTest, TheReaderTakesOnlyReadableBytesAndCopiesTheTextOut) {
    CReservedPages pages(4);
    ASSERT_NE(pages.Base(), nullptr);
    const size_t page = pages.Page();
    IPCReceivedBlock received;
    received.bText = true;
    // Reserved only: refused, and nothing is known about the sender.
    EXPECT_FALSE(CopyBlock(pages.Base(), &received));
    EXPECT_FALSE(received.bText);
    EXPECT_EQ(received.hSenderWnd, nullptr);
    EXPECT_FALSE(CopyBlock(nullptr, &received));

    ASSERT_TRUE(pages.Commit(0, 1, PAGE_READWRITE));
    std::vector<unsigned char> block = MakeBlock(kProgressReport);
    std::memcpy(pages.Base(), block.data(), block.size());
    ASSERT_TRUE(CopyBlock(pages.Base(), &received));
    EXPECT_TRUE(received.bText);
    EXPECT_EQ(received.text, kProgressReport);
    EXPECT_EQ(received.hSenderWnd, reinterpret_cast<HWND>(0x1234));
    EXPECT_EQ(received.hSenderBlock, reinterpret_cast<HANDLE>(0x88));

    // L up to the end of the committed page, then one byte into the reserved
    // one: that payload is refused, its header still known (so the sender
    // can be told to let go).
    SetPayloadLength(block, static_cast<uint32_t>(page - 12));
    std::memcpy(pages.Base(), block.data(), 12);
    ASSERT_TRUE(CopyBlock(pages.Base(), &received));
    EXPECT_TRUE(received.bText);
    EXPECT_EQ(received.text, kProgressReport);
    SetPayloadLength(block, static_cast<uint32_t>(page - 11));
    std::memcpy(pages.Base(), block.data(), 12);
    ASSERT_TRUE(CopyBlock(pages.Base(), &received));
    EXPECT_FALSE(received.bText);
    EXPECT_TRUE(received.text.empty());
    EXPECT_EQ(received.hSenderWnd, reinterpret_cast<HWND>(0x1234));

    // Read-only but committed, as a view mapped for reading is: read.
    SetPayloadLength(block, 116);
    std::memcpy(pages.Base(), block.data(), 12);
    ASSERT_TRUE(pages.Protect(0, 1, PAGE_READONLY));
    ASSERT_TRUE(CopyBlock(pages.Base(), &received));
    EXPECT_EQ(received.text, kProgressReport);
    // Guarded or no access: refused untouched.
    ASSERT_TRUE(pages.Protect(0, 1, PAGE_READONLY | PAGE_GUARD));
    EXPECT_FALSE(CopyBlock(pages.Base(), &received));
    EXPECT_NE(pages.ProtectionOf(0) & PAGE_GUARD, 0u);
    ASSERT_TRUE(pages.Protect(0, 1, PAGE_NOACCESS));
    EXPECT_FALSE(CopyBlock(pages.Base(), &received));
}

// No block of the format has a payload longer than the longest packed text
// and its U+0000: a header that says more is not copied, however much of the
// view could be read, and the one that says exactly that much is.
TEST(IpcBlockTest, NothingBeyondTheLargestBlockTheFormatMakesIsCopied) {
    const size_t page = CReservedPages(1).Page();
    CReservedPages pages((kBlockHeaderSize + kMaxPayloadBytes + 2 * page) / page + 1);
    ASSERT_NE(pages.Base(), nullptr);
    ASSERT_TRUE(pages.Commit(0, pages.Size() / page, PAGE_READWRITE));
    std::vector<unsigned char> block = MakeBlock(kProgressReport);
    auto* text = reinterpret_cast<wchar_t*>(pages.Base() + 12);
    for (size_t i = 0; i < (pages.Size() - 12) / sizeof(wchar_t); ++i) {
        text[i] = L'x'; // no U+0000 anywhere
    }
    IPCReceivedBlock received;
    SetPayloadLength(block, static_cast<uint32_t>(kMaxPayloadBytes + 2));
    std::memcpy(pages.Base(), block.data(), 12);
    ASSERT_TRUE(CopyBlock(pages.Base(), &received));
    EXPECT_FALSE(received.bText) << "copied " << received.text.size() << " characters";
    EXPECT_EQ(received.hSenderWnd, reinterpret_cast<HWND>(0x1234)) << "the sender is still told";
    EXPECT_EQ(received.cbPayload, kMaxPayloadBytes + 2);

    SetPayloadLength(block, static_cast<uint32_t>(kMaxPayloadBytes));
    std::memcpy(pages.Base(), block.data(), 12);
    ASSERT_TRUE(CopyBlock(pages.Base(), &received));
    ASSERT_TRUE(received.bText);
    EXPECT_EQ(received.text.size(), kMaxPayloadBytes / sizeof(wchar_t));
}

// A page of the view that stops being readable while the block is copied
// (a file cut short under a file-backed view does that) fails the copy, or
// is read whole, and never ends the process: the bytes are read with a read
// that reports a fault instead of taking one.
TEST(IpcBlockTest, APageThatStopsBeingReadableMidCopyNeverFaults) {
    CReservedPages pages(4);
    ASSERT_NE(pages.Base(), nullptr);
    const size_t page = pages.Page();
    ASSERT_TRUE(pages.Commit(0, 4, PAGE_READWRITE));
    // Header, text and U+0000 fill the four pages exactly.
    const size_t chars = (4 * page - 14) / sizeof(wchar_t);
    const std::vector<unsigned char> block = MakeBlock(std::wstring(chars, L'y'));
    ASSERT_EQ(block.size(), 4 * page);
    std::memcpy(pages.Base(), block.data(), block.size());

    std::atomic<bool> done{false};
    std::thread flipper([&] {
        while (!done) {
            pages.Protect(2, 1, PAGE_NOACCESS);
            pages.Protect(2, 1, PAGE_READONLY);
        }
    });
    int whole = 0;
    int refused = 0;
    for (int i = 0; i < 3000; ++i) {
        IPCReceivedBlock received;
        if (!CopyBlock(pages.Base(), &received) || !received.bText) {
            ++refused;
        } else {
            EXPECT_EQ(received.text.size(), chars);
            ++whole;
        }
    }
    done = true;
    flipper.join();
    RecordProperty("whole", whole);
    RecordProperty("refused", refused);
}
