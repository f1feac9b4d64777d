#pragma once

#include <windows.h>

// The program's own thin window layer: a window wrapper, style traits, a
// window class description registered on first creation, and a window
// implementation template whose message map is one virtual function.
// The names follow the classic Windows template library the rest of the
// program is written against; nothing of it is used.
//
// How a window procedure finds its object: Create passes the object in
// lpCreateParams; WM_NCCREATE binds the window to it in a table of the
// layer's own; WM_NCDESTROY unbinds it and calls OnFinalMessage. This header
// and its source are the only place that knows. A window's messages run on
// the thread that created it.
//
// Any process on the desktop can post or send any message to our windows
// (and write their GWLP_USERDATA, which the layer therefore never reads). So
// the layer trusts none of the messages that bind or unbind an object unless
// it caused them itself: WM_NCCREATE and WM_CREATE only inside Create, for
// the object being made on this thread; WM_DESTROY and WM_NCDESTROY only
// inside Create (a creation that fails) or the layer's own DestroyWindow,
// which the default handling of WM_CLOSE also goes through. Any other copy
// of them is ignored.
namespace ATL {

template <DWORD t_dwStyle = 0, DWORD t_dwExStyle = 0>
class CWinTraits {
public:
    static DWORD GetWndStyle(DWORD dwStyle) { return dwStyle == 0 ? t_dwStyle : dwStyle; }
    static DWORD GetWndExStyle(DWORD dwExStyle) { return dwExStyle == 0 ? t_dwExStyle : dwExStyle; }
};

using CControlWinTraits = CWinTraits<WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0>;

// A window handle and a few calls on it; owns nothing.
class CWindow {
public:
    explicit CWindow(HWND hWnd = nullptr) noexcept : m_hWnd(hWnd) {}

    BOOL IsWindow() const noexcept { return ::IsWindow(m_hWnd); }
    BOOL ShowWindow(int nCmdShow) noexcept { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL DestroyWindow() noexcept;
    BOOL InvalidateRect(const RECT* rect, BOOL bErase) noexcept { return ::InvalidateRect(m_hWnd, rect, bErase); }
    UINT_PTR SetTimer(UINT_PTR id, UINT elapseMs) noexcept { return ::SetTimer(m_hWnd, id, elapseMs, nullptr); }
    BOOL KillTimer(UINT_PTR id) noexcept { return ::KillTimer(m_hWnd, id); }
    BOOL GetClientRect(RECT* rect) const noexcept { return ::GetClientRect(m_hWnd, rect); }
    BOOL GetWindowRect(RECT* rect) const noexcept { return ::GetWindowRect(m_hWnd, rect); }
    BOOL SetWindowPos(HWND after, int x, int y, int cx, int cy, UINT flags) noexcept {
        return ::SetWindowPos(m_hWnd, after, x, y, cx, cy, flags);
    }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) noexcept {
        return ::PostMessageW(m_hWnd, msg, wParam, lParam);
    }
    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) noexcept {
        return ::SendMessageW(m_hWnd, msg, wParam, lParam);
    }

    HWND m_hWnd;
};

// One window class. With a name the class is registered under it; without
// one a unique name "ATL:%p" is made from this description's address.
// Registration happens once per process, on the first Create, from any thread.
struct CWndClassInfo {
    WNDCLASSEXW m_wc;
    LPCWSTR m_lpszCursorID;
    ATOM m_atom;
    WCHAR m_szAutoName[5 + sizeof(void*) * 2 + 1];

    ATOM Register(WNDPROC proc) noexcept;
};

// The message map: one virtual function, a plain switch in every window
// class. It returns TRUE when it handled the message and then leaves the
// window procedure's result in lResult.
class CMessageMap {
public:
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                      DWORD dwMsgMapID = 0) = 0;
};

