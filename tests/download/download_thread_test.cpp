#include "download/download_thread.h"

#include "base/messages.h"
#include "base/unique_handle.h"
#include "digest/md5.h"
#include "download/resume_record.h"
#include "download_test_support.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <windows.h>
#include <wininet.h>

namespace {

const WPARAM kFailed = static_cast<WPARAM>(-1);

// Bounds of the waits below; generous, they only keep a broken build from hanging.
constexpr DWORD kMessageWaitMs = 20000;

// The worker with short waits between attempts and no jitter, so that a
// retrying task reaches its last attempt in reasonable time and its waits
// can be told from the clock.
class CQuickRetryDownloadThread : public CDownloadThread {
public:
    explicit CQuickRetryDownloadThread(DWORD firstWaitMs) {
        m_retryRules.dwFirstWaitMs = firstWaitMs;
        m_retryRules.nJitterPercent = 0;
    }
};

// A file task for path on the test server, the way the program's producers
// make one, reported to hNotifyWnd.
DownloadTask ServerTask(const std::wstring& path, const std::wstring& savePath, HWND hNotifyWnd,
                        UINT msg = WM_FILE_DONE) {
    DownloadTask task;
    task.strRequestUrl = task.strUrl = test::ServerUrl(path);
    task.strSavePath = savePath;
    task.uNotifyMsg = msg;
    task.hNotifyWnd = hNotifyWnd;
    return task;
}

class DownloadThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(test::ServerUrl(L"").empty()) << "RADEVARE_TEST_SERVER is not set";
        ASSERT_NE(m_sink.Window(), nullptr);
        m_worker = std::make_unique<CDownloadThread>();
    }

    void TearDown() override {
        if (m_worker) {
            EXPECT_TRUE(m_worker->StopAndWait());
        }
    }

    // Queues one task the way the program's producers do.
    int Queue(const std::wstring& path, const std::wstring& savePath, UINT msg = WM_FILE_DONE, BOOL retry = FALSE,
              CDownloadThread* worker = nullptr) {
        DownloadTask task = ServerTask(path, savePath, m_sink.Window(), msg);
        task.bRetry = retry;
        (worker != nullptr ? worker : m_worker.get())->AddTask(task);
        return task.nTaskId;
    }

    void StartAndSignal(CDownloadThread* worker = nullptr) {
        worker = worker != nullptr ? worker : m_worker.get();
        ASSERT_EQ(worker->Start(FALSE), THREAD_STATE_RUNNING);
        SetEvent(worker->m_hTaskEvent.get());
    }

    // The files (not folders) directly in folder.
    static int FilesIn(const std::wstring& folder) {
        WIN32_FIND_DATAW found;
        const base::unique_find find(FindFirstFileW((folder + L"\\*").c_str(), &found));
        int files = 0;
        if (find) {
            do {
                files += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
            } while (FindNextFileW(find.get(), &found));
        }
        return files;
    }

    DownloadTask Result(int id) const {
        DownloadTask task;
        m_worker->GetTaskResult(id, task);
        return task;
    }

    // Starts worker on one download of path to savePath, reported to sink,
    // and returns once the server has the request.
    static void StartOneTransfer(CDownloadThread& worker, test::CMessageSink& sink, const std::wstring& path,
                                 const std::wstring& savePath) {
        DownloadTask task = ServerTask(path, savePath, sink.Window());
        worker.AddTask(task);
        ASSERT_EQ(worker.Start(FALSE), THREAD_STATE_RUNNING);
        SetEvent(worker.m_hTaskEvent.get());
        ASSERT_TRUE(test::WaitUntil([&] { return test::ServerRequestCount(path) >= 1; }, kMessageWaitMs));
    }

    DWORD ExitCode() const {
        DWORD code = STILL_ACTIVE;
        GetExitCodeThread(m_worker->GetThreadHandle(), &code);
        return code;
    }

    test::CMessageSink m_sink;
    test::CTempFolder m_folder;
    std::unique_ptr<CDownloadThread> m_worker;
};

TEST_F(DownloadThreadTest, TaskIdsCountFromZeroAndReachTheCallersRecord) {
    DownloadTask first;
    first.nTaskId = 77; // whatever the producer left there is overwritten
    m_worker->AddTask(first);
    EXPECT_EQ(first.nTaskId, 0);
    for (int expected = 1; expected < 5; ++expected) {
        DownloadTask task;
        m_worker->AddTask(task);
        EXPECT_EQ(task.nTaskId, expected);
    }

    DownloadTask none;
    none.strFileName = L"untouched";
    m_worker->GetTaskResult(0, none);
    m_worker->GetTaskResult(12345, none);
    EXPECT_EQ(none.strFileName, L"untouched");
    EXPECT_TRUE(none.strUrl.empty());
}

TEST_F(DownloadThreadTest, OneSignalDrainsTheQueueInOrderAndStoresEachResultBeforeItsMessage) {
    const std::vector<size_t> sizes = {1000, 70000, 1};
    std::vector<std::wstring> targets;
    for (size_t i = 0; i < sizes.size(); ++i) {
        targets.push_back(m_folder.File(L"file" + std::to_wstring(i) + L".bin"));
        EXPECT_EQ(
            Queue(L"/x/size=" + std::to_wstring(sizes[i]) + L"/order" + std::to_wstring(i) + L".bin", targets.back()),
            static_cast<int>(i));
    }
    // Each handler finds its task's result when its message arrives.
    std::vector<DownloadTask> seenInHandler;
    m_sink.OnMessage = [&](const test::ReceivedMessage& message) {
        seenInHandler.push_back(Result(static_cast<int>(message.lParam)));
    };
    StartAndSignal();

    ASSERT_TRUE(m_sink.WaitFor(3, kMessageWaitMs));
    for (size_t i = 0; i < sizes.size(); ++i) {
        const test::ReceivedMessage& message = m_sink.Messages()[i];
        EXPECT_EQ(message.uMsg, static_cast<UINT>(WM_FILE_DONE));
        EXPECT_EQ(message.wParam, 0u);
        EXPECT_EQ(message.lParam, static_cast<LPARAM>(i));
        EXPECT_EQ(seenInHandler[i].nTaskId, static_cast<int>(i));
        // The download lies in its partial file until its owner puts it in place.
        EXPECT_EQ(seenInHandler[i].strUrl, PartialPathOf(targets[i]));
        EXPECT_EQ(seenInHandler[i].strRequestUrl,
                  test::ServerUrl(L"/x/size=" + std::to_wstring(sizes[i]) + L"/order" + std::to_wstring(i) + L".bin"));
        EXPECT_EQ(test::ReadFileBytes(PartialPathOf(targets[i])), test::GeneratedBody(sizes[i]));
        EXPECT_FALSE(test::FileExists(targets[i]));
    }
}

