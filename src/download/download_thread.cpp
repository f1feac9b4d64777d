#include "download/download_thread.h"

#include "base/messages.h"
#include "base/scope_guards.h"
#include "digest/md5.h"
#include "download/winhttp_engine.h"

#include <cwchar>
#include <new>
#include <string>

#include <windows.h>
#include <shlwapi.h>
#include <wininet.h>

namespace {

const WPARAM kSucceeded = 0;
const WPARAM kFailed = static_cast<WPARAM>(-1);

// Who is asking, with its version: a server's logs and its operators see
// this program, not a browser.
const wchar_t kUserAgent[] = L"RadeVare/" RADEVARE_VERSION_TEXT;

// What the internet cache keeps as the headers of a download into it.
wchar_t kCacheHeaders[] = L"HTTP/1.0 200 OK\r\n\r\n";

// Counts every chunk a digest reads as activity, and gives the digest up
// when the worker is asked to stop.
class CActivityObserver final : public CDigestObserver {
public:
    CActivityObserver(HANDLE stop, std::atomic<LONG>& activity) noexcept : m_hStop(stop), m_nActivity(activity) {}
    bool OnChunk() noexcept override {
        ++m_nActivity;
        return ::WaitForSingleObject(m_hStop, 0) == WAIT_TIMEOUT;
    }

private:
    HANDLE m_hStop;
    std::atomic<LONG>& m_nActivity;
};

} // namespace

CDownloadThread::CDownloadThread()
    : m_hTaskEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_nJitterSeed(::GetTickCount() ^ (::GetCurrentProcessId() << 16)) {}

CDownloadThread::~CDownloadThread() {
    // The thread uses the queue and the result table: it must be gone before they are.
    EndThreadBeforeDestruction();
    // Downloads whose outcome no one took (the run ended first) leave nothing behind.
    ForgetUntakenFiles();
}

std::unique_ptr<CHttpEngine> CDownloadThread::MakeEngine() {
    return std::unique_ptr<CHttpEngine>(new (std::nothrow) CWinHttpEngine(m_hStopEvent.get(), kUserAgent));
}

LONG CDownloadThread::GetActivityCount() const {
    return m_nActivity.load(std::memory_order_relaxed);
}

void CDownloadThread::AddTask(DownloadTask& task) {
    task.nTaskId = m_nNextTaskId++;
    std::lock_guard<std::mutex> guard(m_lock);
    m_vecTasks.push_back(task);
}

void CDownloadThread::ProtectFiles(std::vector<std::wstring> paths) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_vecProtect.empty()) {
        m_vecProtect.swap(paths);
    } else {
        m_vecProtect.insert(m_vecProtect.end(), paths.begin(), paths.end());
    }
}

void CDownloadThread::GetTaskResult(int nTaskId, DownloadTask& task) const {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto ended = m_mapEnded.find(nTaskId);
    if (ended != m_mapEnded.end() && ended->second.bSucceeded) {
        task = ended->second.result;
    }
}

CDownloadThread::TaskOutcome CDownloadThread::TakeTaskOutcome(int nTaskId, DownloadTask& task) {
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
    return TASK_SUCCEEDED;
}

DWORD CDownloadThread::Run() {
    // The worker's own apartment, as every thread that may call into the
    // system's shell and cache functions has one.
    const base::CComInit com(COINIT_APARTMENTTHREADED);
    // The engine lives and ends on this thread, with every transfer.
    m_pEngine = MakeEngine();
    const auto dropEngine = base::ScopeExit([this] { m_pEngine.reset(); });
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
        if (::WaitForSingleObject(m_hStopEvent.get(), 0) != WAIT_TIMEOUT) {
            // The queue went with the stop; nothing is left to do.
            m_nState = THREAD_STATE_ENDED;
            return 0;
        }
    }
}

bool CDownloadThread::TakeNextTask(DownloadTask& task) {
    std::deque<DownloadTask> dropped;
    std::vector<std::wstring> protect;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // Reset in the same step as the take: a task appended after it finds
        // the event signalled again by its producer, so none is left waiting.
        ::ResetEvent(m_hTaskEvent.get());
        // After a stop no queued task is looked at: the queue goes in one
        // step, and its memory is freed outside the lock.
        if (::WaitForSingleObject(m_hStopEvent.get(), 0) != WAIT_TIMEOUT) {
            dropped.swap(m_vecTasks);
            return false;
        }
        if (m_vecTasks.empty()) {
            return false;
        }
        task = std::move(m_vecTasks.front());
        m_vecTasks.pop_front();
        protect.swap(m_vecProtect);
    }
    // Before the task's own clean-up, so that no listed file is ever taken
    // for a leftover of it.
    if (!protect.empty()) {
        m_leftovers.Protect(protect);
    }
    return true;
}

