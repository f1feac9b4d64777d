#include "window/window_impl.h"

#include <cwchar>
#include <mutex>

namespace ATL {

namespace {

// Guards the one-time registration of every window class description.
std::mutex& RegistrationLock() {
    static std::mutex lock;
    return lock;
}

CWindowImplBase* FromWindow(HWND hWnd) noexcept {
    return reinterpret_cast<CWindowImplBase*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
}

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
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd) && FromWindow(m_hWnd) == this) {
        ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        if (::GetWindowThreadProcessId(m_hWnd, nullptr) == ::GetCurrentThreadId()) {
            ::DestroyWindow(m_hWnd);
        }
    }
    m_hWnd = nullptr;
}

WNDPROC CWindowImplBase::GetWindowProc() {
    return WindowProc;
}

void CWindowImplBase::OnFinalMessage(HWND) {}

HWND CWindowImplBase::CreateImpl(CWndClassInfo& info, HWND hWndParent, const RECT& rect, LPCWSTR szWindowName,
                                 DWORD dwStyle, DWORD dwExStyle, HMENU hMenu) noexcept {
    if (info.Register(GetWindowProc()) == 0) {
        return nullptr;
    }
    HWND hWnd = ::CreateWindowExW(dwExStyle, MAKEINTATOM(info.m_atom), szWindowName, dwStyle, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, hWndParent, hMenu,
                                  ::GetModuleHandleW(nullptr), this);
    // WM_NCCREATE has set m_hWnd already; a window that failed to be made
    // leaves it null.
    return hWnd;
}

LRESULT CALLBACK CWindowImplBase::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept {
    if (uMsg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* self = static_cast<CWindowImplBase*>(cs->lpCreateParams);
        if (self != nullptr) {
            self->m_hWnd = hWnd;
            ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
    }
    CWindowImplBase* self = FromWindow(hWnd);
    if (self == nullptr) {
        return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
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
        result = ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
    if (uMsg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        self->m_hWnd = nullptr;
        self->OnFinalMessage(hWnd);
    }
    return result;
}

} // namespace ATL
