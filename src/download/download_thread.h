#pragma once

#include "digest/fetch_rules.h"
#include "download/download_task.h"
#include "download/partial_files.h"
#include "download/retry_rules.h"
#include "download/thread_base.h"
#include "download/transfer.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CHttpEngine;
struct TransferTarget;

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
// and then puts in place with PlaceDownloadedFile. Before it writes a
// partial file, the worker takes over a killed run's partial file of the
// same target, digest and URL (its resume record says so), and removes the
// other leftovers of that target (CLeftoverPartialFiles), and nothing else.
//
// A task that retries (bRetry) is tried again after a transient failure (a
// broken, refused or stalled connection, a cut or too slow body, a status
// that says "later"), with waits that grow, within RetryRules; each attempt
// continues from the bytes the last one kept when the server's validator
// allows. A file whose bytes were joined that way is checked against the
// list's digest before it is reported; if it differs it is fetched once more
// from its first byte. The last failed attempt ends the task with the
// failure message. A task that ends without its body keeps a partial file
// worth resuming (MiB of it, with a record and a listed digest) for the next
// run; otherwise the worker removes it, so an installed file stays as it was
// and nothing is left.
//
// A stop request ends the transfer in progress at once (the worker never
// waits inside a network call: CWinHttpEngine); the tasks still queued are
// then taken away whole, without a message or a result, and the thread
// ends. A stop costs the same for a queue of one task or of a hundred
// thousand.
//
// Every attempt is bounded (TransferBounds): stalls, a rate below the
// minimum over a sliding window, the disk's reserve for a body without a
// length, a body longer than it announced, and the file list's cap. A
// bound that breaks ends the attempt; whether another follows is the
// failure's to say.
class CDownloadThread : public CThreadBase {
public:
    CDownloadThread();
    ~CDownloadThread() override;

    // Gives the task the next id (also written into the caller's record) and
    // queues a copy. Does not wake the worker.
    void AddTask(DownloadTask& task);
    // Files the worker never takes for a killed run's leftovers, whatever
    // their names: every file of the package, handed over before its first
    // task is queued. Owner's thread.
    void ProtectFiles(std::vector<std::wstring> paths);
    // Copies the finished task with this id into the caller's record; leaves
    // the record as it was when the task failed or never existed.
    void GetTaskResult(int nTaskId, DownloadTask& task) const;

    enum TaskOutcome { TASK_UNKNOWN, TASK_SUCCEEDED, TASK_FAILED };
    // How the task with this id ended, once: the first call after the task
    // ended says so (and on success copies its result into the caller's
    // record, like GetTaskResult); every later call, and any call for a task
    // that has not ended or never existed, gives TASK_UNKNOWN. The window's
    // messages can be posted by any process: only this tells which are real.
    TaskOutcome TakeTaskOutcome(int nTaskId, DownloadTask& task);

    // Grows with every sign that bytes are arriving, and every second of a
    // wait between two attempts; a watchdog compares two readings to tell a
    // download that is being worked on from a stalled one.
    LONG GetActivityCount() const;

    base::unique_event m_hTaskEvent;

protected:
    DWORD Run() override;

    // The engine the worker's transfers run on, made on the worker thread.
    // A subclass may give another (tests script one).
    virtual std::unique_ptr<CHttpEngine> MakeEngine();

    // The bounds of every attempt, the retries' rules and the clock and
    // disk they are measured with; a subclass may shorten them (tests do).
    TransferBounds m_bounds;
    RetryRules m_retryRules;
    TransferSystem m_system;
    // The most the file list may bring, announced or not.
    int64_t m_nMaxListBytes = kMaxFileListBytes;
    // A partial file of at least this much is kept for the next run when its
    // task ends without its body (and it can be resumed at all).
    int64_t m_nKeepPartialBytes = int64_t{1} << 20;

private:
    // Everything below is worker-thread state except where marked.
    // The next task, or false when the queue is empty or a stop came; a
    // stop takes the whole queue away.
    bool TakeNextTask(DownloadTask& task);
    void StoreResult(const DownloadTask& task, bool succeeded);
    // Removes the partial files of downloads whose outcome was not taken.
    // Once the worker has ended.
    void ForgetUntakenFiles() noexcept;
    // Downloads, retries and posts; false when a stop ended a wait between
    // two attempts (the thread then gives up).
    bool ProcessTask(DownloadTask& task);
    // The partial file (or cache file) of a task, opened for writing, with a
    // killed run's bytes taken over when they match. False when there is
    // none to write (a path that does not fit, a missing folder, a stop).
    bool OpenTarget(const DownloadTask& task, TransferTarget& target, std::wstring& localPath);
    // Whether a file whose bytes were joined holds the listed digest; a
    // stop or an unreadable file says no.
    bool JoinedFileMatches(const std::wstring& path, const std::wstring& md5);
    // Waits waitMs between two attempts, a second at a time, each second
    // counted as activity; false when a stop came.
    bool WaitBeforeRetry(DWORD waitMs);

    // How one task ended, kept until the worker is destroyed.
    struct EndedTask {
        bool bSucceeded = false;
        bool bOutcomeTaken = false; // TakeTaskOutcome has told it
        DownloadTask result;        // the finished task; only of a success
    };

    int m_nNextTaskId = 0;     // owner's thread only
    mutable std::mutex m_lock; // guards m_vecTasks and m_mapEnded, never held across a download, wait or post
    std::deque<DownloadTask> m_vecTasks;
    std::vector<std::wstring> m_vecProtect; // handed over, not yet given to m_leftovers
    std::map<int, EndedTask> m_mapEnded;    // by task id
    std::atomic<LONG> m_nActivity{0};       // any thread
    CLeftoverPartialFiles m_leftovers;      // taken over or removed for each target before it is written
    std::unique_ptr<CHttpEngine> m_pEngine;
    uint32_t m_nJitterSeed = 0;
};