TEST_F(DownloadThreadTest, TasksQueuedWhileTheWorkerRunsAreTakenWithoutAnotherSignal) {
    Queue(L"/x/size=5000/rate=20000/first.bin", m_folder.File(L"first.bin"));
    StartAndSignal();
    ASSERT_TRUE(test::WaitUntil([] { return test::ServerRequestCount(L"/x/size=5000/rate=20000/first.bin") > 0; },
                                kMessageWaitMs));
    Queue(L"/x/size=10/second.bin", m_folder.File(L"second.bin"));
    // No SetEvent: the worker drains the queue before it waits again.
    ASSERT_TRUE(m_sink.WaitFor(2, kMessageWaitMs));
    EXPECT_EQ(m_sink.Messages()[1].lParam, 1);
    EXPECT_EQ(m_sink.Messages()[1].wParam, 0u);
}

TEST_F(DownloadThreadTest, EveryKindOfFailedDownloadGivesMinusOneAndNoResult) {
    struct Case {
        const wchar_t* what;
        std::wstring url;
        std::wstring target;
    };
    const std::vector<Case> cases = {
        {L"404", test::ServerUrl(L"/x/status=404/f404.bin"), m_folder.File(L"f404.bin")},
        {L"500", test::ServerUrl(L"/x/status=500/f500.bin"), m_folder.File(L"f500.bin")},
        {L"body cut short", test::ServerUrl(L"/x/size=100000/cut=40000/cut.bin"), m_folder.File(L"cut.bin")},
        {L"target folder missing", test::ServerUrl(L"/x/size=100/nofolder.bin"),
         m_folder.File(L"missing\\nofolder.bin")},
        {L"closed without an answer", test::ServerUrl(L"/x/close/closed.bin"), m_folder.File(L"closed.bin")},
        {L"connection refused", L"http://127.0.0.1:1/refused.bin", m_folder.File(L"refused.bin")},
        {L"404 into the cache", test::ServerUrl(L"/x/status=404/cache404.bin"), L""},
        {L"cut short into the cache", test::ServerUrl(L"/x/size=5000/cut=100/cachecut.bin"), L""},
        // Nothing but web addresses is ever fetched: not a local file, not a share.
        {L"file address", L"file:///" + m_folder.File(L"local.bin"), m_folder.File(L"fromfile.bin")},
        {L"share", L"\\\\127.0.0.1\\share\\unc.bin", m_folder.File(L"unc.bin")},
    };
    test::WriteFileBytes(m_folder.File(L"local.bin"), "a local file");
    for (const Case& c : cases) {
        DownloadTask task;
        task.strRequestUrl = task.strUrl = c.url;
        task.strSavePath = c.target;
        task.uNotifyMsg = WM_FILE_DONE;
        task.hNotifyWnd = m_sink.Window();
        m_worker->AddTask(task);
    }
    // The task after the failures is processed normally.
    const int good = Queue(L"/x/size=321/afterfailures.bin", m_folder.File(L"afterfailures.bin"));
    StartAndSignal();

    ASSERT_TRUE(m_sink.WaitFor(cases.size() + 1, kMessageWaitMs));
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(m_sink.Messages()[i].wParam, kFailed);
        EXPECT_EQ(m_sink.Messages()[i].lParam, static_cast<LPARAM>(i));
        EXPECT_TRUE(Result(static_cast<int>(i)).strUrl.empty());
    }
    EXPECT_EQ(m_sink.Messages()[cases.size()].wParam, 0u);
    EXPECT_EQ(Result(good).strUrl, PartialPathOf(m_folder.File(L"afterfailures.bin")));
    // A failed download leaves nothing of itself: no error page, no cut body,
    // neither at the target nor in a partial file.
    for (const Case& c : cases) {
        if (!c.target.empty()) {
            EXPECT_FALSE(test::FileExists(c.target)) << testing::PrintToString(c.target);
            EXPECT_FALSE(test::FileExists(PartialPathOf(c.target))) << testing::PrintToString(c.target);
        }
    }
    EXPECT_EQ(test::ReadFileBytes(PartialPathOf(m_folder.File(L"afterfailures.bin"))), test::GeneratedBody(321));
}

TEST_F(DownloadThreadTest, FailedDownloadNeverTouchesTheInstalledFile) {
    // A refused connection never reaches any file; an error page, a cut body
    // and a stop land in the partial file only, which is removed.
    const std::wstring untouched = m_folder.File(L"keep.bin");
    const std::wstring replaced = m_folder.File(L"replaced.bin");
    const std::wstring cut = m_folder.File(L"cut.bin");
    for (const std::wstring& path : {untouched, replaced, cut}) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        ::WriteFile(file, "old", 3, &written, nullptr);
        ::CloseHandle(file);
    }
    DownloadTask refused;
    refused.strRequestUrl = refused.strUrl = L"http://127.0.0.1:1/keep.bin";
    refused.strSavePath = untouched;
    refused.uNotifyMsg = WM_FILE_DONE;
    refused.hNotifyWnd = m_sink.Window();
    m_worker->AddTask(refused);
    Queue(L"/x/status=404/replaced.bin", replaced);
    Queue(L"/x/size=100000/cut=500/cut.bin", cut);
    // Partial files a killed run left behind, under this process's id and
    // under one no process has, are written over or removed, never kept.
    const std::wstring leftover = cut + L".4294967292.rvpart";
    ASSERT_TRUE(test::WriteFileBytes(PartialPathOf(cut), "left by a killed run"));
    ASSERT_TRUE(test::WriteFileBytes(leftover, "left by another killed run"));
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(3, kMessageWaitMs));
    for (const std::wstring& path : {untouched, replaced, cut}) {
        SCOPED_TRACE(testing::PrintToString(path));
        EXPECT_EQ(test::ReadFileBytes(path), std::string("old"));
        EXPECT_FALSE(test::FileExists(PartialPathOf(path)));
    }
    for (const test::ReceivedMessage& message : m_sink.Messages()) {
        EXPECT_EQ(message.wParam, kFailed);
    }
    EXPECT_FALSE(test::FileExists(leftover));
}

TEST_F(DownloadThreadTest, BodiesThatArriveWhole) {
    // Redirected, gzip-encoded (the file holds more bytes than Content-Length
    // says) and without any announced length: all complete downloads.
    const std::vector<std::wstring> paths = {L"/x/redirect=302/size=2000/redirected.bin",
                                             L"/x/gzip/size=50000/encoded.bin", L"/x/nolen/size=3000/nolength.bin"};
    for (size_t i = 0; i < paths.size(); ++i) {
        Queue(paths[i], m_folder.File(L"whole" + std::to_wstring(i) + L".bin"));
    }
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(paths.size(), kMessageWaitMs));
    const size_t sizes[] = {2000, 50000, 3000};
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        EXPECT_EQ(m_sink.Messages()[i].wParam, 0u);
        EXPECT_EQ(test::ReadFileBytes(Result(static_cast<int>(i)).strUrl), test::GeneratedBody(sizes[i]));
    }
}

