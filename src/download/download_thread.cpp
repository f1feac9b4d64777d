#include "download/download_thread.h"

#include "base/scope_guards.h"
#include "download/bind_status_callback.h"

#include <cwchar>
#include <new>
#include <string>

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

// Written after the target's own name and this process's id: never taken for
// an installed file, and two instances updating one folder at once never
// write into each other's copy.
const wchar_t kPartialSuffix[] = L".rvpart";
constexpr size_t kPartialSuffixLength = sizeof(kPartialSuffix) / sizeof(kPartialSuffix[0]) - 1;

// The target of a partial path: the path without ".<process id>.rvpart";
// empty when it is not one.
std::wstring TargetOfPartial(const std::wstring& partialPath) {
    if (partialPath.size() <= kPartialSuffixLength ||
        partialPath.compare(partialPath.size() - kPartialSuffixLength, kPartialSuffixLength, kPartialSuffix) != 0) {
        return std::wstring();
    }
    const size_t idEnd = partialPath.size() - kPartialSuffixLength;
    const size_t dot = partialPath.rfind(L'.', idEnd - 1);
    if (dot == std::wstring::npos || dot == 0 || dot + 1 == idEnd ||
        partialPath.find_first_not_of(L"0123456789", dot + 1) != idEnd) {
        return std::wstring();
    }
    return partialPath.substr(0, dot);
}

// Removes a partial file, also one a user or a crash left read-only.
void RemovePartialFile(const wchar_t* path) {
    ::SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path);
}

// The body of the thread that aborts the transfer in progress for Stop. The
// worker downloads in the multithreaded apartment and this thread joins it,
// so the binding's interface pointer is as valid here as on the worker, and
// the callback's reference keeps both alive for the call. Should the abort
// itself never return, only this thread waits, and the process ends past it.
DWORD WINAPI AbortTransfer(LPVOID param) {
    auto* callback = static_cast<CBindStatusCallback*>(param);
    {
        const base::CComInit com(COINIT_MULTITHREADED);
        callback->Abort();
    }
    callback->Release();
    return 0;
}

} // namespace

std::wstring PartialPathOf(const std::wstring& target) {
    return target + L"." + std::to_wstring(::GetCurrentProcessId()) + kPartialSuffix;
}

