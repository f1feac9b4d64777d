#include "test_support/messages.h"

namespace test {

namespace {

const wchar_t kSinkClass[] = L"RadeVareTestSink";

} // namespace

CMessageSink::CMessageSink() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kSinkClass;
    RegisterClassExW(&wc); // fails harmlessly when a previous sink registered it
    m_hWnd = CreateWindowExW(0, kSinkClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
}

CMessageSink::~CMessageSink() {
    if (m_hWnd != nullptr) {
        DestroyWindow(m_hWnd);
    }
}

LRESULT CALLBACK CMessageSink::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept {
    if (uMsg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* sink = reinterpret_cast<CMessageSink*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (sink != nullptr && uMsg >= WM_USER && uMsg < 0xC000) {
        const ReceivedMessage message{uMsg, wParam, lParam};
        sink->m_messages.push_back(message);
        if (sink->OnMessage) {
            sink->OnMessage(message);
        }
        return 0;
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

bool CMessageSink::WaitFor(size_t count, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        if (m_messages.size() >= count) {
            return true;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

void CMessageSink::PumpFor(DWORD ms) {
    WaitFor(static_cast<size_t>(-1), ms);
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

} // namespace test