TEST_F(DownloadThreadTest, TargetPathThatDoesNotFitEndsWithFailureAndWritesNothing) {
    // 300 characters after expansion: it must not be cut and written elsewhere.
    SetEnvironmentVariableW(L"RADEVARE_TEST_DIR", m_folder.Path().c_str());
    const std::wstring longName(300 - m_folder.Path().size(), L'n');
    Queue(L"/x/size=10/toolong.bin", L"%RADEVARE_TEST_DIR%\\" + longName);
    // The partial file's path must fit as well: a target whose partial path
    // has 259 characters, the most that fits, is fetched; one more is too long.
    const size_t suffix = PartialPathOf(L"x").size() - 1;
    const std::wstring fits = m_folder.File(std::wstring(259 - suffix - m_folder.Path().size() - 1, L'f'));
    ASSERT_EQ(PartialPathOf(fits).size(), 259u);
    Queue(L"/x/size=10/fits.bin", fits);
    Queue(L"/x/size=10/onetoomany.bin", fits + L"g");
    StartAndSignal();

    ASSERT_TRUE(m_sink.WaitFor(3, kMessageWaitMs));
    EXPECT_EQ(m_sink.Messages()[0].wParam, kFailed);
    EXPECT_EQ(test::ServerRequestCount(L"/x/size=10/toolong.bin"), 0);
    EXPECT_EQ(m_sink.Messages()[1].wParam, 0u);
    EXPECT_TRUE(test::FileExists(PartialPathOf(fits)));
    EXPECT_EQ(m_sink.Messages()[2].wParam, kFailed);
    EXPECT_EQ(test::ServerRequestCount(L"/x/size=10/onetoomany.bin"), 0);
    // Only the file that fits is in the folder.
    EXPECT_EQ(FilesIn(m_folder.Path()), 1);
}

TEST_F(DownloadThreadTest, EnvironmentReferenceIsExpandedWhileTheResultKeepsItUnexpanded) {
    SetEnvironmentVariableW(L"RADEVARE_TEST_DIR", m_folder.Path().c_str());
    const int id = Queue(L"/x/size=4321/env.bin", L"%RADEVARE_TEST_DIR%\\env.bin");
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(1, kMessageWaitMs));
    EXPECT_EQ(m_sink.Messages()[0].wParam, 0u);
    const DownloadTask result = Result(id);
    EXPECT_EQ(result.strUrl, PartialPathOf(m_folder.File(L"env.bin")));
    EXPECT_EQ(result.strSavePath, L"%RADEVARE_TEST_DIR%\\env.bin");
    EXPECT_EQ(test::ReadFileBytes(result.strUrl), test::GeneratedBody(4321));
}

TEST_F(DownloadThreadTest, CacheDownloadKeepsItsEntryAndFileDownloadsNeverMakeOne) {
    const std::wstring cachePath = L"/x/size=6000/cached.bin";
    const std::wstring filePath = L"/x/size=6000/notcached.bin";
    const std::wstring failedPath = L"/x/status=404/failednotcached.bin";
    const std::wstring untakenPath = L"/x/size=6000/untaken.bin";
    const int cacheId = Queue(cachePath, L"");
    const int fileId = Queue(filePath, m_folder.File(L"notcached.bin"));
    Queue(failedPath, m_folder.File(L"failednotcached.bin"));
    Queue(untakenPath, m_folder.File(L"untaken.bin"));
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(4, kMessageWaitMs));
    EXPECT_EQ(m_sink.Messages()[0].wParam, 0u);
    EXPECT_EQ(m_sink.Messages()[1].wParam, 0u);
    EXPECT_EQ(m_sink.Messages()[2].wParam, kFailed);
    EXPECT_EQ(m_sink.Messages()[3].wParam, 0u);

    std::vector<char> buffer(8192);
    auto* info = reinterpret_cast<INTERNET_CACHE_ENTRY_INFOW*>(buffer.data());
    const auto cached = [&](const std::wstring& path) {
        DWORD size = static_cast<DWORD>(buffer.size());
        return GetUrlCacheEntryInfoW(test::ServerUrl(path).c_str(), info, &size) != FALSE;
    };

    // The cache download's result is the cache file itself, and taking it
    // keeps the entry.
    DownloadTask result;
    ASSERT_EQ(m_worker->TakeTaskOutcome(cacheId, result), CDownloadThread::TASK_SUCCEEDED);
    EXPECT_NE(result.strUrl, result.strRequestUrl);
    EXPECT_TRUE(result.strSavePath.empty());
    EXPECT_EQ(test::ReadFileBytes(result.strUrl), test::GeneratedBody(6000));
    ASSERT_TRUE(cached(cachePath));
    EXPECT_EQ(_wcsicmp(info->lpszLocalFileName, result.strUrl.c_str()), 0);

    // A download to a file never puts a second copy into the cache, neither
    // before its outcome is taken nor after; a failed one leaves none either.
    EXPECT_FALSE(cached(failedPath));
    EXPECT_FALSE(cached(filePath));
    ASSERT_EQ(m_worker->TakeTaskOutcome(fileId, result), CDownloadThread::TASK_SUCCEEDED);
    EXPECT_FALSE(cached(filePath));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // Nor does an outcome no one took, and the worker's end keeps the cache
    // download's own entry.
    EXPECT_FALSE(cached(untakenPath));
    EXPECT_TRUE(m_worker->StopAndWait());
    m_worker.reset();
    EXPECT_FALSE(cached(untakenPath));
    EXPECT_TRUE(cached(cachePath));
}

TEST_F(DownloadThreadTest, EveryTaskFetchesFreshEvenForTheSameUrl) {
    // The cache download first leaves an entry that a later download of the
    // same URL would otherwise be served from.
    const std::wstring path = L"/x/size=800/same.bin";
    Queue(path, L"");
    Queue(path, L"");
    Queue(path, m_folder.File(L"same.bin"));
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(3, kMessageWaitMs));
    for (const test::ReceivedMessage& message : m_sink.Messages()) {
        EXPECT_EQ(message.wParam, 0u);
    }
    EXPECT_EQ(test::ServerRequestCount(path), 3);
}

TEST_F(DownloadThreadTest, RetryingTaskSucceedsWhenTheServerComesBackOnTheFifthAttempt) {
    CQuickRetryDownloadThread worker(100);
    const std::wstring path = L"/x/failfirst=4:503/size=1500/comesback.bin";
    const int id = Queue(path, m_folder.File(L"comesback.bin"), WM_FILE_DONE, TRUE, &worker);
    const DWORD start = GetTickCount();
    StartAndSignal(&worker);
    ASSERT_TRUE(m_sink.WaitFor(1, kMessageWaitMs));
    const DWORD elapsed = GetTickCount() - start;
    m_sink.PumpFor(200);

    ASSERT_EQ(m_sink.Messages().size(), 1u);
    EXPECT_EQ(m_sink.Messages()[0].wParam, 0u);
    EXPECT_EQ(m_sink.Messages()[0].lParam, id);
    EXPECT_EQ(test::ServerRequestCount(path), 5);
    // Four waits that double from the first: 100 + 200 + 400 + 800 ms (the
    // tick count has a granularity of some ms).
    EXPECT_GE(elapsed, 1450u);
    EXPECT_EQ(test::ReadFileBytes(PartialPathOf(m_folder.File(L"comesback.bin"))), test::GeneratedBody(1500));
    EXPECT_TRUE(worker.StopAndWait());
}