void CDownloadThread::StoreResult(const DownloadTask& task, bool succeeded) {
    EndedTask ended;
    ended.bSucceeded = succeeded;
    if (succeeded) {
        ended.result = task;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_mapEnded[task.nTaskId] = std::move(ended);
}

void CDownloadThread::ForgetUntakenFiles() noexcept {
    std::map<int, EndedTask> ended;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ended.swap(m_mapEnded);
    }
    for (const auto& entry : ended) {
        const EndedTask& task = entry.second;
        // A file that arrived after the run had begun to end (its message held
        // back behind the box, or never handled) is neither checked nor placed:
        // its partial file goes with the worker.
        if (task.bSucceeded && !task.bOutcomeTaken && !task.result.strSavePath.empty()) {
            DiscardDownloadedFile(task.result.strUrl);
        }
    }
}

bool CDownloadThread::WaitBeforeRetry(DWORD waitMs) {
    // The wait is the run's own work, not a stall: the window's watchdog
    // sees it grow every second.
    ++m_nActivity;
    while (waitMs > 0) {
        const DWORD slice = waitMs < 1000 ? waitMs : 1000;
        if (CheckPoint(slice) == CHECK_STOP) {
            return false;
        }
        ++m_nActivity;
        waitMs -= slice;
    }
    return CheckPoint(0) != CHECK_STOP;
}

bool CDownloadThread::JoinedFileMatches(const std::wstring& path, const std::wstring& md5) {
    CActivityObserver observer(m_hStopEvent.get(), m_nActivity);
    CDigestBuffer buffer;
    const std::string digest = FileDigest(path.c_str(), buffer, &observer);
    if (digest.size() != md5.size()) {
        return false;
    }
    for (size_t i = 0; i < digest.size(); ++i) {
        if (towlower(static_cast<wchar_t>(digest[i])) != towlower(md5[i])) {
            return false;
        }
    }
    return true;
}

bool CDownloadThread::OpenTarget(const DownloadTask& task, TransferTarget& target, std::wstring& localPath) {
    if (!IsWebUrl(task.strUrl)) {
        return false;
    }
    const std::wstring& url = task.strUrl;
    wchar_t path[MAX_PATH] = {};
    const bool toFile = !task.strSavePath.empty();
    bool tookOver = false;
    ResumeRecord taken;
    if (toFile) {
        // A path that does not fit is never cut: the file would land elsewhere.
        wchar_t expanded[MAX_PATH] = {};
        const DWORD length = ::ExpandEnvironmentStringsW(task.strSavePath.c_str(), expanded, MAX_PATH);
        wchar_t full[MAX_PATH] = {};
        if (length == 0 || length > MAX_PATH) {
            return false;
        }
        const DWORD fullLength = ::GetFullPathNameW(expanded, MAX_PATH, full, nullptr);
        if (fullLength == 0 || fullLength >= MAX_PATH) {
            return false;
        }
        // Error pages, cut bodies and a killed run's half file may never
        // stand where the installed file stands.
        const std::wstring partial = PartialPathOf(expanded);
        if (partial.size() >= MAX_PATH) {
            return false;
        }
        partial.copy(path, partial.size());
        target.record.strTarget = full;
        target.record.strMd5 = task.strMd5;
        target.record.strUrl = url;
        // The file list is small and always fetched whole; a file's bytes
        // outlive this run only when a digest can vouch for them once joined.
        target.bMayResume = task.uNotifyMsg != WM_FILELIST_DONE;
        if (target.bMayResume && IsDigestText(task.strMd5)) {
            target.strRecordPath = RecordPathOf(partial);
            tookOver = m_leftovers.TakeOverFor(expanded, target.record, partial, taken);
        } else {
            m_leftovers.RemoveFor(expanded);
        }
    } else {
        // Into the internet cache: a file of the cache's making, committed
        // once the body is whole. An entry already there would be served
        // instead of a fresh download.
        ::DeleteUrlCacheEntryW(url.c_str());
        if (!::CreateUrlCacheEntryW(url.c_str(), 0, ::PathFindExtensionW(url.c_str()), path, 0)) {
            return false;
        }
        path[MAX_PATH - 1] = L'\0';
        target.bMayResume = false;
    }
    target.strPath = path;
    // A stop that came before is seen here, so no transfer starts after it.
    if (::WaitForSingleObject(m_hStopEvent.get(), 0) != WAIT_TIMEOUT) {
        if (!toFile || tookOver) {
            RemovePartialFile(path);
        }
        return false;
    }
    // Only this process writes the file: it is opened for writing by no one
    // else, and its name carries this process's id.
    HANDLE file =
        ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // The target folder is missing, or the file is held: nothing was written.
        if (!toFile || tookOver) {
            RemovePartialFile(path);
        }
        return false;
    }
    target.hFile = file;
    if (tookOver) {
        target.record.strValidator = taken.strValidator;
        target.record.nTotal = taken.nTotal;
        target.bRecordOnDisk = WriteResumeRecord(target.strRecordPath, target.record);
    } else {
        // Whatever a file of this name held (a run long gone with this
        // process's id) is not this download's.
        ::SetEndOfFile(file);
        if (!target.strRecordPath.empty()) {
            ::DeleteFileW(target.strRecordPath.c_str());
        }
    }
    localPath = path;
    return true;
}

