#include "mainwnd/digest_thread.h"

#include "digest/md5.h"
#include "test_support/files.h"
#include "test_support/messages.h"
#include "test_support/temp_folder.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

const UINT kDigested = WM_APP + 7;

std::shared_ptr<DigestJob> Job(int taskId, const std::wstring& path) {
    auto job = std::make_shared<DigestJob>();
    job->nTaskId = taskId;
    job->strPath = path;
    return job;
}

std::string Bytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    unsigned value = seed;
    for (char& byte : bytes) {
        value = value * 1103515245u + 12345u;
        byte = static_cast<char>(value >> 16);
    }
    return bytes;
}

// A named pipe that stands for a file on a disk that answers only when the
// test says so: the digest thread opens it as its job's file and reads
// whatever the test writes, chunk by chunk.
class CSlowFile {
public:
    CSlowFile()
        : m_strPath(L"\\\\.\\pipe\\radevare_digest_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                    std::to_wstring(++s_nCount)),
          m_hPipe(::CreateNamedPipeW(m_strPath.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                     4 * kDigestReadChunk, 4 * kDigestReadChunk, 0, nullptr)) {}
    ~CSlowFile() {
        if (m_hPipe != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_hPipe);
        }
    }
    CSlowFile(const CSlowFile&) = delete;
    CSlowFile& operator=(const CSlowFile&) = delete;

    bool Valid() const { return m_hPipe != INVALID_HANDLE_VALUE; }
    const std::wstring& Path() const { return m_strPath; }
    // Waits for the reader to open it.
    bool Opened() { return ::ConnectNamedPipe(m_hPipe, nullptr) != FALSE || ::GetLastError() == ERROR_PIPE_CONNECTED; }
    // One chunk for the reader; false once the reader has closed its end.
    bool WriteChunk() {
        const std::string chunk(kDigestReadChunk, 'x');
        DWORD written = 0;
        return ::WriteFile(m_hPipe, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) != FALSE &&
               written == chunk.size();
    }

private:
    static int s_nCount;
    std::wstring m_strPath;
    HANDLE m_hPipe;
};

int CSlowFile::s_nCount = 0;

} // namespace