TEST_F(DownloadThreadTest, RetryingTaskEndsWithFailureAfterItsFifthAttempt) {
    CQuickRetryDownloadThread worker(5);
    const std::wstring path = L"/x/status=503/neverback.bin";
    Queue(path, m_folder.File(L"neverback.bin"), WM_FILE_DONE, TRUE, &worker);
    // A status that says the file is not there is not asked for again.
    const std::wstring gone = L"/x/status=404/gone.bin";
    Queue(gone, m_folder.File(L"gone.bin"), WM_FILE_DONE, TRUE, &worker);
    Queue(L"/x/size=10/afterneverback.bin", m_folder.File(L"afterneverback.bin"), WM_FILE_DONE, FALSE, &worker);
    StartAndSignal(&worker);
    ASSERT_TRUE(m_sink.WaitFor(3, 60000));
    EXPECT_EQ(m_sink.Messages()[0].wParam, kFailed);
    EXPECT_EQ(m_sink.Messages()[0].lParam, 0);
    EXPECT_EQ(m_sink.Messages()[1].wParam, kFailed);
    EXPECT_EQ(m_sink.Messages()[2].wParam, 0u);
    EXPECT_EQ(test::ServerRequestCount(path), 5);
    EXPECT_EQ(test::ServerRequestCount(gone), 1);
    EXPECT_TRUE(worker.StopAndWait());
}

TEST_F(DownloadThreadTest, StopDuringRetryPausesGivesUpWithoutAMessage) {
    const std::wstring path = L"/x/status=503/stoppedretry.bin";
    Queue(path, m_folder.File(L"stoppedretry.bin"), WM_FILE_DONE, TRUE);
    Queue(L"/x/size=10/afterstoppedretry.bin", m_folder.File(L"afterstoppedretry.bin"));
    StartAndSignal();
    ASSERT_TRUE(test::WaitUntil([&] { return test::ServerRequestCount(path) >= 1; }, kMessageWaitMs));

    EXPECT_TRUE(m_worker->StopAndWait());
    m_sink.PumpFor(300);
    EXPECT_TRUE(m_sink.Messages().empty());
    EXPECT_EQ(m_worker->GetState(), THREAD_STATE_ENDED);
    EXPECT_EQ(ExitCode(), 0u);
    EXPECT_EQ(test::ServerRequestCount(L"/x/size=10/afterstoppedretry.bin"), 0);
}

TEST_F(DownloadThreadTest, StopTakesTheQueueAwayWholeWhateverItsLength) {
    const std::wstring stalled = L"/x/size=1000/stall=60/drainstalled.bin";
    Queue(stalled, m_folder.File(L"drainstalled.bin"));
    // A package of a hundred thousand files behind it: each one looked at
    // after the stop would cost the ending its bound.
    const int kQueued = 100000;
    for (int i = 0; i < kQueued; ++i) {
        Queue(L"/x/size=10/drain" + std::to_wstring(i % 2) + L".bin",
              i % 2 == 0 ? m_folder.File(L"drain" + std::to_wstring(i) + L".bin") : std::wstring());
    }
    StartAndSignal();
    ASSERT_TRUE(test::WaitUntil([&] { return test::ServerRequestCount(stalled) >= 1; }, kMessageWaitMs));

    // The stalled transfer gives no callbacks: the stop must reach it anyway,
    // and the queue goes with it within the stop's bound.
    EXPECT_TRUE(m_worker->StopAndWait());
    ASSERT_TRUE(m_sink.WaitFor(1, 1000));
    Sleep(200);
    ASSERT_EQ(m_sink.Messages().size(), 1u);
    EXPECT_EQ(m_sink.Messages()[0].lParam, 0);
    EXPECT_EQ(m_sink.Messages()[0].wParam, kFailed);
    // The tasks taken away were never started: no request, no file, no outcome.
    EXPECT_EQ(test::ServerRequestCount(L"/x/size=10/drain0.bin"), 0);
    EXPECT_EQ(test::ServerRequestCount(L"/x/size=10/drain1.bin"), 0);
    EXPECT_EQ(FilesIn(m_folder.Path()), 0);
    DownloadTask result;
    EXPECT_EQ(m_worker->TakeTaskOutcome(1, result), CDownloadThread::TASK_UNKNOWN);
    EXPECT_EQ(m_worker->GetState(), THREAD_STATE_ENDED);
    EXPECT_EQ(ExitCode(), 0u);
}

TEST_F(DownloadThreadTest, StopEndsAStalledOrSlowTransferPromptly) {
    // Stalled before any answer, after the headers, in mid-body, and a body
    // that would take a minute at its steady rate.
    const std::vector<std::wstring> paths = {L"/x/delay=60/noanswer.bin", L"/x/size=1000/stall=60/noBody.bin",
                                             L"/x/size=200000/stall=60@100000/midbody.bin",
                                             L"/x/size=1200000/rate=20000/slowstop.bin"};
    for (const std::wstring& path : paths) {
        SCOPED_TRACE(path);
        CDownloadThread worker;
        test::CMessageSink sink;
        StartOneTransfer(worker, sink, path, m_folder.File(L"stalled.bin"));
        ASSERT_FALSE(HasFatalFailure());
        Sleep(200); // well inside the stall

        EXPECT_TRUE(worker.StopAndWait());
        ASSERT_TRUE(sink.WaitFor(1, 1000));
        EXPECT_EQ(sink.Messages()[0].wParam, kFailed);
    }
}

TEST_F(DownloadThreadTest, EachOutcomeIsTakenOnceAndOnlyOnceTheTaskHasEnded) {
    const int good = Queue(L"/x/size=64/outcome.bin", m_folder.File(L"outcome.bin"));
    const int bad = Queue(L"/x/status=404/outcome404.bin", m_folder.File(L"outcome404.bin"));
    DownloadTask result;
    // Queued but not ended, and never queued: nothing to take.
    EXPECT_EQ(m_worker->TakeTaskOutcome(good, result), CDownloadThread::TASK_UNKNOWN);
    EXPECT_EQ(m_worker->TakeTaskOutcome(99, result), CDownloadThread::TASK_UNKNOWN);
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(2, kMessageWaitMs));

    EXPECT_EQ(m_worker->TakeTaskOutcome(good, result), CDownloadThread::TASK_SUCCEEDED);
    EXPECT_EQ(result.nTaskId, good);
    EXPECT_EQ(result.strUrl, PartialPathOf(m_folder.File(L"outcome.bin")));
    EXPECT_EQ(m_worker->TakeTaskOutcome(good, result), CDownloadThread::TASK_UNKNOWN);
    DownloadTask failed;
    failed.strFileName = L"untouched";
    EXPECT_EQ(m_worker->TakeTaskOutcome(bad, failed), CDownloadThread::TASK_FAILED);
    EXPECT_EQ(failed.strFileName, L"untouched");
    EXPECT_EQ(m_worker->TakeTaskOutcome(bad, failed), CDownloadThread::TASK_UNKNOWN);
    // The result table itself stays readable.
    EXPECT_EQ(Result(good).strUrl, PartialPathOf(m_folder.File(L"outcome.bin")));
}

