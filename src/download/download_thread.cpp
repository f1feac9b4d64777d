#include "download/download_thread.h"

#include "base/messages.h"
#include "base/scope_guards.h"
#include "download/bind_status_callback.h"
#include "window/window_impl.h"

#include <cwchar>
#include <new>
#include <string>

#include <windows.h>
#include <shlwapi.h>
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

// How often the worker's message loop looks at the clock for a transfer's
// rate when the binding gives it nothing to do.
constexpr DWORD kBindingPollMs = 250;

// What the internet cache keeps as the headers of a download into it.
wchar_t kCacheHeaders[] = L"HTTP/1.0 200 OK\r\n\r\n";

} // namespace

CDownloadThread::CDownloadThread()
    : m_hTaskEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_pSignals(std::make_shared<TransferSignals>()) {}

CDownloadThread::~CDownloadThread() {
    // The thread uses the queue and the result table: it must be gone before they are.
    EndThreadBeforeDestruction();
    // Downloads whose outcome no one took (the run ended first) leave no copy behind.
    ForgetCachedCopies();
}

LONG CDownloadThread::GetActivityCount() const {
    return m_pSignals->nActivity.load(std::memory_order_relaxed);
}

void CDownloadThread::AddTask(DownloadTask& task) {
    task.nTaskId = m_nNextTaskId++;
    std::lock_guard<std::mutex> guard(m_lock);
    m_vecTasks.push_back(task);
}

void CDownloadThread::GetTaskResult(int nTaskId, DownloadTask& task) const {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto ended = m_mapEnded.find(nTaskId);
    if (ended != m_mapEnded.end() && ended->second.bSucceeded) {
        task = ended->second.result;
    }
}

CDownloadThread::TaskOutcome CDownloadThread::TakeTaskOutcome(int nTaskId, DownloadTask& task) {
    std::wstring cachedUrl;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto found = m_mapEnded.find(nTaskId);
        if (found == m_mapEnded.end() || found->second.bOutcomeTaken) {
            return TASK_UNKNOWN;
        }
        EndedTask& ended = found->second;
        ended.bOutcomeTaken = true;
        if (!ended.bSucceeded) {
            return TASK_FAILED;
        }
        task = ended.result;
        cachedUrl.swap(ended.strCachedUrl);
    }
    // On the taker's thread, outside the lock: the worker is already on its
    // next transfer. Cheap where there is no copy to remove (under Wine the
    // binding leaves none).
    if (!cachedUrl.empty()) {
        ::DeleteUrlCacheEntryW(cachedUrl.c_str());
    }
    return TASK_SUCCEEDED;
}

DWORD CDownloadThread::Run() {
    // A single-threaded apartment: every binding lives and ends on this
    // thread, in its message loop.
    const base::CComInit com(COINIT_APARTMENTTHREADED);
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
    m_vecTasks.pop_front();
    return true;
}

void CDownloadThread::StoreResult(const DownloadTask& task, bool succeeded, const std::wstring& cachedUrl) {
    EndedTask ended;
    ended.bSucceeded = succeeded;
    if (succeeded) {
        ended.result = task;
        ended.strCachedUrl = cachedUrl;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_mapEnded[task.nTaskId] = std::move(ended);
}

void CDownloadThread::ForgetCachedCopies() noexcept {
    std::map<int, EndedTask> ended;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ended.swap(m_mapEnded);
    }
    for (const auto& entry : ended) {
        const EndedTask& task = entry.second;
        if (!task.strCachedUrl.empty()) {
            ::DeleteUrlCacheEntryW(task.strCachedUrl.c_str());
        }
        // A file that arrived after the run had begun to end (its message held
        // back behind the box, or never handled) is neither checked nor placed:
        // its partial file goes with the worker.
        if (task.bSucceeded && !task.bOutcomeTaken && !task.result.strSavePath.empty()) {
            DiscardDownloadedFile(task.result.strUrl);
        }
    }
}

bool CDownloadThread::ProcessTask(DownloadTask& task) {
    for (int attempt = 1;; ++attempt) {
        std::wstring localPath;
        if (DownloadOnce(task, localPath)) {
            // The binding asks for no copy in the internet cache; a system
            // that keeps one all the same loses it when the outcome is taken.
            const std::wstring cachedUrl = task.strSavePath.empty() ? std::wstring() : task.strUrl;
            task.strUrl = localPath;
            // Stored before the post: the window reads the result when the message arrives.
            StoreResult(task, true, cachedUrl);
            ::PostMessageW(task.hNotifyWnd, task.uNotifyMsg, kSucceeded, task.nTaskId);
            return true;
        }
        if (!task.bRetry || attempt >= kMaxAttempts) {
            StoreResult(task, false, std::wstring());
            ::PostMessageW(task.hNotifyWnd, task.uNotifyMsg, kFailed, task.nTaskId);
            return true;
        }
        if (CheckPoint(m_dwRetryPauseMs) == CHECK_STOP || CheckPoint(0) == CHECK_STOP) {
            return false;
        }
    }
}

