#pragma once

#include "base/unique_handle.h"

#include <atomic>
#include <memory>
#include <string>

#include <windows.h>

// One downloaded file waiting for its digest. The owner makes it and keeps
// it; the digest thread fills in strDigest and then sets bDone, and never
// touches it again.
struct DigestJob {
    int nTaskId = 0;
    std::wstring strPath;  // the partial file
    std::string strDigest; // "" when the file could not be read (or the digest was given up)
    std::atomic<bool> bDone{false};
};

// The progress window's digest thread: digests downloaded files one after
// another, in the order they were handed to it, so that a large file's check
// never keeps the window from answering, while the worker already fetches
// the next file. After each file it posts uNotifyMsg to the window (wParam 0,
// lParam the job's task id); the window then looks at its own jobs, so a
// message another process posts tells it nothing.
//
// Every chunk read counts as activity (a large file on a slow disk is
// progress, not a stall), and a stop gives up the file in progress at its
// next chunk. Start, Add and the stops: the owner's thread;
// GetActivityCount: any thread. The thread keeps what it shares with the
// object alive itself, so the object may go even while a read that never
// returns holds the thread.
class CDigestThread {
public:
    CDigestThread() = default;
    ~CDigestThread();
    CDigestThread(const CDigestThread&) = delete;
    CDigestThread& operator=(const CDigestThread&) = delete;

    // Starts the thread; false when it cannot be made (the owner then
    // digests on its own thread, as Add's false tells it).
    bool Start(HWND hNotifyWnd, UINT uNotifyMsg);
    // Queues job; false without a running thread or without memory for it.
    bool Add(const std::shared_ptr<DigestJob>& job);
    LONG GetActivityCount() const;
    // Gives up the digest in progress and every queued one, and returns at
    // once; no message is posted from then on.
    void RequestStop();
    // RequestStop, then waits up to waitMs for the thread: true when it no
    // longer runs (or never ran), so no file of a job is open any more.
    bool StopAndWait(DWORD waitMs);

private:
    struct Shared;

    std::shared_ptr<Shared> m_pShared;
    base::unique_handle m_hThread;
};

// Digests job's file on the calling thread and marks it done.
void DigestNow(DigestJob& job);