TEST_F(DownloadThreadTest, StopReturnsAtOnceAndItsWaitKeepsItsBoundWhenTheTransferNeverReturns) {
    // A reset in mid-body can leave the download call waiting for good (seen
    // under 32-bit Wine); neither the stop nor the wait may wait with it.
    const std::wstring path = L"/x/size=200000/reset=50000/wedged.bin";
    auto* worker = new CDownloadThread;
    test::CMessageSink sink;
    StartOneTransfer(*worker, sink, path, m_folder.File(L"wedged.bin"));
    ASSERT_FALSE(HasFatalFailure());
    Sleep(500);

    const ULONGLONG started = GetTickCount64();
    worker->Stop();
    EXPECT_LT(GetTickCount64() - started, 1000u) << "Stop waited for the transfer";
    const BOOL ended = worker->StopAndWait();
    // The bound is 3000 ms; generous slack for a loaded machine, far from forever.
    EXPECT_LT(GetTickCount64() - started, 10000u);
    if (ended) {
        delete worker; // the abort reached the transfer after all
    }
    // Otherwise the worker still runs inside the call and keeps its object,
    // as the program's owner does; the test process ends around it.
}

TEST_F(DownloadThreadTest, StopBeforeTheFirstWakeUpEndsTheThreadWithoutDownloading) {
    const std::wstring path = L"/x/size=10/neverfetched.bin";
    ASSERT_EQ(m_worker->Start(FALSE), THREAD_STATE_RUNNING);
    m_worker->Stop();
    Queue(path, m_folder.File(L"neverfetched.bin"));
    SetEvent(m_worker->m_hTaskEvent.get());
    EXPECT_EQ(WaitForSingleObject(m_worker->GetThreadHandle(), 3000), WAIT_OBJECT_0);
    m_sink.PumpFor(200);
    EXPECT_TRUE(m_sink.Messages().empty());
    EXPECT_EQ(ExitCode(), 1u);
    EXPECT_EQ(test::ServerRequestCount(path), 0);
}

TEST_F(DownloadThreadTest, ActivityGrowsDuringASlowTransferAndStandsStillDuringAStall) {
    // 60 KB at 20 KB/s: about three seconds, one callback per chunk.
    Queue(L"/x/size=60000/rate=20000/slow.bin", m_folder.File(L"slow.bin"));
    StartAndSignal();
    std::set<LONG> readings;
    while (!m_sink.WaitFor(1, 100)) {
        readings.insert(m_worker->GetActivityCount());
        ASSERT_LT(readings.size(), 100000u);
    }
    EXPECT_EQ(m_sink.Messages()[0].wParam, 0u);
    // A watchdog that reads once a second sees it grow each time.
    EXPECT_GE(readings.size(), 10u);

    // Half the body, then a stall of four seconds: no sign of bytes meanwhile.
    const std::wstring stalled = L"/x/size=100000/stall=4@50000/stallactivity.bin";
    Queue(stalled, m_folder.File(L"stallactivity.bin"));
    SetEvent(m_worker->m_hTaskEvent.get());
    ASSERT_TRUE(test::WaitUntil([&] { return test::ServerRequestCount(stalled) >= 1; }, kMessageWaitMs));
    Sleep(1000);
    const LONG duringStall = m_worker->GetActivityCount();
    Sleep(1500);
    EXPECT_EQ(m_worker->GetActivityCount(), duringStall);
    ASSERT_TRUE(m_sink.WaitFor(2, kMessageWaitMs));
    EXPECT_EQ(m_sink.Messages()[1].wParam, 0u);
    EXPECT_GT(m_worker->GetActivityCount(), duringStall);
}

// A body that arrives as fast as it is read never leaves the worker idle.
// Every chunk must still show as activity, or a large file times out while
// it arrives at full speed.
TEST_F(DownloadThreadTest, AFastLargeBodyShowsActivityAllTheWay) {
    // 256 MB: several seconds under Wine on loopback.
    const std::wstring path = L"/x/size=268435456/fastlarge.bin";
    const std::wstring target = m_folder.File(L"fastlarge.bin");
    CDownloadThread worker;
    test::CMessageSink sink;
    StartOneTransfer(worker, sink, path, target);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(test::WaitUntil([&] { return test::FileExists(PartialPathOf(target)); }, kMessageWaitMs));
    std::set<LONG> readings;
    int polls = 0;
    while (!sink.WaitFor(1, 100)) {
        readings.insert(worker.GetActivityCount());
        ASSERT_LT(++polls, 1200) << "no end after two minutes";
    }
    ASSERT_EQ(sink.Messages()[0].wParam, 0u);
    // A watchdog that reads once a second sees it grow every time.
    EXPECT_GE(readings.size(), static_cast<size_t>(polls) * 8 / 10) << "over " << polls << " readings";
    EXPECT_GE(polls, 5) << "too quick to tell";
    EXPECT_TRUE(worker.StopAndWait());
}

TEST_F(DownloadThreadTest, EachTaskCarriesItsOwnMessageAndWindow) {
    test::CMessageSink other;
    Queue(L"/x/size=10/filelist.xml", m_folder.File(L"FileList.xml"), WM_FILELIST_DONE);
    DownloadTask delayed;
    delayed.strRequestUrl = delayed.strUrl = test::ServerUrl(L"/x/status=404/delayed.bin");
    delayed.strSavePath = m_folder.File(L"delayed.bin");
    delayed.uNotifyMsg = WM_DELAYED_DOWNLOAD_DONE;
    delayed.hNotifyWnd = other.Window();
    m_worker->AddTask(delayed);
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(1, kMessageWaitMs));
    ASSERT_TRUE(other.WaitFor(1, kMessageWaitMs));
    EXPECT_EQ(m_sink.Messages()[0].uMsg, static_cast<UINT>(WM_FILELIST_DONE));
    EXPECT_EQ(m_sink.Messages()[0].wParam, 0u);
    EXPECT_EQ(other.Messages()[0].uMsg, static_cast<UINT>(WM_DELAYED_DOWNLOAD_DONE));
    EXPECT_EQ(other.Messages()[0].wParam, kFailed);
    EXPECT_EQ(other.Messages()[0].lParam, 1);
}

