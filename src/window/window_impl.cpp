#include "window/window_impl.h"

#include <cwchar>
#include <mutex>
#include <iterator>
#include <map>

namespace ATL {

namespace {

// Guards the one-time registration of every window class description.
std::mutex& RegistrationLock() {
    static std::mutex lock;
    return lock;
}

// Which object each window is bound to. Kept here, not in the window:
// GWLP_USERDATA and the window's extra bytes can be written by any process
// on the desktop. Made before main and never destroyed: windows of other
// threads may still be looked up while the process exits. A handful of
// windows: a search costs nothing next to a message.
SRWLOCK g_boundLock = SRWLOCK_INIT;
std::map<HWND, CWindowImplBase*>* const g_pBound = new std::map<HWND, CWindowImplBase*>;

// Binds object to a window that has just been made on this thread; an entry
// left for the same handle belongs to a window long gone (one destroyed
// without the layer) and is dropped.
bool Bind(HWND hWnd, CWindowImplBase* object) noexcept {
    bool bound = true;
    ::AcquireSRWLockExclusive(&g_boundLock);
    try {
        (*g_pBound)[hWnd] = object;
    } catch (...) {
        bound = false;
    }
    ::ReleaseSRWLockExclusive(&g_boundLock);
    return bound;
}

void Unbind(const CWindowImplRoot* object) noexcept {
    ::AcquireSRWLockExclusive(&g_boundLock);
    for (auto it = g_pBound->begin(); it != g_pBound->end();) {
        it = static_cast<const CWindowImplRoot*>(it->second) == object ? g_pBound->erase(it) : std::next(it);
    }
    ::ReleaseSRWLockExclusive(&g_boundLock);
}

CWindowImplBase* FromWindow(HWND hWnd) noexcept {
    CWindowImplBase* object = nullptr;
    ::AcquireSRWLockShared(&g_boundLock);
    const auto found = g_pBound->find(hWnd);
    if (found != g_pBound->end()) {
        object = found->second;
    }
    ::ReleaseSRWLockShared(&g_boundLock);
    return object;
}

// The object whose Create is inside CreateWindowExW on this thread and has
// not yet been bound. A plain pointer: nothing to destroy at thread exit.
thread_local CWindowImplBase* t_pCreating = nullptr;

} // namespace

BOOL CWindow::DestroyWindow() noexcept {
    if (!::DestroyWindow(m_hWnd)) {
        return FALSE;
    }
    m_hWnd = nullptr;
    return TRUE;
}

ATOM CWndClassInfo::Register(WNDPROC proc) noexcept {
    std::lock_guard<std::mutex> guard(RegistrationLock());
    if (m_atom != 0) {
        return m_atom;
    }
    m_wc.cbSize = sizeof(m_wc);
    m_wc.lpfnWndProc = proc;
    m_wc.hInstance = ::GetModuleHandleW(nullptr);
    if (m_lpszCursorID != nullptr) {
        m_wc.hCursor = ::LoadCursorW(nullptr, m_lpszCursorID);
    }
    if (m_wc.lpszClassName == nullptr) {
        std::swprintf(m_szAutoName, sizeof(m_szAutoName) / sizeof(m_szAutoName[0]), L"ATL:%p",
                      static_cast<void*>(this));
        m_wc.lpszClassName = m_szAutoName;
    }
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    // Another copy of this description (a second module, a test) may have
    // registered the name already; its atom serves as well.
    m_atom = static_cast<ATOM>(::GetClassInfoExW(m_wc.hInstance, m_wc.lpszClassName, &existing));
    if (m_atom == 0) {
        m_atom = ::RegisterClassExW(&m_wc);
    }
    return m_atom;
}

CWindowImplRoot::~CWindowImplRoot() {
    // Detach before anything else goes: a message that still reaches the
    // window (from another thread, say) must find no half-destroyed object.
    Unbind(this);
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd) &&
        ::GetWindowThreadProcessId(m_hWnd, nullptr) == ::GetCurrentThreadId()) {
        ::DestroyWindow(m_hWnd);
    }
    m_hWnd = nullptr;
}

WNDPROC CWindowImplBase::GetWindowProc() {
    return WindowProc;
}

void CWindowImplBase::OnFinalMessage(HWND) {}

BOOL CWindowImplBase::DestroyWindow() noexcept {
    const HWND hWnd = m_hWnd;
    // Windows destroys a window only on its own thread.
    if (hWnd == nullptr || ::GetWindowThreadProcessId(hWnd, nullptr) != ::GetCurrentThreadId()) {
        return FALSE;
    }
    m_bDestroying = true;
    if (!::DestroyWindow(hWnd)) {
        m_bDestroying = false;
        return FALSE;
    }
    // The object may be gone now (OnFinalMessage may delete it); WM_NCDESTROY
    // has already cleared m_hWnd.
    return TRUE;
}

