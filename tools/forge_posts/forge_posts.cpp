// forge_posts: posts messages to a window of another process, as any program
// on the same desktop can, so that tests can see what the program does with
// messages it did not post itself.
//
// usage: forge_posts.exe --pid PID [--wait SEC] [--class NAME] MSG:WPARAM:LPARAM[xCOUNT] ...
//   --pid PID      the Windows process id whose window gets the messages
//   --wait SEC     wait up to SEC seconds for the window to appear, default 10
//   --class NAME   the window's class, default RADEVARE_DOWNLOAD
//   MSG:WPARAM:LPARAM  one message; the numbers in C syntax (0x601, -1, 12345,
//                  0777), WPARAM and LPARAM pointer-sized; xCOUNT after it posts
//                  it COUNT times (a zero LPARAM repeated: 0x0x5, since 0x5 is five)
//
// Finds the top-level window of class NAME that belongs to process PID,
// hidden or not, and posts every message in the order given. Prints "posted
// N messages to <window in decimal>" and exits 0. Exits 2 when no such
// window appeared in time, 3 when a post failed (after printing how many
// went), 1 on bad usage.

#include "base/handle_wire.h"
#include "process_window.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

namespace {

constexpr DWORD kPollMs = 20;
constexpr unsigned long kMaxWaitSec = 3600;
constexpr unsigned long kMaxCount = 1000000;

struct CForgedPost {
    UINT uMsg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    unsigned long count = 1;
};

// A number in C syntax at text, signed or not, that fits a pointer-sized
// field; *rest is where it ended.
bool ParseNumber(const wchar_t* text, intptr_t* value, const wchar_t** rest) {
    if (*text == L'\0' || *text == L' ' || *text == L'\t') {
        return false;
    }
    wchar_t* end = nullptr;
    errno = 0;
    if (*text == L'-') {
        const long long number = std::wcstoll(text, &end, 0);
        if (errno != 0 || end == text || number < INTPTR_MIN) {
            return false;
        }
        *value = static_cast<intptr_t>(number);
    } else {
        const unsigned long long number = std::wcstoull(text, &end, 0);
        if (errno != 0 || end == text || number > UINTPTR_MAX) {
            return false;
        }
        *value = static_cast<intptr_t>(static_cast<uintptr_t>(number));
    }
    *rest = end;
    return true;
}

bool ParsePost(const wchar_t* text, CForgedPost* post) {
    intptr_t msg = 0;
    intptr_t wParam = 0;
    intptr_t lParam = 0;
    const wchar_t* at = text;
    if (!ParseNumber(at, &msg, &at) || *at != L':' || !ParseNumber(at + 1, &wParam, &at) || *at != L':' ||
        !ParseNumber(at + 1, &lParam, &at)) {
        return false;
    }
    // Message ids are 32 bits wide on both architectures.
    if (msg < 0 || static_cast<uintptr_t>(msg) > UINT32_MAX) {
        return false;
    }
    post->uMsg = static_cast<UINT>(msg);
    post->wParam = static_cast<WPARAM>(wParam);
    post->lParam = static_cast<LPARAM>(lParam);
    if (*at == L'x') {
        wchar_t* end = nullptr;
        errno = 0;
        post->count = std::wcstoul(at + 1, &end, 10);
        if (errno != 0 || end == at + 1 || *end != L'\0' || at[1] == L'-' || post->count == 0 ||
            post->count > kMaxCount) {
            return false;
        }
        return true;
    }
    return *at == L'\0';
}

bool ParseWholeNumber(const wchar_t* text, unsigned long max, unsigned long* value) {
    wchar_t* end = nullptr;
    errno = 0;
    *value = std::wcstoul(text, &end, 10);
    return errno == 0 && end != text && *end == L'\0' && text[0] != L'-' && *value <= max;
}

HWND WaitForWindow(DWORD processId, const std::wstring& className, unsigned long waitSec) {
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(waitSec) * 1000;
    for (;;) {
        const HWND found = FindProcessWindow(processId, className.c_str());
        if (found != nullptr || ::GetTickCount64() >= deadline) {
            return found;
        }
        ::Sleep(kPollMs);
    }
}

const wchar_t kUsage[] =
    L"usage: forge_posts.exe --pid PID [--wait SEC] [--class NAME] MSG:WPARAM:LPARAM[xCOUNT] ...\n";

} // namespace

int wmain(int argc, wchar_t** argv) {
    unsigned long pid = 0;
    bool bPid = false;
    unsigned long waitSec = 10;
    std::wstring className = L"RADEVARE_DOWNLOAD";
    std::vector<CForgedPost> posts;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--pid" && hasValue) {
            bPid = ParseWholeNumber(argv[++i], ULONG_MAX, &pid) && pid != 0;
            if (!bPid) {
                break;
            }
        } else if (arg == L"--wait" && hasValue) {
            if (!ParseWholeNumber(argv[++i], kMaxWaitSec, &waitSec)) {
                bPid = false;
                break;
            }
        } else if (arg == L"--class" && hasValue) {
            className = argv[++i];
        } else {
            CForgedPost post;
            if (!ParsePost(argv[i], &post)) {
                std::fwprintf(stderr, L"forge_posts: not a message: %ls\n", argv[i]);
                bPid = false;
                break;
            }
            posts.push_back(post);
        }
    }
    if (!bPid || posts.empty() || className.empty()) {
        std::fwprintf(stderr, L"%ls", kUsage);
        return 1;
    }

    const HWND hWnd = WaitForWindow(static_cast<DWORD>(pid), className, waitSec);
    if (hWnd == nullptr) {
        std::fwprintf(stderr, L"forge_posts: no window of class %ls in process %lu after %lu s\n", className.c_str(),
                      pid, waitSec);
        return 2;
    }
    unsigned long long posted = 0;
    for (const CForgedPost& post : posts) {
        for (unsigned long n = 0; n < post.count; ++n) {
            if (!::PostMessageW(hWnd, post.uMsg, post.wParam, post.lParam)) {
                const DWORD error = ::GetLastError();
                std::wprintf(L"posted %llu messages to %ls\n", posted, base::HandleToDecimal(hWnd).c_str());
                std::fwprintf(stderr, L"forge_posts: post of 0x%X failed (error %lu)\n", post.uMsg, error);
                return 3;
            }
            ++posted;
        }
    }
    std::wprintf(L"posted %llu messages to %ls\n", posted, base::HandleToDecimal(hWnd).c_str());
    return 0;
}
