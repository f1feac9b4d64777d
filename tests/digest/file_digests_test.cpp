#include "digest/file_digests.h"

#include "digest/md5.h"
#include "digest_test_support.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <windows.h>
#include <tlhelp32.h>

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
        const std::string bytes = test::Pattern(size, static_cast<unsigned>(paths.size()) + 11);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        paths.push_back(path);
        expected.push_back(test::PlatformDigest(bytes));
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

// Counts the chunks it is shown and says stop from the stopAt-th on.
class CStoppingObserver final : public CDigestObserver {
public:
    explicit CStoppingObserver(int stopAt) : m_nStopAt(stopAt) {}
    bool OnChunk() noexcept override { return ++m_nChunks < m_nStopAt; }
    int Chunks() const { return m_nChunks; }

private:
    int m_nStopAt;
    int m_nChunks = 0;
};

// The observer sees every chunk read, and a stop it asks for ends the
// reading there: the file in progress and every one after it get no
// digest, and nothing more is read.
TEST(FileDigestsTest, AnObserverSeesEveryChunkAndAStopEndsTheReading) {
    test::CTempFolder folder;
    std::vector<std::wstring> paths;
    std::vector<std::string> expected;
    for (size_t i = 0; i < 4; ++i) {
        const std::string bytes = test::Pattern(3 * kDigestReadChunk, static_cast<unsigned>(i) + 5);
        paths.push_back(folder.File(L"f" + std::to_wstring(i) + L".bin"));
        ASSERT_TRUE(test::WriteFileBytes(paths.back(), bytes));
        expected.push_back(test::PlatformDigest(bytes));
    }
    CStoppingObserver watching(1000);
    std::vector<std::string> digests;
    ASSERT_TRUE(FileDigests(paths, digests, &watching));
    EXPECT_EQ(digests, expected);
    // Three full chunks and the empty read at each file's end.
    EXPECT_GE(watching.Chunks(), 12);

    // Stopped in the second file's chunks.
    CStoppingObserver stopping(5);
    ASSERT_TRUE(FileDigests(paths, digests, &stopping));
    ASSERT_EQ(digests.size(), paths.size());
    EXPECT_EQ(digests[0], expected[0]);
    EXPECT_EQ(digests[1], "");
    EXPECT_EQ(digests[2], "");
    EXPECT_EQ(digests[3], "");
    EXPECT_EQ(stopping.Chunks(), 5) << "reading went on after the stop";
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
        const std::string bytes = test::Pattern(size, static_cast<unsigned>(size) + 9);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        paths.push_back(path);
        expected.push_back(test::PlatformDigest(bytes));
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
        const std::string bytes = test::Pattern(size, i + 100);
        ASSERT_TRUE(test::WriteFileBytes(path, bytes));
        paths.push_back(path);
        expected.push_back(test::PlatformDigest(bytes));
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
