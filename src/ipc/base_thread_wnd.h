#pragma once

#include "window/window_impl.h"

#include <atomic>

#include <windows.h>

// A hidden message-only window created and pumped by a thread of its own.
// StartThread and the owner's destructor: the owner's thread; the window's
// messages: the window's own thread.
template <class T>
class CBaseThreadWnd : public ATL::CWindowImpl<T, ATL::CWindow, ATL::CControlWinTraits> {
public:
    // Starts the thread when there is none and waits, up to 100 polls 5 ms
    // apart, until its window is ready.
    void StartThread();
    virtual BOOL IsReady();

protected:
    virtual LRESULT OnCreate();
    virtual LRESULT OnDestroy();

    static DWORD WINAPI ThreadMain(LPVOID param);

    HANDLE m_hThread = nullptr;
    std::atomic<LONG> m_bReady{0};
};