TEST_F(DownloadThreadTest, TwoSpellingsOfOneFolderKeepEachOthersPartialFilesUntilTheyArePlaced) {
    // The window checks and places each file while the worker goes on with
    // the next: no spelling of the folder may take an earlier file's partial
    // file for a leftover.
    ASSERT_TRUE(CreateDirectoryW(m_folder.File(L"Data").c_str(), nullptr));
    const std::vector<std::wstring> targets = {m_folder.File(L"Data\\a.bin"), m_folder.File(L"data\\b.bin"),
                                               m_folder.File(L"DATA/c.bin"),
                                               test::UpperCase(m_folder.Path()) + L"\\data\\d.bin"};
    for (size_t i = 0; i < targets.size(); ++i) {
        Queue(L"/x/size=" + std::to_wstring(1000 + i) + L"/f" + std::to_wstring(i) + L".bin", targets[i]);
    }
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(targets.size(), kMessageWaitMs));
    for (size_t i = 0; i < targets.size(); ++i) {
        SCOPED_TRACE(testing::PrintToString(targets[i]));
        EXPECT_EQ(m_sink.Messages()[i].wParam, 0u);
        EXPECT_TRUE(test::ReadFileBytes(PartialPathOf(targets[i])) == test::GeneratedBody(1000 + i));
        EXPECT_TRUE(PlaceDownloadedFile(PartialPathOf(targets[i])));
        EXPECT_TRUE(test::ReadFileBytes(targets[i]) == test::GeneratedBody(1000 + i));
    }
}

TEST_F(DownloadThreadTest, AFileOfThePackageNamedLikeAPartialFileStays) {
    // An installed, up-to-date file whose name has the partial form, beside
    // the file the run fetches; and a real leftover of that file, which goes.
    const std::wstring listed = m_folder.File(L"cache.7.rvpart");
    const std::wstring target = m_folder.File(L"new.bin");
    ASSERT_TRUE(test::WriteFileBytes(listed, "installed"));
    ASSERT_TRUE(test::WriteFileBytes(target + L".7.rvpart", "left by a killed run"));
    Queue(L"/x/size=500/new.bin", target);
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(1, kMessageWaitMs));
    EXPECT_EQ(m_sink.Messages()[0].wParam, 0u);
    EXPECT_EQ(test::ReadFileBytes(listed), "installed");
    EXPECT_FALSE(test::FileExists(target + L".7.rvpart"));
    EXPECT_EQ(test::ReadFileBytes(PartialPathOf(target)), test::GeneratedBody(500));
}

// The worker with its bounds shortened to what a test can wait for, and a
// volume that had g_nFakeFreeBytes free before the file being written (the
// disk's reserve stays as it is).
int64_t g_nFakeFreeBytes = 0;
bool FakeFreeBytes(const std::wstring& path, int64_t& freeBytes) {
    freeBytes = g_nFakeFreeBytes - test::FileSize(path);
    return true;
}

class CBoundedDownloadThread : public CDownloadThread {
public:
    CBoundedDownloadThread(DWORD rateWindowMs, int64_t minBytesPerSecond, int64_t freeBytes, int64_t maxList) {
        m_bounds.dwRateWindowMs = rateWindowMs;
        m_bounds.nMinBytesPerSecond = minBytesPerSecond;
        g_nFakeFreeBytes = m_bounds.nDiskReserveBytes + freeBytes;
        m_system.pfnFreeBytes = &FakeFreeBytes;
        m_nMaxListBytes = maxList;
    }
};

// One task on a bounded worker, with an older file installed at the target;
// the message that ended it and how long it took.
struct BoundedOutcome {
    WPARAM wParam = 0;
    ULONGLONG tookMs = 0;
    bool installedKept = false;
    bool partialLeft = false;
};

BoundedOutcome RunBounded(CBoundedDownloadThread& worker, const std::wstring& path, const std::wstring& target,
                          UINT msg = WM_FILE_DONE) {
    BoundedOutcome outcome;
    test::CMessageSink sink;
    EXPECT_TRUE(test::WriteFileBytes(target, "installed"));
    DownloadTask task = ServerTask(path, target, sink.Window(), msg);
    worker.AddTask(task);
    const ULONGLONG started = GetTickCount64();
    EXPECT_EQ(worker.Start(FALSE), THREAD_STATE_RUNNING);
    SetEvent(worker.m_hTaskEvent.get());
    EXPECT_TRUE(sink.WaitFor(1, 60000)) << testing::PrintToString(path);
    outcome.tookMs = GetTickCount64() - started;
    outcome.wParam = sink.Messages().empty() ? 0 : sink.Messages()[0].wParam;
    outcome.installedKept = test::ReadFileBytes(target) == "installed";
    outcome.partialLeft = test::FileExists(PartialPathOf(target));
    DownloadTask result;
    if (worker.TakeTaskOutcome(task.nTaskId, result) == CDownloadThread::TASK_SUCCEEDED) {
        EXPECT_TRUE(PlaceDownloadedFile(result.strUrl));
    }
    EXPECT_TRUE(worker.StopAndWait());
    return outcome;
}

TEST_F(DownloadThreadTest, AnEndlessBodyEndsAtTheDisksReserveAsAFailure) {
    // Chunked, at 4 MB/s: only the disk's reserve ends a body without a
    // length; here 1 MB of room is left above it.
    CBoundedDownloadThread worker(60000, 0, 1000000, 100000);
    const BoundedOutcome file =
        RunBounded(worker, L"/x/endless/rate=4000000/endless.bin", m_folder.File(L"endless.bin"));
    EXPECT_EQ(file.wParam, kFailed);
    EXPECT_TRUE(file.installedKept);
    EXPECT_FALSE(file.partialLeft);
    // The file list has its own, smaller cap, announced length or not.
    CBoundedDownloadThread listWorker(60000, 0, 1000000, 100000);
    const BoundedOutcome list = RunBounded(listWorker, L"/x/endless/rate=4000000/FileList.xml",
                                           m_folder.File(L"FileList.xml"), WM_FILELIST_DONE);
    EXPECT_EQ(list.wParam, kFailed);
    EXPECT_TRUE(list.installedKept);
    EXPECT_FALSE(list.partialLeft);
    CBoundedDownloadThread bigListWorker(60000, 0, 1000000, 100000);
    const std::wstring bigList = L"/x/size=100001/biglist.xml";
    const BoundedOutcome big = RunBounded(bigListWorker, bigList, m_folder.File(L"big.xml"), WM_FILELIST_DONE);
    EXPECT_EQ(big.wParam, kFailed);
    EXPECT_TRUE(big.installedKept);
    EXPECT_FALSE(big.partialLeft);
    // An announced length needs the room for itself only, not the reserve;
    // one larger than the room there is fails before a byte is written.
    CBoundedDownloadThread fileWorker(60000, 0, 0, 100000);
    g_nFakeFreeBytes = 100001;
    EXPECT_EQ(RunBounded(fileWorker, L"/x/size=100001/announced.bin", m_folder.File(L"announced.bin")).wParam, 0u);
    EXPECT_EQ(test::ReadFileBytes(m_folder.File(L"announced.bin")), test::GeneratedBody(100001));
    CBoundedDownloadThread tooBig(60000, 0, 0, 100000);
    g_nFakeFreeBytes = 100000;
    const std::wstring tooBigPath = L"/x/size=100001/toobig.bin";
    const BoundedOutcome refusedAtOnce = RunBounded(tooBig, tooBigPath, m_folder.File(L"toobig.bin"));
    EXPECT_EQ(refusedAtOnce.wParam, kFailed);
    EXPECT_TRUE(refusedAtOnce.installedKept);
    EXPECT_FALSE(refusedAtOnce.partialLeft);
}