// Files are digested in the order they were handed over, one message each
// with the job's task id, and a file that cannot be read is done with no
// digest (so it never matches). Every chunk read shows as activity.
TEST(DigestThreadTest, DigestsInTheOrderGivenAndTellsOfEach) {
    test::CTempFolder folder;
    const std::wstring big = folder.File(L"big.bin");
    const std::wstring small = folder.File(L"small.bin");
    const std::wstring empty = folder.File(L"empty.bin");
    ASSERT_TRUE(test::WriteFileBytes(big, Bytes(8 * 1024 * 1024 + 5, 1)));
    ASSERT_TRUE(test::WriteFileBytes(small, Bytes(3, 2)));
    ASSERT_TRUE(test::WriteFileBytes(empty, std::string()));
    const std::vector<std::shared_ptr<DigestJob>> jobs = {Job(11, big), Job(12, folder.File(L"missing.bin")),
                                                          Job(13, small), Job(14, empty)};

    test::CMessageSink sink;
    CDigestThread thread;
    ASSERT_TRUE(thread.Start(sink.Window(), kDigested));
    for (const auto& job : jobs) {
        ASSERT_TRUE(thread.Add(job));
    }
    ASSERT_TRUE(sink.WaitFor(jobs.size(), 60000)) << sink.Messages().size() << " of " << jobs.size() << " told";
    sink.PumpFor(50);
    ASSERT_EQ(sink.Messages().size(), jobs.size()) << "a file was told of twice";
    for (size_t i = 0; i < jobs.size(); ++i) {
        EXPECT_EQ(sink.Messages()[i].uMsg, kDigested);
        EXPECT_EQ(sink.Messages()[i].wParam, 0u);
        EXPECT_EQ(sink.Messages()[i].lParam, jobs[i]->nTaskId) << "out of order at " << i;
        EXPECT_TRUE(jobs[i]->bDone);
    }
    EXPECT_EQ(jobs[0]->strDigest, FileDigest(big.c_str()));
    EXPECT_EQ(jobs[1]->strDigest, "");
    EXPECT_EQ(jobs[2]->strDigest, FileDigest(small.c_str()));
    EXPECT_EQ(jobs[3]->strDigest, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_GE(thread.GetActivityCount(), 33) << "8 MB is 33 chunks";
    EXPECT_TRUE(thread.StopAndWait(3000));
}

// A file on a disk that answers slowly shows as activity chunk by chunk,
// long before it is done; a stop gives it up at its next chunk, with the
// files behind it, and nothing is told or taken from then on.
TEST(DigestThreadTest, AStopGivesUpTheFileInProgressAndEveryOneBehindIt) {
    test::CTempFolder folder;
    CSlowFile slow;
    ASSERT_TRUE(slow.Valid());
    const std::wstring next = folder.File(L"next.bin");
    ASSERT_TRUE(test::WriteFileBytes(next, Bytes(1000, 3)));
    const auto reading = Job(1, slow.Path());
    const auto waiting = Job(2, next);

    test::CMessageSink sink;
    CDigestThread thread;
    ASSERT_TRUE(thread.Start(sink.Window(), kDigested));
    ASSERT_TRUE(thread.Add(reading));
    ASSERT_TRUE(thread.Add(waiting));
    ASSERT_TRUE(slow.Opened());
    for (int chunk = 1; chunk <= 3; ++chunk) {
        ASSERT_TRUE(slow.WriteChunk());
        EXPECT_TRUE(test::WaitUntil([&] { return thread.GetActivityCount() >= chunk; }, 10000)) << chunk;
    }
    thread.RequestStop();
    // The thread waits in its read of the fourth chunk; it ends once that comes.
    slow.WriteChunk();
    EXPECT_TRUE(thread.StopAndWait(3000));
    sink.PumpFor(50);
    EXPECT_TRUE(sink.Messages().empty());
    EXPECT_FALSE(reading->bDone);
    EXPECT_FALSE(waiting->bDone);
    EXPECT_FALSE(thread.Add(Job(3, next))) << "a stopped thread took a job";
}

// The object may go while its thread is held in a read that has not
// returned: the thread keeps what it shares alive, gives the file up when
// the read comes back, and closes it.
TEST(DigestThreadTest, TheObjectMayGoWhileItsThreadWaitsInARead) {
    CSlowFile slow;
    ASSERT_TRUE(slow.Valid());
    const auto reading = Job(1, slow.Path());
    test::CMessageSink sink;
    {
        CDigestThread thread;
        ASSERT_TRUE(thread.Start(sink.Window(), kDigested));
        ASSERT_TRUE(thread.Add(reading));
        ASSERT_TRUE(slow.Opened());
        ASSERT_TRUE(slow.WriteChunk());
        ASSERT_TRUE(test::WaitUntil([&] { return thread.GetActivityCount() >= 1; }, 10000));
    }
    // Writing on succeeds only while the thread still holds the file open.
    EXPECT_TRUE(test::WaitUntil([&] { return !slow.WriteChunk(); }, 10000)) << "the file was never closed";
    sink.PumpFor(50);
    EXPECT_TRUE(sink.Messages().empty());
    EXPECT_FALSE(reading->bDone);
}

// Without a thread nothing is taken, so the window digests on its own thread.
TEST(DigestThreadTest, WithoutAThreadNoJobIsTaken) {
    CDigestThread thread;
    const auto job = Job(1, L"C:\\nothing.bin");
    EXPECT_FALSE(thread.Add(job));
    EXPECT_EQ(thread.GetActivityCount(), 0);
    EXPECT_TRUE(thread.StopAndWait(0));
    DigestNow(*job);
    EXPECT_TRUE(job->bDone);
    EXPECT_EQ(job->strDigest, "");
}
