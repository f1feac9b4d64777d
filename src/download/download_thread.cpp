#include "download/download_thread.h"

#include "base/scope_guards.h"
#include "download/bind_status_callback.h"

#include <new>

#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

namespace {

// A retrying task ends with the failure message after this many attempts.
constexpr int kMaxAttempts = 100;

const WPARAM kSucceeded = 0;
const WPARAM kFailed = static_cast<WPARAM>(-1);

// The file the download left: it must exist and hold what the server
// announced; the URL moniker call reports success for a short body, an
// error page and a target folder that does not exist.
bool FileHoldsAnnouncedLength(const wchar_t* path, int64_t announced) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path[0] == L'\0' || !::GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    const int64_t size = static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return announced < 0 || size == announced;
}

} // namespace

CDownloadThread::CDownloadThread() : m_hTaskEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CDownloadThread::~CDownloadThread() {
    // The thread uses the queue and the result table: it must be gone before they are.
    EndThreadBeforeDestruction();
}

void CDownloadThread::Stop() {
    CThreadBase::Stop();
    CBindStatusCallback* callback = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_activeLock);
        callback = m_pActiveCallback;
        if (callback != nullptr) {
            callback->AddRef();
        }
    }
    if (callback != nullptr) {
        callback->Abort();
        callback->Release();
    }
}

void CDownloadThread::AddTask(DownloadTask& task) {
    task.nTaskId = m_nNextTaskId++;
    std::lock_guard<std::mutex> guard(m_lock);
    m_vecTasks.push_back(task);
}

void CDownloadThread::GetTaskResult(int nTaskId, DownloadTask& task) const {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_mapResults.find(nTaskId);
    if (found != m_mapResults.end()) {
        task = found->second;
    }
}

DWORD CDownloadThread::Run() {
    const base::CComInit com;
    for (;;) {
        // Stop comes first in the array: with both signalled it wins, even
        // with tasks pending.
        HANDLE events[2] = {m_hStopEvent.get(), m_hTaskEvent.get()};
        if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            return 1;
        }
        DownloadTask task;
        while (TakeNextTask(task)) {
            if (!ProcessTask(task)) {
                m_nState = THREAD_STATE_ENDED;
                return 0;
            }
        }
    }
}

bool CDownloadThread::TakeNextTask(DownloadTask& task) {
    std::lock_guard<std::mutex> guard(m_lock);
    // Reset in the same step as the take: a task appended after it finds the
    // event signalled again by its producer, so none is left waiting.
    ::ResetEvent(m_hTaskEvent.get());
    if (m_vecTasks.empty()) {
        return false;
    }
    task = std::move(m_vecTasks.front());
    m_vecTasks.erase(m_vecTasks.begin());
    return true;
}

void CDownloadThread::StoreResult(const DownloadTask& task) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_mapResults[task.nTaskId] = task;
}

bool CDownloadThread::ProcessTask(DownloadTask& task) {
    for (int attempt = 1;; ++attempt) {
        std::wstring localPath;
        if (DownloadOnce(task, localPath)) {
            task.strUrl = localPath;
            // Stored before the post: the window reads the result when the message arrives.
            StoreResult(task);
            ::PostMessageW(task.hNotifyWnd, task.uNotifyMsg, kSucceeded, task.nTaskId);
            return true;
        }
        if (!task.bRetry || attempt >= kMaxAttempts) {
            ::PostMessageW(task.hNotifyWnd, task.uNotifyMsg, kFailed, task.nTaskId);
            return true;
        }
        if (CheckPoint(m_dwRetryPauseMs) == CHECK_STOP || CheckPoint(0) == CHECK_STOP) {
            return false;
        }
    }
}

bool CDownloadThread::DownloadOnce(const DownloadTask& task, std::wstring& localPath) {
    wchar_t path[MAX_PATH] = {};
    const wchar_t* url = task.strUrl.c_str();
    // Another copy in the cache would be served instead of a fresh download.
    ::DeleteUrlCacheEntryW(url);

    const bool toFile = !task.strSavePath.empty();
    if (toFile) {
        // A path that does not fit is never cut: the file would land elsewhere.
        const DWORD length = ::ExpandEnvironmentStringsW(task.strSavePath.c_str(), path, MAX_PATH);
        if (length == 0 || length > MAX_PATH) {
            return false;
        }
    }

    // What lay at the target before: a failed download removes only what it
    // wrote itself (Wine saves error pages and cut bodies), never a file it
    // did not touch.
    WIN32_FILE_ATTRIBUTE_DATA before = {};
    const bool existedBefore = toFile && ::GetFileAttributesExW(path, GetFileExInfoStandard, &before);

    CBindStatusCallback* callback = new (std::nothrow) CBindStatusCallback(m_nActivity, m_hStopEvent.get());
    if (callback == nullptr) {
        return false;
    }
    SetActiveCallback(callback);
    HRESULT hr = E_ABORT;
    // Checked after the callback is known to Stop: a stop either finds the
    // callback or is seen here, so no transfer starts after it.
    if (::WaitForSingleObject(m_hStopEvent.get(), 0) == WAIT_TIMEOUT) {
        hr = toFile ? ::URLDownloadToFileW(nullptr, url, path, 0, callback)
                    : ::URLDownloadToCacheFileW(nullptr, url, path, MAX_PATH, 0, callback);
    }
    SetActiveCallback(nullptr);

    if (toFile) {
        // The download left a full-size copy in the internet cache as well; a
        // package must not occupy the disk twice.
        ::DeleteUrlCacheEntryW(url);
    }
    path[MAX_PATH - 1] = L'\0';
    const DWORD status = callback->GetResponseCode();
    const bool succeeded =
        hr == S_OK && status >= 200 && status <= 299 && FileHoldsAnnouncedLength(path, callback->GetAnnouncedLength());
    callback->Release();
    if (succeeded) {
        localPath = path;
    } else if (toFile) {
        RemoveLeftover(path, existedBefore, before);
    }
    return succeeded;
}

void CDownloadThread::RemoveLeftover(const wchar_t* path, bool existedBefore, const WIN32_FILE_ATTRIBUTE_DATA& before) {
    WIN32_FILE_ATTRIBUTE_DATA after = {};
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &after) ||
        (after.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return;
    }
    const bool untouched = existedBefore && ::CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime) == 0 &&
                           before.nFileSizeLow == after.nFileSizeLow && before.nFileSizeHigh == after.nFileSizeHigh;
    if (!untouched) {
        ::DeleteFileW(path);
    }
}

void CDownloadThread::SetActiveCallback(CBindStatusCallback* callback) {
    std::lock_guard<std::mutex> guard(m_activeLock);
    m_pActiveCallback = callback;
}