TEST_F(DownloadThreadTest, BodiesUpToTheirCapArriveWhole) {
    // Exactly the room above the reserve, without a length, and a list of
    // exactly its cap.
    CBoundedDownloadThread worker(60000, 0, 3000, 5000);
    EXPECT_EQ(RunBounded(worker, L"/x/nolen/size=3000/atcap.bin", m_folder.File(L"atcap.bin")).wParam, 0u);
    EXPECT_EQ(test::ReadFileBytes(m_folder.File(L"atcap.bin")), test::GeneratedBody(3000));
    CBoundedDownloadThread over(60000, 0, 2999, 5000);
    const BoundedOutcome refused = RunBounded(over, L"/x/nolen/size=3000/overcap.bin", m_folder.File(L"overcap.bin"));
    EXPECT_EQ(refused.wParam, kFailed);
    EXPECT_TRUE(refused.installedKept);
    EXPECT_FALSE(refused.partialLeft);
    CBoundedDownloadThread list(60000, 0, 3000, 5000);
    EXPECT_EQ(RunBounded(list, L"/x/size=5000/list.xml", m_folder.File(L"list.xml"), WM_FILELIST_DONE).wParam, 0u);
    EXPECT_EQ(test::ReadFileBytes(m_folder.File(L"list.xml")), test::GeneratedBody(5000));
}

TEST_F(DownloadThreadTest, ATrickleEndsOnceItsRateOverTheWindowFallsBelowTheMinimum) {
    // 2 KB a second where 4 KB a second are asked for over any window of two
    // seconds: a large file that would take hours.
    CBoundedDownloadThread worker(2000, 4096, 1000000, 100000);
    const BoundedOutcome trickle =
        RunBounded(worker, L"/x/size=20000000/trickle=2048@1/trickle.bin", m_folder.File(L"trickle.bin"));
    EXPECT_EQ(trickle.wParam, kFailed);
    EXPECT_GE(trickle.tookMs, 2000u) << "ended within its first window";
    EXPECT_LT(trickle.tookMs, 30000u);
    EXPECT_TRUE(trickle.installedKept);
    EXPECT_FALSE(trickle.partialLeft);
    // The same chunked and endless.
    CBoundedDownloadThread endless(2000, 4096, 1000000000, 100000);
    const BoundedOutcome slowEndless =
        RunBounded(endless, L"/x/endless/trickle=2048@1/slowendless.bin", m_folder.File(L"slowendless.bin"));
    EXPECT_EQ(slowEndless.wParam, kFailed);
    EXPECT_GE(slowEndless.tookMs, 2000u);
    EXPECT_FALSE(slowEndless.partialLeft);
    // A slow body above the minimum rate arrives whole past the grace.
    CBoundedDownloadThread steady(1000, 4096, 1000000, 100000);
    const BoundedOutcome slow =
        RunBounded(steady, L"/x/size=60000/rate=20000/steady.bin", m_folder.File(L"steady.bin"));
    EXPECT_EQ(slow.wParam, 0u);
    EXPECT_EQ(test::ReadFileBytes(m_folder.File(L"steady.bin")), test::GeneratedBody(60000));
}

} // namespace

// A file that arrived after the run had begun to end (its message held back
// behind the error box, or never handled) is neither checked nor placed: its
// partial file goes with the worker, and the installed file stays.
TEST_F(DownloadThreadTest, PartialFilesOfOutcomesNoOneTookGoWithTheWorker) {
    const std::wstring target = m_folder.File(L"untaken.bin");
    ASSERT_TRUE(test::WriteFileBytes(target, "installed"));
    const int id = Queue(L"/x/size=3000/untaken.bin", target);
    StartAndSignal();
    ASSERT_TRUE(m_sink.WaitFor(1, kMessageWaitMs));
    ASSERT_EQ(m_sink.Messages()[0].lParam, id);
    const std::wstring partial = Result(id).strUrl;
    ASSERT_EQ(partial, PartialPathOf(target));
    EXPECT_TRUE(test::FileExists(partial));

    ASSERT_TRUE(m_worker->StopAndWait());
    m_worker.reset();
    EXPECT_FALSE(test::FileExists(partial)) << "the partial file of an untaken download outlived the worker";
    EXPECT_EQ(test::ReadFileBytes(target), "installed");
}

namespace {

// A listed file's task, with the digest the list gives it and retries.
DownloadTask ListedTask(const std::wstring& path, const std::wstring& savePath, HWND window, size_t size) {
    DownloadTask task = ServerTask(path, savePath, window);
    task.bRetry = TRUE;
    const std::string body = test::GeneratedBody(size);
    CMD5Checksum md5;
    md5.Update(reinterpret_cast<const unsigned char*>(body.data()), body.size());
    const std::string digest = md5.Final();
    task.strMd5.assign(digest.begin(), digest.end());
    return task;
}

// Runs one task on worker to its message; the message's wParam.
WPARAM RunTask(CDownloadThread& worker, DownloadTask task, DWORD waitMs = kMessageWaitMs) {
    test::CMessageSink sink;
    task.hNotifyWnd = sink.Window();
    worker.AddTask(task);
    if (worker.GetState() != THREAD_STATE_RUNNING) {
        EXPECT_EQ(worker.Start(FALSE), THREAD_STATE_RUNNING);
    }
    SetEvent(worker.m_hTaskEvent.get());
    EXPECT_TRUE(sink.WaitFor(1, waitMs));
    return sink.Messages().empty() ? 12345 : sink.Messages()[0].wParam;
}

// The same partial file and record as a killed run with another process id left them.
void LeaveAsAKilledRun(const std::wstring& target) {
    const std::wstring dead = target + L".4294967292.rvpart";
    ASSERT_TRUE(MoveFileW(PartialPathOf(target).c_str(), dead.c_str()));
    ASSERT_TRUE(MoveFileW(RecordPathOf(PartialPathOf(target)).c_str(), RecordPathOf(dead).c_str()));
}

TEST_F(DownloadThreadTest, ACutBodyIsContinuedByTheNextAttemptFromWhereItEnded) {
    CQuickRetryDownloadThread worker(50);
    const std::wstring path = L"/x/cutfirst=1@40000/ranges/size=100000/continued.bin";
    const std::wstring target = m_folder.File(L"continued.bin");
    EXPECT_EQ(RunTask(worker, ListedTask(path, target, nullptr, 100000)), 0u);
    EXPECT_EQ(test::ReadFileBytes(PartialPathOf(target)), test::GeneratedBody(100000));
    const std::vector<std::string> ranges = test::ServerLogged(path, "range");
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0], "null");
    // From the bytes that arrived before the cut, at most the 40000 sent.
    ASSERT_EQ(ranges[1].compare(0, 6, "bytes="), 0) << ranges[1];
    const long from = std::atol(ranges[1].c_str() + 6);
    EXPECT_GT(from, 0);
    EXPECT_LE(from, 40000);
    EXPECT_EQ(test::ServerLogged(path, "status")[1], "206");
    EXPECT_NE(test::ServerLogged(path, "if_range")[1], "null");
    // Who asks, and that it asks for no compressed body.
    EXPECT_EQ(test::ServerLogged(path, "user_agent")[0].compare(0, 9, "RadeVare/"), 0);
    EXPECT_EQ(test::ServerLogged(path, "accept_encoding")[0], "identity");
    EXPECT_TRUE(worker.StopAndWait());
}

