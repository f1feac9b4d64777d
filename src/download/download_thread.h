#pragma once

#include "download/download_task.h"
#include "download/thread_base.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

class CBindStatusCallback;
struct TransferSignals;

// The most bytes the file list may have: its reader takes it whole into
// memory, and its download takes no more either.
constexpr int64_t kMaxFileListBytes = 16 * 1024 * 1024;

// True for an http:// or https:// address (scheme in any letter case). The
// worker fetches nothing else: a file:// address would copy a local file
// into the game, and a UNC path would make Windows sign in to another
// machine. Any thread.
bool IsWebUrl(const std::wstring& url);

// The partial file this process downloads target into: beside it, so that
// putting it in place is a rename on the same volume, and named after the
// process, "<target>.<process id>.rvpart". Any thread.
std::wstring PartialPathOf(const std::wstring& target);

// The partial files that killed runs left behind, removed target by target
// as this run is about to download into each target. A file is a leftover
// of target only when its name is exactly target's partial name under
// another process's id (target + ".<id>.rvpart", compared as Windows
// compares names) and that process is known to be gone: no process has the
// id, or the one that has it has ended. An id whose process cannot be asked
// about (OpenProcess refused, as for another user's or an elevated process)
// counts as alive, this process's own id is never a leftover (its partial
// files are this run's, some still waiting to be checked and placed), and a
// target this object was already asked about (a file of the package this
// run has downloaded, whatever its name) is never removed, nor is a
// read-only file or a folder. Targets name one folder when their full paths
// (GetFullPathNameW: either separator, doubled ones, "." and "..") agree
// without regard to case; each folder is read once, in one pass, when the
// first of its targets comes. One thread at a time.
class CLeftoverPartialFiles {
public:
    // Call before writing target's own partial file. Nothing is removed for
    // a path whose full form cannot be made, or without memory to read its
    // folder.
    void RemoveFor(const std::wstring& target) noexcept;

protected:
    // How a partial file's process is looked up. A subclass may replace it:
    // tests do, to meet the refusal that Wine never gives.
    decltype(&::OpenProcess) m_pfnOpenProcess = ::OpenProcess;

private:
    bool ProcessIsGone(DWORD id) const;
    // Notes the partial files of other processes in folder (full, with its
    // backslash). Throws std::bad_alloc.
    void ReadFolder(const std::wstring& folder);

    // Orders full paths as Windows compares file names: ordinal, without regard to case.
    struct NameLess {
        bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
    };

    std::set<std::wstring, NameLess> m_setReadFolders; // full folder paths, backslash at the end
    std::set<std::wstring, NameLess> m_setTargets;     // full paths of the targets asked about
    // Partial files of other processes found in the folders read, by the
    // full path of their target; an entry goes once its target is asked about.
    std::multimap<std::wstring, std::wstring, NameLess> m_mapLeftovers;
};
// Puts the partial file of a finished download (its task's strUrl) in place
// of its target in one step, replacing an older file and writing through.
// False when the target cannot be replaced (read-only, a folder, held open
// by a running program); the partial file is then removed and the target is
// left as it was. Any thread.
bool PlaceDownloadedFile(const std::wstring& partialPath);
// Removes the partial file of a download whose file is not wanted after all
// (its digest differed). Any thread.
void DiscardDownloadedFile(const std::wstring& partialPath);

// The download worker: one thread that downloads queued tasks one at a time,
// in queueing order, and posts each task's uNotifyMsg to its window
// (wParam 0 on success, (WPARAM)-1 on failure, lParam the task id).
// AddTask, GetTaskResult and the control calls: the owner's thread.
// m_hTaskEvent: signalled by the owner after a batch of AddTask calls.
// GetActivityCount: any thread, without a lock.
//
// A task with a save path is downloaded into a partial file beside its target
// (PartialPathOf); the target itself is never written by the worker. On
// success the task's strUrl names the partial file, which the owner checks
// and then puts in place with PlaceDownloadedFile; on any failure the worker
// removes the partial file itself, so an installed file stays as it was.
// Before it writes a partial file, the worker removes the leftovers of the
// same target that killed runs left (CLeftoverPartialFiles), and nothing else.
//
// A stop request ends the transfer in progress at once and makes every later
// transfer fail without a request, so the queue still drains in order (each
// task gets its message) but quickly. The worker itself aborts the transfer:
// it runs the binding in its own message loop and watches the stop event
// there, so no other thread ever calls into a binding. StopAndWait's FALSE
// means the thread is stuck inside the moniker for good, and the object must
// then be kept alive; the partial file of that transfer stays behind for the
// next run's clean-up.
//
// Every transfer is bounded (the limits below): a body is refused past its
// announced length, past the cap for a body without one, and the file list
// past kMaxFileListBytes; and from the end of the first minute on it must
// have kept an average rate. A transfer that breaks a bound fails like any
// other.
class CDownloadThread : public CThreadBase {
public:
    CDownloadThread();
    ~CDownloadThread() override;