bool CDownloadThread::ProcessTask(DownloadTask& task) {
    TransferTarget target;
    std::wstring localPath;
    bool succeeded = false;
    bool keep = false;
    bool stoppedWaiting = false;
    if (OpenTarget(task, target, localPath)) {
        const base::unique_file file(target.hFile);
        TransferBounds bounds = m_bounds;
        if (task.uNotifyMsg == WM_FILELIST_DONE) {
            bounds.nMaxBytes = m_nMaxListBytes;
        }
        CTransfer transfer(*m_pEngine, bounds, m_system, m_nActivity);
        CRetrySchedule schedule(m_retryRules, m_nJitterSeed = m_nJitterSeed * 1664525u + 1013904223u);
        LARGE_INTEGER size = {};
        ::GetFileSizeEx(file.get(), &size);
        int64_t mostHeld = size.QuadPart;
        for (;;) {
            AttemptResult attempt = transfer.Attempt(task.strUrl, target);
            if (attempt.failure == FAILURE_NONE && attempt.bJoined && IsDigestText(task.strMd5) &&
                !JoinedFileMatches(localPath, task.strMd5)) {
                if (::WaitForSingleObject(m_hStopEvent.get(), 0) != WAIT_TIMEOUT) {
                    attempt.failure = FAILURE_STOPPED;
                } else {
                    // The bytes kept and the bytes added are not one file:
                    // fetched once more from the first byte, and never joined
                    // again.
                    target.bMayResume = false;
                    target.bRecordOnDisk = false;
                    ::DeleteFileW(target.strRecordPath.c_str());
                    continue;
                }
            }
            if (attempt.failure == FAILURE_NONE) {
                succeeded = true;
                break;
            }
            // Progress is bytes the task never had before: a server that
            // sends the same first part again and again makes none.
            const bool progressed = attempt.nHeld - mostHeld >= m_retryRules.nProgressBytes;
            if (attempt.nHeld > mostHeld) {
                mostHeld = attempt.nHeld;
            }
            DWORD wait = 0;
            const bool again =
                attempt.failure != FAILURE_STOPPED && task.bRetry &&
                schedule.NextWait(attempt.failure, attempt.dwStatus, attempt.nRetryAfterMs, progressed, wait);
            if (again && WaitBeforeRetry(wait)) {
                continue;
            }
            stoppedWaiting = again;
            // What a later run can continue is kept: enough bytes, with the
            // record that vouches for them, cut off by the link or a stop,
            // not refused by the server.
            keep = target.bRecordOnDisk && attempt.nHeld >= m_nKeepPartialBytes &&
                   (attempt.failure == FAILURE_STOPPED || IsTransientFailure(attempt.failure, attempt.dwStatus));
            break;
        }
    }
    if (succeeded && task.strSavePath.empty()) {
        const FILETIME never = {};
        succeeded =
            ::CommitUrlCacheEntryW(task.strUrl.c_str(), localPath.c_str(), never, never, NORMAL_CACHE_ENTRY,
                                   kCacheHeaders, static_cast<DWORD>(wcslen(kCacheHeaders)), nullptr, nullptr) != FALSE;
    }
    if (succeeded) {
        task.strUrl = localPath;
        // Stored before the post: the window reads the result when the message arrives.
        StoreResult(task, true);
        ::PostMessageW(task.hNotifyWnd, task.uNotifyMsg, kSucceeded, task.nTaskId);
        return true;
    }
    if (!localPath.empty() && !keep) {
        RemovePartialFile(localPath.c_str());
    }
    if (stoppedWaiting) {
        // A stop came during a wait between two attempts: the thread gives up.
        return false;
    }
    StoreResult(task, false);
    ::PostMessageW(task.hNotifyWnd, task.uNotifyMsg, kFailed, task.nTaskId);
    return true;
}