TEST_F(DownloadThreadTest, AKilledRunsPartialFileIsTakenOverWhenItsRecordMatches) {
    // A first worker is stopped half way through 3 MB; its bytes and record
    // then lie there as a killed run's.
    const std::wstring path = L"/x/ranges/rate=1500000/size=3000000/takenover.bin";
    const std::wstring target = m_folder.File(L"takenover.bin");
    {
        CDownloadThread first;
        test::CMessageSink sink;
        DownloadTask task = ListedTask(path, target, sink.Window(), 3000000);
        first.AddTask(task);
        ASSERT_EQ(first.Start(FALSE), THREAD_STATE_RUNNING);
        SetEvent(first.m_hTaskEvent.get());
        ASSERT_TRUE(test::WaitUntil([&] { return test::FileSize(PartialPathOf(target)) > 1500000; }, kMessageWaitMs));
        ASSERT_TRUE(first.StopAndWait());
    }
    // Kept, because it is worth resuming: over a MiB, with its record.
    ASSERT_TRUE(test::FileExists(PartialPathOf(target)));
    ASSERT_TRUE(test::FileExists(RecordPathOf(PartialPathOf(target))));
    const size_t held = test::ReadFileBytes(PartialPathOf(target)).size();
    LeaveAsAKilledRun(target);

    CDownloadThread second;
    EXPECT_EQ(RunTask(second, ListedTask(path, target, nullptr, 3000000)), 0u);
    EXPECT_EQ(test::ReadFileBytes(PartialPathOf(target)), test::GeneratedBody(3000000));
    const std::vector<std::string> ranges = test::ServerLogged(path, "range");
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[1], "bytes=" + std::to_string(held) + "-");
    EXPECT_FALSE(test::FileExists(target + L".4294967292.rvpart"));
    EXPECT_FALSE(test::FileExists(target + L".4294967292.rvinfo"));
    EXPECT_TRUE(second.StopAndWait());
}

TEST_F(DownloadThreadTest, ALeftoverForAnotherDigestOrUrlIsRemovedAndTheFileFetchedWhole) {
    const std::wstring path = L"/x/ranges/size=2000000/othermd5.bin";
    const std::wstring target = m_folder.File(L"othermd5.bin");
    // A record of this target, but for another digest.
    ResumeRecord record;
    record.strTarget = target;
    record.strMd5 = L"00000000000000000000000000000000";
    record.strUrl = test::ServerUrl(path);
    record.strValidator = L"\"whatever\"";
    record.nTotal = 2000000;
    ASSERT_TRUE(test::WriteFileBytes(target + L".4294967292.rvpart", test::GeneratedBody(1000000)));
    ASSERT_TRUE(WriteResumeRecord(target + L".4294967292.rvinfo", record));
    CDownloadThread worker;
    EXPECT_EQ(RunTask(worker, ListedTask(path, target, nullptr, 2000000)), 0u);
    EXPECT_EQ(test::ServerLogged(path, "range"), std::vector<std::string>{"null"});
    EXPECT_FALSE(test::FileExists(target + L".4294967292.rvpart"));
    EXPECT_FALSE(test::FileExists(target + L".4294967292.rvinfo"));
    EXPECT_EQ(test::ReadFileBytes(PartialPathOf(target)), test::GeneratedBody(2000000));
    EXPECT_TRUE(worker.StopAndWait());
}

TEST_F(DownloadThreadTest, JoinedBytesThatMissTheDigestAreFetchedOnceMoreFromTheFirstByte) {
    const std::wstring path = L"/x/ranges/size=2000000/altered.bin";
    const std::wstring target = m_folder.File(L"altered.bin");
    CQuickRetryDownloadThread first(50);
    // A whole download gives the record; its first half, one byte changed,
    // is left as a killed run's partial file.
    EXPECT_EQ(RunTask(first, ListedTask(path, target, nullptr, 2000000)), 0u);
    EXPECT_TRUE(first.StopAndWait());
    std::string half = test::GeneratedBody(1000000);
    half[500000] ^= 0x55;
    ASSERT_TRUE(test::WriteFileBytes(PartialPathOf(target), half));
    LeaveAsAKilledRun(target);

    CDownloadThread second;
    EXPECT_EQ(RunTask(second, ListedTask(path, target, nullptr, 2000000)), 0u);
    EXPECT_EQ(test::ReadFileBytes(PartialPathOf(target)), test::GeneratedBody(2000000));
    const std::vector<std::string> ranges = test::ServerLogged(path, "range");
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[1], "bytes=1000000-");
    EXPECT_EQ(ranges[2], "null") << "the whole file once more, never joined again";
    EXPECT_TRUE(second.StopAndWait());
}

TEST_F(DownloadThreadTest, OnlyAPartialFileWorthResumingOutlivesItsFailedTask) {
    CDownloadThread worker;
    struct Case {
        const wchar_t* path;
        bool kept;
    };
    // Cut after 1.5 MB (no retry): kept with its record; the same without a
    // validator, or cut short of a MiB: removed.
    const Case cases[] = {
        {L"/x/cut=1500000/ranges/size=3000000/keep.bin", true},
        {L"/x/cut=1500000/size=3000000/novalidator.bin", false},
        {L"/x/cut=500000/ranges/size=3000000/small.bin", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
        const std::wstring target = m_folder.File(std::wstring(c.path).substr(std::wstring(c.path).rfind(L'/') + 1));
        DownloadTask task = ListedTask(c.path, target, nullptr, 3000000);
        task.bRetry = FALSE;
        EXPECT_EQ(RunTask(worker, task), kFailed);
        EXPECT_EQ(test::FileExists(PartialPathOf(target)), c.kept);
        EXPECT_EQ(test::FileExists(RecordPathOf(PartialPathOf(target))), c.kept);
    }
    EXPECT_TRUE(worker.StopAndWait());
}

} // namespace
