#include "download/md5.h"

#include "download/file_digests.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <wincrypt.h>

namespace {

// An allocation failure on demand. The global operator new is replaced for
// this test program: on the thread g_failThread the allocation that brings
// g_allocationsLeft to 0 throws std::bad_alloc, as a full memory would; all
// others, and every other thread's, come from the process heap.
std::atomic<DWORD> g_failThread{0};
long g_allocationsLeft = 0; // g_failThread only
bool g_allocationFailed = false;

} // namespace

void* operator new(size_t size) {
    if (g_failThread.load() == GetCurrentThreadId() && --g_allocationsLeft == 0) {
        g_allocationFailed = true;
        throw std::bad_alloc();
    }
    void* block = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void operator delete(void* block) noexcept {
    if (block != nullptr) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

void operator delete(void* block, size_t) noexcept {
    operator delete(block);
}

namespace {

std::string Digest(const std::string& message) {
    CMD5Checksum checksum;
    checksum.Update(reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return checksum.Final();
}

// The platform's own MD5 (CryptoAPI), an implementation independent of ours.
class CPlatformMd5 {
public:
    CPlatformMd5() { CryptCreateHash(Provider(), CALG_MD5, 0, 0, &m_hash); }
    ~CPlatformMd5() {
        if (m_hash != 0) {
            CryptDestroyHash(m_hash);
        }
    }
    bool Valid() const { return m_hash != 0; }
    void Update(const std::string& bytes) {
        CryptHashData(m_hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0);
    }
    std::string Final() {
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

private:
    // Acquired once: under Wine each acquisition takes about 10 ms.
    static HCRYPTPROV Provider() {
        static HCRYPTPROV provider = [] {
            HCRYPTPROV acquired = 0;
            CryptAcquireContextW(&acquired, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT);
            return acquired;
        }();
        return provider;
    }

    HCRYPTHASH m_hash = 0;
};

std::string PlatformDigest(const std::string& bytes) {
    CPlatformMd5 md5;
    md5.Update(bytes);
    return md5.Final();
}

// Bytes that repeat with no power-of-two period, so a chunk read twice or
// skipped changes the digest.
std::string Pattern(size_t size, unsigned seed = 1) {
    std::string bytes(size, '\0');
    unsigned value = seed;
    for (size_t i = 0; i < size; ++i) {
        value = value * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(value >> 16);
    }
    return bytes;
}

TEST(Md5Test, Rfc1321TestSuite) {
    EXPECT_EQ(Digest(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Digest("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Digest("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Digest("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Digest("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Digest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Digest("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Test, PaddingEdges) {
    // One byte short of room for the length, exactly none, and around a whole block.
    EXPECT_EQ(Digest(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Digest(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Digest(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(Digest(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Digest(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");

    ASSERT_TRUE(CPlatformMd5().Valid());
    for (size_t size = 0; size <= 200; ++size) {
        const std::string bytes = Pattern(size, static_cast<unsigned>(size));
        EXPECT_EQ(Digest(bytes), PlatformDigest(bytes)) << size << " bytes";
    }
}

TEST(Md5Test, UpdatesInPiecesGiveTheSameDigest) {
    const std::string bytes = Pattern(5000);
    const std::string whole = Digest(bytes);
    EXPECT_EQ(whole, PlatformDigest(bytes));
    for (size_t piece : {1u, 7u, 55u, 63u, 64u, 65u, 1023u, 1024u, 1025u}) {
        CMD5Checksum checksum;
        for (size_t at = 0; at < bytes.size(); at += piece) {
            const size_t length = std::min(piece, bytes.size() - at);
            checksum.Update(reinterpret_cast<const unsigned char*>(bytes.data() + at), length);
        }
        EXPECT_EQ(checksum.Final(), whole) << "pieces of " << piece;
    }
}

TEST(Md5Test, FileDigestOfReadsThatStraddleChunks) {
    test::CTempFolder folder;
    // Around the 256 KB read chunk and its multiples, and sizes that are no
    // multiple of the 64-byte block.
    constexpr size_t kChunk = 256 * 1024;
    for (size_t size : {size_t{0}, size_t{1}, size_t{1025}, size_t{100000}, kChunk - 1, kChunk, kChunk + 1, kChunk + 63,
                        2 * kChunk - 64, 2 * kChunk, 3 * kChunk + 5}) {
        const std::wstring path = folder.File(L"chunk" + std::to_wstring(size) + L".bin");
        const std::string bytes = Pattern(size, static_cast<unsigned>(size) + 3);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        const std::string expected = PlatformDigest(bytes);
        EXPECT_EQ(FileDigest(path.c_str()), expected) << size << " bytes";
        // The narrow form reads the same file when the path is plain ASCII.
        const std::string narrow(path.begin(), path.end());
        EXPECT_EQ(FileDigest(narrow.c_str()), expected) << size << " bytes";
    }
}

TEST(Md5Test, NoDigestForWhatCannotBeRead) {
    test::CTempFolder folder;
    const std::wstring missing = folder.File(L"missing.bin");
    const std::string narrowMissing(missing.begin(), missing.end());
    const std::string narrowFolder(folder.Path().begin(), folder.Path().end());
    EXPECT_EQ(FileDigest(missing.c_str()), "");
    EXPECT_EQ(FileDigest(narrowMissing.c_str()), "");
    EXPECT_EQ(FileDigest(folder.Path().c_str()), "");
    EXPECT_EQ(FileDigest(narrowFolder.c_str()), "");
    EXPECT_EQ(FileDigest(L""), "");
    EXPECT_EQ(FileDigest(""), "");
    EXPECT_EQ(FileDigest(static_cast<const wchar_t*>(nullptr)), "");
    EXPECT_EQ(FileDigest(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(StreamDigest(nullptr), "");
}

TEST(Md5Test, WidePathOutsideTheAnsiCodePage) {
    test::CTempFolder folder;
    const std::wstring path = folder.File(L"\x6e38\x620f\x5305.bin"); // Chinese characters
    const std::string bytes = Pattern(3000);
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    EXPECT_EQ(FileDigest(path.c_str()), PlatformDigest(bytes));

    // The narrow form cannot name this file: the code page replaces the characters.
    char narrow[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow, sizeof(narrow), nullptr, nullptr);
    EXPECT_EQ(FileDigest(narrow), "");
}

TEST(Md5Test, LargeFileDigestedInConstantMemory) {
    // 320 MB of a pattern, hashed by the platform while it is written.
    test::CTempFolder folder;
    const std::wstring path = folder.File(L"large.bin");
    constexpr size_t kChunk = 1 << 20;
    constexpr int kChunks = 320;
    CPlatformMd5 expected;
    {
        FILE* file = _wfopen(path.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        std::string chunk = Pattern(kChunk);
        for (int i = 0; i < kChunks; ++i) {
            chunk[i % kChunk] = static_cast<char>(i); // no two chunks alike
            expected.Update(chunk);
            ASSERT_EQ(fwrite(chunk.data(), 1, chunk.size(), file), chunk.size());
        }
        ASSERT_EQ(fclose(file), 0);
    }

    // A watcher samples the process's private memory while the digest runs.
    PROCESS_MEMORY_COUNTERS counters = {};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    const SIZE_T before = counters.PagefileUsage;
    std::atomic<bool> done{false};
    SIZE_T peak = before;
    std::thread watcher([&] {
        while (!done) {
            PROCESS_MEMORY_COUNTERS c = {};
            GetProcessMemoryInfo(GetCurrentProcess(), &c, sizeof(c));
            peak = std::max(peak, c.PagefileUsage);
            Sleep(5);
        }
    });
    const std::string digest = FileDigest(path.c_str());
    done = true;
    watcher.join();

    EXPECT_EQ(digest, expected.Final());
    EXPECT_GT(before, 0u);
    EXPECT_LT(peak - before, static_cast<SIZE_T>(4 << 20)) << "private memory grew while digesting";
}

// Every heap of the process passes the platform's own walk of its blocks.
bool HeapsAreWhole() {
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    if (count == 0 || count > 64) {
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!HeapValidate(heaps[i], 0, nullptr)) {
            return false;
        }
    }
    return _heapchk() == _HEAPOK;
}

// What one thread digests: a large file with a buffer of the digest's own,
// a small and the large one with one buffer, and an open stream.
struct ThreadDigests {
    const std::wstring* large;
    const std::wstring* small;
    std::string own;
    std::string shared;
    std::string stream;
};

void DigestAll(ThreadDigests* d) {
    d->own = FileDigest(d->large->c_str());
    CDigestBuffer buffer;
    d->shared = FileDigest(d->small->c_str(), buffer) + FileDigest(d->large->c_str(), buffer);
    d->stream = StreamDigest(_wfopen(d->small->c_str(), L"rb"));
}

DWORD WINAPI DigestAllThread(LPVOID param) {
    DigestAll(static_cast<ThreadDigests*>(param));
    return 0;
}

// Threads that digest and then end, in every form a thread of the program
// takes: the runtime's (as FileDigests starts them) and the platform's (as
// the worker and the channel start theirs). CTest also runs this under
// Wine's heap checking, which reports a block freed twice or written after
// its end.
TEST(Md5ThreadTest, DigestsOnThreadsThatEndLeaveTheHeapWhole) {
    test::CTempFolder folder;
    const std::wstring large = folder.File(L"large.bin");
    const std::wstring small = folder.File(L"small.bin");
    const std::string largeBytes = Pattern(kDigestReadChunk + 1000, 5);
    const std::string smallBytes = Pattern(100, 6);
    ASSERT_TRUE(test::WriteFileBytes(large, largeBytes));
    ASSERT_TRUE(test::WriteFileBytes(small, smallBytes));
    const std::string expectedLarge = PlatformDigest(largeBytes);
    const std::string expectedSmall = PlatformDigest(smallBytes);

    constexpr int kThreads = 10;
    for (int round = 0; round < 3; ++round) {
        std::vector<ThreadDigests> results(kThreads, ThreadDigests{&large, &small, "", "", ""});
        std::vector<std::thread> runtimeThreads;
        std::vector<HANDLE> platformThreads;
        for (int i = 0; i < kThreads; ++i) {
            if (i % 2 == 0) {
                runtimeThreads.emplace_back(DigestAll, &results[i]);
                continue;
            }
            const HANDLE thread = CreateThread(nullptr, 0, DigestAllThread, &results[i], 0, nullptr);
            if (thread == nullptr) {
                ADD_FAILURE() << "no thread " << i;
                continue;
            }
            platformThreads.push_back(thread);
        }
        for (std::thread& thread : runtimeThreads) {
            thread.join();
        }
        for (HANDLE thread : platformThreads) {
            EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
            CloseHandle(thread);
        }
        for (const ThreadDigests& d : results) {
            EXPECT_EQ(d.own, expectedLarge) << "round " << round;
            EXPECT_EQ(d.shared, expectedSmall + expectedLarge) << "round " << round;
            EXPECT_EQ(d.stream, expectedSmall) << "round " << round;
        }
        ASSERT_TRUE(HeapsAreWhole()) << "round " << round;
    }
}

std::vector<std::string> DigestsOf(const std::vector<std::wstring>& paths) {
    std::vector<std::string> digests{"left over"};
    EXPECT_TRUE(FileDigests(paths, digests));
    return digests;
}

TEST(FileDigestsTest, EachFileGetsWhatFileDigestGivesInOrder) {
    test::CTempFolder folder;
    constexpr size_t kChunk = 256 * 1024;
    std::vector<std::wstring> paths;
    std::vector<std::string> expected;
    const auto add = [&](const std::wstring& name, size_t size) {
        const std::wstring path = folder.File(name);
        const std::string bytes = Pattern(size, static_cast<unsigned>(paths.size()) + 11);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        paths.push_back(path);
        expected.push_back(PlatformDigest(bytes));
    };
    add(L"empty.bin", 0);
    add(L"chunk.bin", kChunk);
    paths.push_back(folder.File(L"missing.bin"));
    expected.push_back("");
    add(L"large.bin", 12 * kChunk + 17); // more chunks than the readers hold at once
    paths.push_back(L"");
    expected.push_back("");
    paths.push_back(folder.Path()); // a folder cannot be read as a file
    expected.push_back("");
    add(L"small.bin", 3);
    paths.push_back(paths[1]); // the same file twice
    expected.push_back(expected[1]);

    EXPECT_EQ(DigestsOf(paths), expected);
    EXPECT_TRUE(DigestsOf({}).empty());
    EXPECT_EQ(DigestsOf({paths[3]}), std::vector<std::string>{expected[3]});
}

// The threads of this process, counted by the platform.
size_t ThreadCount() {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    size_t count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

TEST(FileDigestsTest, AnAllocationThatFailsAnywhereEndsWithEveryThreadJoinedAndNoFileUpToDate) {
    // Files that take several chunks each, so that the reader allocates
    // while the digesting threads hold chunks of earlier files.
    test::CTempFolder folder;
    std::vector<std::wstring> paths;
    std::vector<std::string> expected;
    for (size_t size : {3 * kDigestReadChunk + 5, size_t{100}, 2 * kDigestReadChunk, size_t{0}, size_t{70000}}) {
        const std::wstring path = folder.File(L"f" + std::to_wstring(paths.size()) + L".bin");
        const std::string bytes = Pattern(size, static_cast<unsigned>(size) + 9);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        paths.push_back(path);
        expected.push_back(PlatformDigest(bytes));
    }
    paths.push_back(folder.File(L"missing.bin"));
    expected.push_back("");
    // Counted after one whole run: the platform keeps a thread of its own
    // once the process has started threads.
    EXPECT_EQ(DigestsOf(paths), expected);
    const size_t threadsBefore = ThreadCount();
    ASSERT_GT(threadsBefore, 0u);

    // Each allocation of the caller's thread fails in turn, one per run,
    // until a run makes none that fails.
    long failingAt = 1;
    for (;; ++failingAt) {
        ASSERT_LT(failingAt, 5000) << "the runs never end";
        std::vector<std::string> digests{"left over"};
        g_allocationsLeft = failingAt;
        g_allocationFailed = false;
        g_failThread = GetCurrentThreadId();
        const bool made = FileDigests(paths, digests);
        g_failThread = 0;
        // Not SCOPED_TRACE: its first use on a thread starts a thread of
        // GoogleTest's own.
        const std::string run = "allocation " + std::to_string(failingAt) + " failed: ";
        EXPECT_LE(ThreadCount(), threadsBefore) << run << "a digesting thread outlived the call";
        if (!made) {
            // Only the results themselves come first.
            EXPECT_EQ(failingAt, 1) << run;
            EXPECT_TRUE(digests.empty()) << run;
        } else {
            ASSERT_EQ(digests.size(), expected.size()) << run;
            // A file may lose its digest, never get a wrong one.
            for (size_t i = 0; i < digests.size(); ++i) {
                EXPECT_TRUE(digests[i] == expected[i] || digests[i].empty())
                    << run << "file " << i << ": " << digests[i];
            }
        }
        if (!g_allocationFailed) {
            EXPECT_EQ(digests, expected) << run;
            break;
        }
    }
    // The reader's own allocations were among those that failed.
    EXPECT_GT(failingAt, 8);
    std::printf("%ld allocations of the caller's thread failed in turn\n", failingAt - 1);
}

TEST(FileDigestsTest, ManyFilesOfMixedSizesKeepTheirOwnDigests) {
    // Far more files than read-ahead chunks, so every file waits for chunks
    // that other threads give back, and small files overtake large ones.
    test::CTempFolder folder;
    std::vector<std::wstring> paths;
    std::vector<std::string> expected;
    for (unsigned i = 0; i < 120; ++i) {
        const size_t size = (i % 7 == 0) ? (i * 9973u) % (900 * 1024) : (i * 131u) % 5000;
        const std::wstring path = folder.File(L"f" + std::to_wstring(i) + L".bin");
        const std::string bytes = Pattern(size, i + 100);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        paths.push_back(path);
        expected.push_back(PlatformDigest(bytes));
    }
    for (int round = 0; round < 3; ++round) {
        const std::vector<std::string> digests = DigestsOf(paths);
        ASSERT_EQ(digests.size(), expected.size());
        for (size_t i = 0; i < digests.size(); ++i) {
            EXPECT_EQ(digests[i], expected[i]) << "file " << i << ", round " << round;
        }
    }
}

} // namespace