HWND CWindowImplBase::CreateImpl(CWndClassInfo& info, HWND hWndParent, const RECT& rect, LPCWSTR szWindowName,
                                 DWORD dwStyle, DWORD dwExStyle, HMENU hMenu) noexcept {
    if (info.Register(GetWindowProc()) == 0) {
        return nullptr;
    }
    // A window made by a handler of another's WM_CREATE nests inside its
    // creation: the outer value comes back afterwards.
    CWindowImplBase* const outer = t_pCreating;
    t_pCreating = this;
    m_bCreating = true;
    HWND hWnd = ::CreateWindowExW(dwExStyle, MAKEINTATOM(info.m_atom), szWindowName, dwStyle, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, hWndParent, hMenu,
                                  ::GetModuleHandleW(nullptr), this);
    m_bCreating = false;
    t_pCreating = outer;
    // WM_NCCREATE has set m_hWnd already; a window that failed to be made
    // leaves it null.
    return hWnd;
}

LRESULT CALLBACK CWindowImplBase::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept {
    if (uMsg == WM_NCCREATE) {
        // Only the system's own, inside this thread's Create: a posted copy
        // carries no structure at all, and one sent from another thread or
        // process carries whatever pointer its sender chose.
        CWindowImplBase* const creating = t_pCreating;
        if (creating == nullptr || ::InSendMessageEx(nullptr) != ISMEX_NOSEND) {
            return FALSE;
        }
        const auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        if (cs == nullptr || cs->lpCreateParams != creating) {
            return FALSE;
        }
        t_pCreating = nullptr;
        creating->m_hWnd = hWnd;
        if (!Bind(hWnd, creating)) {
            creating->m_hWnd = nullptr;
            return FALSE; // no memory to bind it: the window is not made
        }
    }
    CWindowImplBase* self = FromWindow(hWnd);
    if (self == nullptr) {
        return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
    // The messages of a window's birth and death count only while it is being
    // made or destroyed; a copy from anyone else would start or end the
    // object's life around a live window.
    const bool lifecycle = uMsg == WM_CREATE || uMsg == WM_DESTROY || uMsg == WM_NCDESTROY;
    const bool expected = uMsg == WM_CREATE ? self->m_bCreating : self->m_bCreating || self->m_bDestroying;
    if (lifecycle && !expected) {
        return 0;
    }
    LRESULT result = 0;
    BOOL handled = FALSE;
    try {
        handled = self->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, result, 0);
    } catch (...) {
        // No exception may cross into the system's dispatcher; the message
        // then gets the default handling.
        handled = FALSE;
    }
    if (!handled) {
        if (uMsg == WM_CLOSE) {
            // What the default handling does, through the layer, so that the
            // window's death reaches the object. It may be gone afterwards.
            self->DestroyWindow();
            return 0;
        }
        result = ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
    if (uMsg == WM_NCDESTROY) {
        Unbind(self);
        self->m_hWnd = nullptr;
        self->m_bDestroying = false;
        self->OnFinalMessage(hWnd);
    }
    return result;
}

namespace {

constexpr UINT kSysTimer = 0x0118; // WM_SYSTIMER, which the SDK headers leave out

bool IsTimerWithCallback(const MSG& msg) noexcept {
    return (msg.message == WM_TIMER || msg.message == kSysTimer) && msg.lParam != 0;
}

} // namespace

LRESULT DispatchQueuedMessage(const MSG& msg) noexcept {
    if (IsTimerWithCallback(msg)) {
        return 0;
    }
    return ::DispatchMessageW(&msg);
}

CTimerCallbackFilter::CTimerCallbackFilter() noexcept
    : m_hHook(::SetWindowsHookExW(WH_GETMESSAGE, OnGetMessage, nullptr, ::GetCurrentThreadId())) {}

CTimerCallbackFilter::~CTimerCallbackFilter() {
    if (m_hHook != nullptr) {
        ::UnhookWindowsHookEx(m_hHook);
    }
}

LRESULT CALLBACK CTimerCallbackFilter::OnGetMessage(int code, WPARAM wParam, LPARAM lParam) noexcept {
    // Also for a peek that leaves the message queued: the copy the caller
    // sees is harmless, and the message is changed again when it is taken.
    if (code == HC_ACTION && lParam != 0) {
        MSG& msg = *reinterpret_cast<MSG*>(lParam);
        if (IsTimerWithCallback(msg)) {
            msg.message = WM_NULL;
            msg.wParam = 0;
            msg.lParam = 0;
        }
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

} // namespace ATL
