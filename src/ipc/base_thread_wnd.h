#pragma once

#include "base/messages.h"
#include "base/unique_handle.h"
#include "window/window_impl.h"

#include <atomic>

#include <windows.h>

// A hidden message-only window created and pumped by a thread of its own.
// T derives from CBaseThreadWnd<T> and lets ProcessThreadWndMessage handle
// WM_CREATE, WM_DESTROY, WM_CLOSE and WM_IPC_STOP before its own message map.
//
// Only the owner ends the window. The window's handle travels in every block
// header, so any process can post to it: WM_CLOSE is swallowed, and the
// private stop message (also in reach of anyone) counts only after StopThread
// has set m_bStopping. A WM_QUIT posted to the window or its thread ends the
// loop only once the window is gone.
// StartThread, IsReady, GetThreadWnd and the destructor: the owner's thread.
// OnCreate, OnDestroy and every message of the window: the window's thread.
template <class T>
class CBaseThreadWnd : public ATL::CWindowImpl<T, ATL::CWindow, ATL::CControlWinTraits> {
public:
    CBaseThreadWnd() = default;
    ~CBaseThreadWnd() override { StopThread(); }

    // Starts the thread when there is none and waits, up to 100 polls 5 ms
    // apart, until its window is ready. Returns at once when a thread exists.
    void StartThread();
    // The window exists and has not begun to be destroyed.
    virtual BOOL IsReady();
    // The thread's window as other threads may name it (to post to it); null
    // before it is created.
    HWND GetThreadWnd() const { return m_hThreadWnd.load(); }

protected:
    virtual LRESULT OnCreate();
    virtual LRESULT OnDestroy();
    // WM_IPC_STOP: destroys the window when the owner has asked for it.
    LRESULT OnStop();
    // The messages of the window's life; TRUE when uMsg was one of them.
    BOOL ProcessThreadWndMessage(UINT uMsg, LRESULT& lResult);

    // Closes the window and ends the thread: posts WM_IPC_STOP, waits up to
    // kStopWaitMs, and ends a thread that is stuck by force. Owner's
    // thread. A derived class whose handlers use its own members calls it
    // first thing in its own destructor, before those members go.
    void StopThread();

    static DWORD WINAPI ThreadMain(LPVOID param);

    static constexpr int kReadyPolls = 100;
    static constexpr DWORD kReadyPollMs = 5;
    static constexpr DWORD kStopWaitMs = 1000;

    base::unique_handle m_hThread;
    // 1 from WM_CREATE to WM_DESTROY; written by the window's thread, polled
    // by the owner's (a stale read only delays or drops a message).
    std::atomic<LONG> m_bReady{0};
    // Set once before m_bReady, so whoever sees m_bReady sees the window.
    std::atomic<HWND> m_hThreadWnd{nullptr};
    // 1 once StopThread has begun: written by the owner's thread before it
    // posts WM_IPC_STOP, read by the window's.
    std::atomic<LONG> m_bStopping{0};
};

template <class T>
void CBaseThreadWnd<T>::StartThread() {
    if (m_hThread) {
        return;
    }
    m_bStopping.store(0);
    m_hThread.reset(::CreateThread(nullptr, 0, ThreadMain, static_cast<T*>(this), 0, nullptr));
    if (!m_hThread) {
        return;
    }
    for (int poll = 0; poll < kReadyPolls; ++poll) {
        if (IsReady()) {
            return;
        }
        // Waiting on the thread instead of sleeping: a thread that could not
        // make its window has ended, and there is nothing left to wait for.
        if (::WaitForSingleObject(m_hThread.get(), kReadyPollMs) == WAIT_OBJECT_0) {
            return;
        }
    }
}

template <class T>
BOOL CBaseThreadWnd<T>::IsReady() {
    return m_bReady.load() != 0 && ::IsWindow(m_hThreadWnd.load());
}

template <class T>
LRESULT CBaseThreadWnd<T>::OnCreate() {
    m_hThreadWnd.store(this->m_hWnd);
    m_bReady.store(1);
    return 0;
}

template <class T>
LRESULT CBaseThreadWnd<T>::OnDestroy() {
    m_bReady.store(0);
    ::PostQuitMessage(0);
    return 0;
}

template <class T>
LRESULT CBaseThreadWnd<T>::OnStop() {
    if (m_bStopping.load() != 0) {
        // Through the window layer, so that OnDestroy hears of it and ends
        // the thread's loop.
        this->DestroyWindow();
    }
    return 0;
}

template <class T>
BOOL CBaseThreadWnd<T>::ProcessThreadWndMessage(UINT uMsg, LRESULT& lResult) {
    lResult = 0;
    switch (uMsg) {
    case WM_CREATE:
        lResult = OnCreate();
        return TRUE;
    case WM_DESTROY:
        lResult = OnDestroy();
        return TRUE;
    case WM_IPC_STOP:
        lResult = OnStop();
        return TRUE;
    case WM_CLOSE:
        // Its default handling would destroy the window, and any process
        // may post it: handled as nothing.
        return TRUE;
    default:
        return FALSE;
    }
}

template <class T>
void CBaseThreadWnd<T>::StopThread() {
    const HWND hWnd = m_hThreadWnd.load();
    if (hWnd != nullptr && ::IsWindow(hWnd)) {
        m_bReady.store(0);
        m_bStopping.store(1);
        // OnStop destroys the window on its own thread, and OnDestroy ends
        // the thread's loop.
        ::PostMessageW(hWnd, WM_IPC_STOP, 0, 0);
    }
    if (m_hThread) {
        if (::WaitForSingleObject(m_hThread.get(), kStopWaitMs) != WAIT_OBJECT_0) {
            // A thread stuck in a handler would keep the owner (and the
            // process's exit) waiting for ever. Ending it can leave a lock it
            // held taken; that is the price of an exit that always comes.
            ::SuspendThread(m_hThread.get());
            ::TerminateThread(m_hThread.get(), 0);
            ::WaitForSingleObject(m_hThread.get(), kStopWaitMs);
        }
        m_hThread.reset();
    }
    m_bReady.store(0);
    m_hThreadWnd.store(nullptr);
    // The thread is gone and its windows with it; nothing may try to
    // destroy the window again.
    this->m_hWnd = nullptr;
}

template <class T>
DWORD WINAPI CBaseThreadWnd<T>::ThreadMain(LPVOID param) {
    T* self = static_cast<T*>(param);
    const ATL::CTimerCallbackFilter timerFilter;
    RECT rect = {0, 0, 1, 1};
    const HWND hWnd = self->Create(HWND_MESSAGE, rect);
    if (hWnd == nullptr) {
        return 1;
    }
    MSG msg;
    for (;;) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        // -1 is an error; that ends the loop as well, rather than spinning on it.
        if (got == -1) {
            break;
        }
        if (got == 0) {
            // WM_QUIT: OnDestroy's, or one that another process posted to
            // the window or the thread. Only a window that is gone ends it.
            if (!::IsWindow(hWnd)) {
                break;
            }
            continue;
        }
        ATL::DispatchQueuedMessage(msg);
    }
    return 0;
}