class CWindowImplRoot : public CWindow, public CMessageMap {
public:
    virtual ~CWindowImplRoot();

protected:
    CWindowImplRoot() = default;
    CWindowImplRoot(const CWindowImplRoot&) = delete;
    CWindowImplRoot& operator=(const CWindowImplRoot&) = delete;
};

class CWindowImplBase : public CWindowImplRoot {
public:
    virtual WNDPROC GetWindowProc();
    // Destroys the window on its own thread; the only destruction whose
    // WM_DESTROY and WM_NCDESTROY the object hears of.
    BOOL DestroyWindow() noexcept;
    // Called after the window's last message (WM_NCDESTROY), when the object
    // is no longer bound to it.
    virtual void OnFinalMessage(HWND hWnd);

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept;

protected:
    HWND CreateImpl(CWndClassInfo& info, HWND hWndParent, const RECT& rect, LPCWSTR szWindowName, DWORD dwStyle,
                    DWORD dwExStyle, HMENU hMenu) noexcept;

private:
    // The window's own thread only: set while Create makes the window and
    // while DestroyWindow destroys it.
    bool m_bCreating = false;
    bool m_bDestroying = false;
};

// Dispatches a message taken from this thread's queue, except a WM_TIMER or
// WM_SYSTIMER that carries a callback address: this program sets no timer
// with a callback, and the system would call whatever address the poster
// (any process on the desktop) put in lParam.
LRESULT DispatchQueuedMessage(const MSG& msg) noexcept;

// The same rule for every loop of the thread that makes it, the system's
// modal loops included (a message box, a dialog, a menu): a message hook of
// the thread turns each such WM_TIMER or WM_SYSTIMER into WM_NULL as it is
// taken from the queue, before any loop can dispatch it. For the object's
// life; made and destroyed on one thread. Without a hook (the system
// refused one) the program's own loops still filter, through
// DispatchQueuedMessage.
class CTimerCallbackFilter {
public:
    CTimerCallbackFilter() noexcept;
    ~CTimerCallbackFilter();
    CTimerCallbackFilter(const CTimerCallbackFilter&) = delete;
    CTimerCallbackFilter& operator=(const CTimerCallbackFilter&) = delete;

    bool IsInstalled() const noexcept { return m_hHook != nullptr; }

private:
    static LRESULT CALLBACK OnGetMessage(int code, WPARAM wParam, LPARAM lParam) noexcept;

    HHOOK m_hHook;
};

// Declares the window class of a CWindowImpl descendant; a null name asks
// for a generated "ATL:%p" name.
#define DECLARE_WND_CLASS_EX(name, style, background)                                                                  \
    static ATL::CWndClassInfo& GetWndClassInfo() {                                                                     \
        static ATL::CWndClassInfo info = {{sizeof(WNDCLASSEXW), style, nullptr, 0, 0, nullptr, nullptr, nullptr,       \
                                           reinterpret_cast<HBRUSH>(static_cast<INT_PTR>((background) + 1)), nullptr,  \
                                           name, nullptr},                                                             \
                                          IDC_ARROW,                                                                   \
                                          0,                                                                           \
                                          {}};                                                                         \
        return info;                                                                                                   \
    }

#define DECLARE_WND_CLASS(name) DECLARE_WND_CLASS_EX(name, CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, COLOR_WINDOW)

template <class T, class TBase = CWindow, class TWinTraits = CControlWinTraits>
class CWindowImpl : public CWindowImplBase {
public:
    DECLARE_WND_CLASS(nullptr)

    HWND Create(HWND hWndParent, const RECT& rect, LPCWSTR szWindowName = nullptr, DWORD dwStyle = 0,
                DWORD dwExStyle = 0, HMENU hMenu = nullptr) noexcept {
        return CreateImpl(T::GetWndClassInfo(), hWndParent, rect, szWindowName, TWinTraits::GetWndStyle(dwStyle),
                          TWinTraits::GetWndExStyle(dwExStyle), hMenu);
    }
};

} // namespace ATL
