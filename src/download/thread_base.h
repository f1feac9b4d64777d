#pragma once

#include "base/unique_handle.h"

#include <atomic>

#include <windows.h>

enum ThreadState : LONG {
    THREAD_STATE_IDLE = 0,    // constructed, never started
    THREAD_STATE_PAUSED = 1,  // paused, or started deferred (no thread yet)
    THREAD_STATE_RUNNING = 2, // thread created and not paused
    THREAD_STATE_ENDED = 3,   // the thread could not be made, or its body gave up after a stop
};

enum CheckPointResult : int {
    CHECK_STOP = 0,
    CHECK_CONTINUE = 1,
    CHECK_RESUMED = 2,
};

// One thread with stop, pause and resume requests and a small state machine.
// The owner's thread calls Start, Pause, Resume, Stop and StopAndWait; the
// thread body calls CheckPoint. The events may be signalled from any thread.
// The object must outlive its thread: a subclass calls EndThreadBeforeDestruction
// first thing in its destructor, while its own members still exist.
class CThreadBase {
public:
    CThreadBase();
    virtual ~CThreadBase();
    CThreadBase(const CThreadBase&) = delete;
    CThreadBase& operator=(const CThreadBase&) = delete;

    // Returns the new state. While a thread of this object still runs, no
    // second one is made (two would take tasks from one queue) and nothing
    // changes.
    virtual LONG Start(BOOL bDeferred);
    virtual void Pause();
    virtual void Resume();
    virtual void Stop();
    virtual LONG GetState() const;
    virtual HANDLE GetThreadHandle() const;

    // CHECK_STOP when a stop was requested within dwTimeoutMs (or a wait
    // failed); CHECK_CONTINUE when not paused; CHECK_RESUMED after a pause.
    int CheckPoint(DWORD dwTimeoutMs);

    // How long StopAndWait gives the thread to end. A transfer gives up its
    // wait within milliseconds (no network call ever holds the worker); the
    // bound is for a disk that keeps a write or a read waiting.
    static constexpr DWORD kStopWaitMs = 3000;

    // Requests a stop and waits up to kStopWaitMs for the thread. Returns TRUE
    // when no thread runs any more (or none was ever made). FALSE means the
    // thread still runs and still uses this object: the owner must not
    // delete it then.
    BOOL StopAndWait();

    static DWORD WINAPI ThreadProc(LPVOID param);

protected:
    virtual DWORD Run() = 0;

    // For destructors: stops the thread with StopAndWait's bound. A thread
    // that still runs after it would go on using a freed object, so it is
    // terminated as the last resort; an owner that heeds StopAndWait's FALSE
    // (and keeps the object) never gets here with a running thread.
    void EndThreadBeforeDestruction() noexcept;

    base::unique_event m_hStopEvent;
    base::unique_event m_hPauseEvent;
    base::unique_event m_hResumeEvent;
    std::atomic<LONG> m_nState{THREAD_STATE_IDLE};
    base::unique_handle m_hThread;
};