void RemoveLeftoverPartialFiles(const std::wstring& folder) {
    // One pass over the folder: the pattern's directory read costs in
    // proportion to the folder's size, once per folder rather than per file.
    std::wstring prefix = folder;
    if (!prefix.empty() && prefix.back() != L'\\' && prefix.back() != L'/') {
        prefix += L'\\';
    }
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((prefix + L"*" + kPartialSuffix).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    const DWORD self = ::GetCurrentProcessId();
    do {
        const std::wstring path = prefix + found.cFileName;
        const std::wstring target = TargetOfPartial(path);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || target.empty()) {
            continue;
        }
        // Only a copy whose process is gone, or one under this process's id,
        // which an earlier process with the same id left: a running instance
        // may be writing or checking its own.
        const std::wstring id = path.substr(target.size() + 1, path.size() - target.size() - 1 - kPartialSuffixLength);
        const DWORD ownerId = static_cast<DWORD>(std::wcstoul(id.c_str(), nullptr, 10));
        bool running = false;
        if (ownerId != self) {
            HANDLE owner = ::OpenProcess(SYNCHRONIZE, FALSE, ownerId);
            running = owner != nullptr && ::WaitForSingleObject(owner, 0) == WAIT_TIMEOUT;
            if (owner != nullptr) {
                ::CloseHandle(owner);
            }
        }
        if (!running) {
            RemovePartialFile(path.c_str());
        }
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
}

bool PlaceDownloadedFile(const std::wstring& partialPath) {
    const std::wstring target = TargetOfPartial(partialPath);
    if (target.empty()) {
        return false;
    }
    // A read-only file is one the user or the game keeps from being changed;
    // Windows refuses to replace it, and so does this program on every system.
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    const bool replaceable = attributes == INVALID_FILE_ATTRIBUTES ||
                             (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (replaceable &&
        ::MoveFileExW(partialPath.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    RemovePartialFile(partialPath.c_str());
    return false;
}

void DiscardDownloadedFile(const std::wstring& partialPath) {
    RemovePartialFile(partialPath.c_str());
}

bool IsWebUrl(const std::wstring& url) {
    return _wcsnicmp(url.c_str(), L"http://", 7) == 0 || _wcsnicmp(url.c_str(), L"https://", 8) == 0;
}

CDownloadThread::CDownloadThread() : m_hTaskEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CDownloadThread::~CDownloadThread() {
    // The thread uses the queue and the result table: it must be gone before they are.
    EndThreadBeforeDestruction();
    // Downloads whose outcome no one took (the run ended first) leave no copy behind.
    ForgetCachedCopies();
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
    if (callback == nullptr) {
        return;
    }
    // The aborting thread owns the reference from here on. Without it the
    // transfer still ends at its next callback; a stalled one by the bound of
    // the caller's wait.
    HANDLE aborter = ::CreateThread(nullptr, 0, AbortTransfer, callback, 0, nullptr);
    if (aborter != nullptr) {
        ::CloseHandle(aborter);
    } else {
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

CDownloadThread::TaskOutcome CDownloadThread::TakeTaskOutcome(int nTaskId, DownloadTask& task) {
    std::wstring cachedUrl;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto ended = m_mapOutcomes.find(nTaskId);
        if (ended == m_mapOutcomes.end()) {
            return TASK_UNKNOWN;
        }
        const bool succeeded = ended->second;
        m_mapOutcomes.erase(ended);
        if (!succeeded) {
            return TASK_FAILED;
        }
        const auto found = m_mapResults.find(nTaskId);
        if (found != m_mapResults.end()) {
            task = found->second;
        }
        const auto cached = m_mapCachedCopies.find(nTaskId);
        if (cached != m_mapCachedCopies.end()) {
            cachedUrl.swap(cached->second);
            m_mapCachedCopies.erase(cached);
        }
    }
    // On the taker's thread, outside the lock: the worker is already on its
    // next transfer, and a cache call costs about half a millisecond under
    // Wine, a good part of a small file's whole download.
    if (!cachedUrl.empty()) {
        ::DeleteUrlCacheEntryW(cachedUrl.c_str());
    }
    return TASK_SUCCEEDED;
}

DWORD CDownloadThread::Run() {
    // The multithreaded apartment: Stop aborts a transfer from a thread of
    // its own, which may then call the binding directly.
    const base::CComInit com(COINIT_MULTITHREADED);
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
    std::lock_guard<std::mutex> guard(m_lock);
    if (succeeded) {
        m_mapResults[task.nTaskId] = task;
        if (!cachedUrl.empty()) {
            m_mapCachedCopies[task.nTaskId] = cachedUrl;
        }
    }
    m_mapOutcomes[task.nTaskId] = succeeded;
}

void CDownloadThread::ForgetCachedCopies() noexcept {
    std::map<int, std::wstring> copies;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        copies.swap(m_mapCachedCopies);
    }
    for (const auto& copy : copies) {
        ::DeleteUrlCacheEntryW(copy.second.c_str());
    }
}

bool CDownloadThread::ProcessTask(DownloadTask& task) {
    for (int attempt = 1;; ++attempt) {
        std::wstring localPath;
        if (DownloadOnce(task, localPath)) {
            // A file download also left a copy in the internet cache, which
            // goes when the outcome is taken.
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
        CleanFolderOnce(target);
    }

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

    path[MAX_PATH - 1] = L'\0';
    const DWORD status = callback->GetResponseCode();
    const bool succeeded =
        hr == S_OK && status >= 200 && status <= 299 && FileHoldsAnnouncedLength(path, callback->GetAnnouncedLength());
    callback->Release();
    if (succeeded) {
        localPath = path;
    } else if (toFile) {
        // The download may have left a copy in the internet cache as well;
        // a package must not occupy the disk twice.
        ::DeleteUrlCacheEntryW(url);
        RemovePartialFile(path);
    }
    return succeeded;
}

void CDownloadThread::CleanFolderOnce(const std::wstring& target) {
    const size_t separator = target.find_last_of(L"\\/");
    const std::wstring folder = separator == std::wstring::npos ? std::wstring() : target.substr(0, separator + 1);
    try {
        if (!m_setCleanedFolders.insert(folder).second) {
            return;
        }
    } catch (const std::bad_alloc&) {
        // Not remembered: the folder is looked through again next time.
    }
    RemoveLeftoverPartialFiles(folder);
}

void CDownloadThread::SetActiveCallback(CBindStatusCallback* callback) {
    std::lock_guard<std::mutex> guard(m_activeLock);
    m_pActiveCallback = callback;
}
