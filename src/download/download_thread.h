#pragma once

#include "download/download_task.h"
#include "download/thread_base.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>

class CBindStatusCallback;

// True for an http:// or https:// address (scheme in any letter case). The
// worker fetches nothing else: a file:// address would copy a local file
// into the game, and a UNC path would make Windows sign in to another
// machine. Any thread.
bool IsWebUrl(const std::wstring& url);

// The partial file this process downloads target into: beside it, so that
// putting it in place is a rename on the same volume, and named after the
// process, "<target>.<process id>.rvpart". Any thread.
std::wstring PartialPathOf(const std::wstring& target);
// Removes the partial files in folder that processes no longer running left
// behind (a killed run), and those under this process's id, which only an
// earlier process with the same id can have left: call it before this
// process writes its own partial files there. Those of other running
// processes stay. Any thread.
void RemoveLeftoverPartialFiles(const std::wstring& folder);
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
//
// A stop request ends the transfer in progress at once and makes every later
// transfer fail without a request, so the queue still drains in order (each
// task gets its message) but quickly; StopAndWait's FALSE means the thread is
// stuck in a download call that never returns, and the object must then be
// kept alive.
class CDownloadThread : public CThreadBase {
public:
    CDownloadThread();
    ~CDownloadThread() override;

    // Also aborts the transfer in progress: a stalled one gives no callback
    // that could notice the stop.
    void Stop() override;

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
    LONG GetActivityCount() const { return m_nActivity.load(std::memory_order_relaxed); }

    base::unique_event m_hTaskEvent;

protected:
    DWORD Run() override;

    // Pause between two attempts of a retrying task. A subclass may shorten
    // it (tests do, to reach the last attempt in reasonable time).
    DWORD m_dwRetryPauseMs = 1000;

private:
    // Everything below is worker-thread state except where marked.
    bool TakeNextTask(DownloadTask& task);
    // cachedUrl: the URL under which the download left a copy in the
    // internet cache, or empty.
    void StoreResult(const DownloadTask& task, bool succeeded, const std::wstring& cachedUrl);
    // Removes the internet cache's copies of downloads whose outcome was not
    // taken. Once the worker has ended.
    void ForgetCachedCopies() noexcept;
    // Downloads, retries and posts; false when a stop ended a retry pause
    // (the thread then gives up).
    bool ProcessTask(DownloadTask& task);
    // One attempt; on success localPath is the downloaded file.
    bool DownloadOnce(const DownloadTask& task, std::wstring& localPath);
    void SetActiveCallback(CBindStatusCallback* callback);
    // Removes the leftover partial files of the folder target lies in, the
    // first time this worker writes there.
    void CleanFolderOnce(const std::wstring& target);

    int m_nNextTaskId = 0;     // owner's thread only
    mutable std::mutex m_lock; // guards m_vecTasks and m_mapResults, never held across a download, wait or post
    std::deque<DownloadTask> m_vecTasks;
    std::map<int, DownloadTask> m_mapResults;
    std::map<int, bool> m_mapOutcomes;             // ended tasks whose outcome has not been taken: true = succeeded
    std::map<int, std::wstring> m_mapCachedCopies; // untaken file downloads: the URL of their cache copy
    std::atomic<LONG> m_nActivity{0};
    std::set<std::wstring> m_setCleanedFolders; // folders already rid of leftover partial files

    // The callback of the transfer in progress, for Stop on the owner's thread.
    std::mutex m_activeLock;
    CBindStatusCallback* m_pActiveCallback = nullptr;
};
