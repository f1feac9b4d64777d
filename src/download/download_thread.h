#pragma once

#include "digest/fetch_rules.h"
#include "download/download_task.h"
#include "download/partial_files.h"
#include "download/thread_base.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class CBindStatusCallback;
struct TransferSignals;

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
    // Taking a file download's outcome also removes any copy of it in the
    // internet cache (the binding asks for none, but a system may keep one);
    // the worker removes those of outcomes never taken when it is destroyed.
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

    // How one task ended, kept until the worker is destroyed.
    struct EndedTask {
        bool bSucceeded = false;
        bool bOutcomeTaken = false; // TakeTaskOutcome has told it
        DownloadTask result;        // the finished task; only of a success
        std::wstring strCachedUrl;  // a file download's cache copy, until its outcome is taken
    };

    int m_nNextTaskId = 0;     // owner's thread only
    mutable std::mutex m_lock; // guards m_vecTasks and m_mapEnded, never held across a download, wait or post
    std::deque<DownloadTask> m_vecTasks;
    std::map<int, EndedTask> m_mapEnded;         // by task id
    std::shared_ptr<TransferSignals> m_pSignals; // shared with the callbacks, which may outlive this object
    CLeftoverPartialFiles m_leftovers;           // removed for each target before it is written
};