    // Gives the task the next id (also written into the caller's record) and
    // queues a copy. Does not wake the worker.
    void AddTask(DownloadTask& task);
    // Copies the finished task with this id into the caller's record; leaves
    // the record as it was when the task failed or never existed.
    void GetTaskResult(int nTaskId, DownloadTask& task) const;

    enum TaskOutcome { TASK_UNKNOWN, TASK_SUCCEEDED, TASK_FAILED };
    // How the task with this id ended, once: the first call after the task
    // ended says so (and on success copies its result into the caller's
    // record, like GetTaskResult); every later call, and any call for a task
    // that has not ended or never existed, gives TASK_UNKNOWN. The window's
    // messages can be posted by any process: only this tells which are real.
    // Taking a file download's outcome also removes the copy that the
    // download left in the internet cache; the worker removes those of
    // outcomes never taken when it is destroyed.
    TaskOutcome TakeTaskOutcome(int nTaskId, DownloadTask& task);

    // Grows with every sign that bytes are arriving; a watchdog compares two
    // readings to tell a slow download from a stalled one.
    LONG GetActivityCount() const;

    base::unique_event m_hTaskEvent;

protected:
    DWORD Run() override;

    // Pause between two attempts of a retrying task. A subclass may shorten
    // it (tests do, to reach the last attempt in reasonable time).
    DWORD m_dwRetryPauseMs = 1000;
    // The bounds of one transfer; a subclass may shorten them (tests do).
    // From m_dwRateGraceMs after its start on, a transfer must have brought
    // m_nMinBytesPerSecond for every second since it began.
    DWORD m_dwRateGraceMs = 60 * 1000;
    int64_t m_nMinBytesPerSecond = 4096;
    // The most a body without an announced length (chunked, ended by the
    // close, or encoded) may bring.
    int64_t m_nMaxUnannouncedBytes = int64_t{256} * 1024 * 1024;
    // The most the file list may bring, announced or not.
    int64_t m_nMaxListBytes = kMaxFileListBytes;
    // How long an aborted binding has to confirm its end before the worker
    // leaves it behind (its callback writes nothing more).
    DWORD m_dwAbortWaitMs = 2000;

private:
    // Everything below is worker-thread state except where marked.
    bool TakeNextTask(DownloadTask& task);
    // cachedUrl: the URL under which the download left a copy in the
    // internet cache, or empty.
    void StoreResult(const DownloadTask& task, bool succeeded, const std::wstring& cachedUrl);
    // Removes the internet cache's copies and the partial files of downloads
    // whose outcome was not taken. Once the worker has ended.
    void ForgetCachedCopies() noexcept;
    // Downloads, retries and posts; false when a stop ended a retry pause
    // (the thread then gives up).
    bool ProcessTask(DownloadTask& task);
    // One attempt; on success localPath is the downloaded file.
    bool DownloadOnce(const DownloadTask& task, std::wstring& localPath);
    // Binds url with callback and pumps this thread's messages until the
    // binding has stopped, aborting it on a stop request or a broken bound.
    // S_OK when the binding ran; the callback tells how it ended.
    HRESULT RunBinding(const wchar_t* url, CBindStatusCallback* callback);
    // From the grace period on: fewer bytes than the minimum rate asks for.
    bool TooSlow(int64_t bytes, ULONGLONG elapsedMs) const noexcept;

    int m_nNextTaskId = 0;     // owner's thread only
    mutable std::mutex m_lock; // guards m_vecTasks and m_mapResults, never held across a download, wait or post
    std::deque<DownloadTask> m_vecTasks;
    std::map<int, DownloadTask> m_mapResults;
    std::map<int, bool> m_mapOutcomes;             // ended tasks whose outcome has not been taken: true = succeeded
    std::map<int, std::wstring> m_mapCachedCopies; // untaken file downloads: the URL of their cache copy
    std::shared_ptr<TransferSignals> m_pSignals;   // shared with the callbacks, which may outlive this object
    CLeftoverPartialFiles m_leftovers;             // removed for each target before it is written
};
