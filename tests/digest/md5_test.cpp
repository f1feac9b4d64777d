#include "digest/md5.h"

#include "digest_test_support.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>

#include <windows.h>
#include <psapi.h>

namespace {

std::string Digest(const std::string& message) {
    CMD5Checksum checksum;
    checksum.Update(reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return checksum.Final();
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

    ASSERT_TRUE(test::CPlatformMd5().Valid());
    for (size_t size = 0; size <= 200; ++size) {
        const std::string bytes = test::Pattern(size, static_cast<unsigned>(size));
        EXPECT_EQ(Digest(bytes), test::PlatformDigest(bytes)) << size << " bytes";
    }
}

TEST(Md5Test, UpdatesInPiecesGiveTheSameDigest) {
    const std::string bytes = test::Pattern(5000);
    const std::string whole = Digest(bytes);
    EXPECT_EQ(whole, test::PlatformDigest(bytes));
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
        const std::string bytes = test::Pattern(size, static_cast<unsigned>(size) + 3);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        const std::string expected = test::PlatformDigest(bytes);
        EXPECT_EQ(FileDigest(path.c_str()), expected) << size << " bytes";
        // The narrow form reads the same file when the path is plain ASCII.
        const std::string narrow(path.begin(), path.end());
        EXPECT_EQ(FileDigest(narrow.c_str()), expected) << size << " bytes";
    }
}

// Counts the chunks it is told of and gives the digest up at a given one.
class CChunkCounter : public CDigestObserver {
public:
    explicit CChunkCounter(int giveUpAt) : m_nGiveUpAt(giveUpAt) {}
    bool OnChunk() noexcept override { return ++m_nChunks != m_nGiveUpAt; }
    int m_nChunks = 0;

private:
    int m_nGiveUpAt;
};

// An observer hears of every chunk read, the last short one too, and one
// that answers false ends the digest there with no digest at all: a file
// given up is never taken for a checked one.
TEST(Md5Test, AnObserverHearsEveryChunkAndCanGiveTheDigestUp) {
    test::CTempFolder folder;
    const std::wstring path = folder.File(L"chunks.bin");
    const std::string bytes = test::Pattern(3 * kDigestReadChunk + 10, 7);
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    CDigestBuffer buffer;

    CChunkCounter all(0);
    EXPECT_EQ(FileDigest(path.c_str(), buffer, &all), test::PlatformDigest(bytes));
    EXPECT_EQ(all.m_nChunks, 4);

    CChunkCounter second(2);
    EXPECT_EQ(FileDigest(path.c_str(), buffer, &second), "");
    EXPECT_EQ(second.m_nChunks, 2) << "read on after the observer gave up";

    // Giving up at the last chunk still gives no digest; the buffer serves
    // the next digest as before.
    CChunkCounter last(4);
    EXPECT_EQ(FileDigest(path.c_str(), buffer, &last), "");
    EXPECT_EQ(FileDigest(path.c_str(), buffer), test::PlatformDigest(bytes));
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
    const std::string bytes = test::Pattern(3000);
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    EXPECT_EQ(FileDigest(path.c_str()), test::PlatformDigest(bytes));

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
    test::CPlatformMd5 expected;
    {
        FILE* file = _wfopen(path.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        std::string chunk = test::Pattern(kChunk);
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
    const std::string largeBytes = test::Pattern(kDigestReadChunk + 1000, 5);
    const std::string smallBytes = test::Pattern(100, 6);
    ASSERT_TRUE(test::WriteFileBytes(large, largeBytes));
    ASSERT_TRUE(test::WriteFileBytes(small, smallBytes));
    const std::string expectedLarge = test::PlatformDigest(largeBytes);
    const std::string expectedSmall = test::PlatformDigest(smallBytes);

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

} // namespace
