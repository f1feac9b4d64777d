// tool_probe: the other side of the Windows tools' tests. Each command does
// one thing the tools are meant to allow or prevent and prints what Windows
// said, one line, so a test can compare it.
//
// usage: tool_probe.exe open-write PATH          CreateFileW for writing, sharing everything
//        tool_probe.exe replace FROM TO [wt]     MoveFileExW(MOVEFILE_REPLACE_EXISTING [| WRITE_THROUGH])
//        tool_probe.exe readonly PATH            SetFileAttributesW(FILE_ATTRIBUTE_READONLY)
//        tool_probe.exe download URL PATH        URLDownloadToFileW, then the URL's cache entry removed
//        tool_probe.exe window CLASS SECONDS [DELAY_MS [message-only]]
//            prints "pid <pid>", waits DELAY_MS, makes a hidden top-level window of class CLASS (or
//            a message-only one) and prints "window <hwnd>", then "got <msg> <wparam> <lparam>"
//            (hex) for every message from WM_USER on, "got nccreate <lpCreateParams in hex>
//            <sent|posted>" for a WM_NCCREATE after its own and "got ncdestroy <sent|posted>" for
//            a WM_NCDESTROY before its own, until 0xBFFF arrives ("window done") or SECONDS pass
//            ("window timeout")
// Lines: "<command> ok" or "<command> error <GetLastError>"; download prints
// "download <HRESULT in hex> <size of PATH, or -1 when it does not exist>".
// Exit code 0 when the command ran, 1 on bad usage.

#include <cstdio>
#include <cwchar>
#include <string>

#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

namespace {

constexpr UINT kLastMessage = 0xBFFF;

// The probe's window once CreateWindowExW has returned, and whether it is
// being destroyed: the creation and destruction messages outside those are
// someone else's.
HWND g_hWnd = nullptr;
bool g_bDestroying = false;

void Result(const wchar_t* command, BOOL ok, DWORD error) {
    if (ok) {
        std::wprintf(L"%ls ok\n", command);
    } else {
        std::wprintf(L"%ls error %lu\n", command, error);
    }
}

LONGLONG FileSize(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

const wchar_t* HowItCame() {
    return (::InSendMessageEx(nullptr) & ISMEX_SEND) != 0 ? L"sent" : L"posted";
}

LRESULT CALLBACK ProbeProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_NCCREATE && g_hWnd != nullptr) {
        // A posted copy has no structure behind its lParam.
        const auto* cs =
            (::InSendMessageEx(nullptr) & ISMEX_SEND) != 0 ? reinterpret_cast<CREATESTRUCTW*>(lParam) : nullptr;
        std::wprintf(
            L"got nccreate %llX %ls\n",
            static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(cs != nullptr ? cs->lpCreateParams : nullptr)),
            HowItCame());
        std::fflush(stdout);
        return FALSE;
    }
    if (uMsg == WM_NCDESTROY && !g_bDestroying) {
        std::wprintf(L"got ncdestroy %ls\n", HowItCame());
        std::fflush(stdout);
        return 0;
    }
    if (uMsg >= WM_USER && uMsg <= kLastMessage) {
        std::wprintf(L"got %X %llX %llX\n", uMsg, static_cast<unsigned long long>(wParam),
                     static_cast<unsigned long long>(static_cast<ULONG_PTR>(lParam)));
        std::fflush(stdout);
        if (uMsg == kLastMessage) {
            ::PostQuitMessage(0);
        }
        return 0;
    }
    return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

void DestroyProbe(HWND hWnd) {
    g_bDestroying = true;
    ::DestroyWindow(hWnd);
}

int RunWindow(const wchar_t* className, DWORD seconds, DWORD delayMs, bool bMessageOnly) {
    std::wprintf(L"pid %lu\n", ::GetCurrentProcessId());
    std::fflush(stdout);
    ::Sleep(delayMs);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = ProbeProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = className;
    if (::RegisterClassExW(&wc) == 0) {
        Result(L"window", FALSE, ::GetLastError());
        return 0;
    }
    // Never shown: a hidden top-level window is still listed by EnumWindows.
    HWND hWnd = ::CreateWindowExW(0, className, L"tool_probe", WS_OVERLAPPED, 0, 0, 10, 10,
                                  bMessageOnly ? HWND_MESSAGE : nullptr, nullptr, wc.hInstance, nullptr);
    if (hWnd == nullptr) {
        Result(L"window", FALSE, ::GetLastError());
        return 0;
    }
    g_hWnd = hWnd;
    std::wprintf(L"window %lld\n", static_cast<long long>(reinterpret_cast<LONG_PTR>(hWnd)));
    std::fflush(stdout);
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                std::wprintf(L"window done\n");
                DestroyProbe(hWnd);
                return 0;
            }
            ::DispatchMessageW(&msg);
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) {
            std::wprintf(L"window timeout\n");
            DestroyProbe(hWnd);
            return 0;
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"open-write" && argc == 3) {
        HANDLE file = ::CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = ::GetLastError();
        Result(L"open-write", file != INVALID_HANDLE_VALUE, error);
        if (file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file);
        }
    } else if (command == L"replace" && (argc == 4 || (argc == 5 && std::wcscmp(argv[4], L"wt") == 0))) {
        const DWORD flags = MOVEFILE_REPLACE_EXISTING | (argc == 5 ? MOVEFILE_WRITE_THROUGH : 0);
        const BOOL ok = ::MoveFileExW(argv[2], argv[3], flags);
        Result(L"replace", ok, ::GetLastError());
    } else if (command == L"readonly" && argc == 3) {
        const BOOL ok = ::SetFileAttributesW(argv[2], FILE_ATTRIBUTE_READONLY);
        Result(L"readonly", ok, ::GetLastError());
    } else if (command == L"download" && argc == 4) {
        const HRESULT hr = ::URLDownloadToFileW(nullptr, argv[2], argv[3], 0, nullptr);
        // Every download leaves a copy in the prefix's cache; the next run
        // must meet the server again.
        ::DeleteUrlCacheEntryW(argv[2]);
        std::wprintf(L"download 0x%08lX %lld\n", static_cast<unsigned long>(hr), FileSize(argv[3]));
    } else if (command == L"window" &&
               (argc == 4 || argc == 5 || (argc == 6 && std::wcscmp(argv[5], L"message-only") == 0))) {
        return RunWindow(argv[2], std::wcstoul(argv[3], nullptr, 10),
                         argc >= 5 ? std::wcstoul(argv[4], nullptr, 10) : 0, argc == 6);
    } else {
        std::fwprintf(stderr, L"usage: tool_probe.exe open-write|replace|readonly|download|window ...\n");
        return 1;
    }
    return 0;
}
