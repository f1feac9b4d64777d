#pragma once

#include <cwchar>

#include <windows.h>

namespace process_window_detail {

struct CFinder {
    DWORD processId;
    const wchar_t* className;
    HWND found;
};

inline BOOL CALLBACK Visit(HWND hWnd, LPARAM param) {
    auto* finder = reinterpret_cast<CFinder*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hWnd, &pid);
    if (pid != finder->processId) {
        return TRUE;
    }
    WCHAR name[256] = {};
    ::GetClassNameW(hWnd, name, 256);
    if (std::wcscmp(name, finder->className) != 0) {
        return TRUE;
    }
    finder->found = hWnd;
    return FALSE;
}

} // namespace process_window_detail

// The first top-level window of this class that belongs to the process,
// hidden or not (EnumWindows lists them all); null when there is none.
// The test host and forge_posts both look for the client's windows this way.
inline HWND FindProcessWindow(DWORD processId, const wchar_t* className) {
    process_window_detail::CFinder finder = {processId, className, nullptr};
    ::EnumWindows(process_window_detail::Visit, reinterpret_cast<LPARAM>(&finder));
    return finder.found;
}