bool CDownloadThread::DownloadOnce(const DownloadTask& task, std::wstring& localPath) {
    const wchar_t* url = task.strUrl.c_str();
    if (!IsWebUrl(task.strUrl)) {
        return false;
    }
    // Another copy in the cache would be served instead of a fresh download.
    ::DeleteUrlCacheEntryW(url);

    wchar_t path[MAX_PATH] = {};
    const bool toFile = !task.strSavePath.empty();
    if (toFile) {
        // A path that does not fit is never cut: the file would land elsewhere.
        wchar_t target[MAX_PATH] = {};
        const DWORD length = ::ExpandEnvironmentStringsW(task.strSavePath.c_str(), target, MAX_PATH);
        if (length == 0 || length > MAX_PATH) {
            return false;
        }
        // Wine writes error pages and cut bodies to the file it is given, and
        // a killed run leaves half a file: neither may ever stand where the
        // installed file stands.
        const std::wstring partial = PartialPathOf(target);
        if (partial.size() >= MAX_PATH) {
            return false;
        }
        partial.copy(path, partial.size());
        m_leftovers.RemoveFor(target);
    } else {
        // Into the internet cache, as the moniker's own cache download does:
        // a file of the cache's making, committed once the body is whole.
        if (!::CreateUrlCacheEntryW(url, 0, ::PathFindExtensionW(url), path, 0)) {
            return false;
        }
        path[MAX_PATH - 1] = L'\0';
    }
    // A stop that came before is seen here, so no transfer starts after it.
    if (::WaitForSingleObject(m_hStopEvent.get(), 0) != WAIT_TIMEOUT) {
        if (!toFile) {
            RemovePartialFile(path);
        }
        return false;
    }

    HANDLE file = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // The target folder is missing, or the file is held: nothing was written.
        if (!toFile) {
            RemovePartialFile(path);
        }
        return false;
    }
    const bool isList = task.uNotifyMsg == WM_FILELIST_DONE;
    const int64_t maxBytes = isList ? m_nMaxListBytes : INT64_MAX;
    CBindStatusCallback* callback = new (std::nothrow)
        CBindStatusCallback(m_pSignals, file, maxBytes, isList ? m_nMaxListBytes : m_nMaxUnannouncedBytes);
    if (callback == nullptr) {
        ::CloseHandle(file);
        RemovePartialFile(path);
        return false;
    }
    const HRESULT hr = RunBinding(url, callback);
    // Whatever the binding still does (one that never confirmed its abort),
    // it writes nothing more.
    callback->CloseFile();

    const DWORD status = callback->GetResponseCode();
    bool succeeded = hr == S_OK && callback->Stopped() && callback->StopResult() == S_OK && !callback->Refused() &&
                     status >= 200 && status <= 299 && FileHoldsAnnouncedLength(path, callback->GetAnnouncedLength());
    callback->Release();
    if (succeeded && !toFile) {
        const FILETIME never = {};
        succeeded = ::CommitUrlCacheEntryW(url, path, never, never, NORMAL_CACHE_ENTRY, kCacheHeaders,
                                           static_cast<DWORD>(wcslen(kCacheHeaders)), nullptr, nullptr) != FALSE;
    }
    if (succeeded) {
        localPath = path;
    } else {
        // The download may have left a copy in the internet cache as well;
        // a package must not occupy the disk twice.
        ::DeleteUrlCacheEntryW(url);
        RemovePartialFile(path);
    }
    return succeeded;
}

HRESULT CDownloadThread::RunBinding(const wchar_t* url, CBindStatusCallback* callback) {
    IMoniker* moniker = nullptr;
    HRESULT hr = ::CreateURLMonikerEx(nullptr, url, &moniker, URL_MK_UNIFORM);
    if (FAILED(hr)) {
        return hr;
    }
    IBindCtx* context = nullptr;
    hr = ::CreateAsyncBindCtx(0, callback, nullptr, &context);
    if (SUCCEEDED(hr)) {
        IStream* stream = nullptr;
        // Returns at once (MK_S_ASYNCHRONOUS); the callback gets the rest.
        hr = moniker->BindToStorage(context, nullptr, IID_IStream, reinterpret_cast<void**>(&stream));
        if (stream != nullptr) {
            stream->Release();
        }
        context->Release();
    }
    moniker->Release();
    if (FAILED(hr)) {
        return hr;
    }

    // Every call into the binding happens here, on the thread that made it,
    // between two of its own steps: the abort can never meet its teardown.
    const ULONGLONG started = ::GetTickCount64();
    ULONGLONG abortedAt = 0;
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            // The binding's notification window is on this thread, where any
            // process can post to it.
            ATL::DispatchQueuedMessage(msg);
        }
        if (callback->Stopped()) {
            return S_OK;
        }
        const ULONGLONG now = ::GetTickCount64();
        if (abortedAt == 0) {
            if (::WaitForSingleObject(m_hStopEvent.get(), 0) != WAIT_TIMEOUT || callback->Refused() ||
                TooSlow(callback->BytesWritten(), now - started)) {
                abortedAt = now;
                callback->Abort();
                continue; // it may have stopped inside the call
            }
        } else if (now - abortedAt >= m_dwAbortWaitMs) {
            // The binding never confirmed its end: leave it to its callback.
            return E_ABORT;
        }
        // The stop event wakes the loop only until the abort; after it, only
        // the binding's messages and the clock do.
        HANDLE stop = m_hStopEvent.get();
        ::MsgWaitForMultipleObjectsEx(abortedAt == 0 ? 1 : 0, &stop, kBindingPollMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

bool CDownloadThread::TooSlow(int64_t bytes, ULONGLONG elapsedMs) const noexcept {
    if (elapsedMs < m_dwRateGraceMs) {
        return false;
    }
    // In milliseconds, so that no rate is rounded away; far from overflowing.
    return bytes < static_cast<int64_t>(elapsedMs / 1000) * m_nMinBytesPerSecond;
}
