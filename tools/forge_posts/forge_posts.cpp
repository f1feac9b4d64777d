// forge_posts: posts (or sends) messages to a window of another process, as
// any program on the same desktop can, so that tests can see what the program
// does with messages it did not post itself.
//
// usage: forge_posts.exe --pid PID [--wait SEC] [--class NAME | --channel] MESSAGE ...
//   --pid PID      the Windows process id whose window gets the messages
//   --wait SEC     wait up to SEC seconds for the window to appear, default 10
//   --class NAME   the window's class, default RADEVARE_DOWNLOAD
//   --channel      instead: the process's IPC channel window, the message-only
//                  window whose class name begins with "ATL:"
//   MESSAGE is one of:
//   MSG:WPARAM:LPARAM  posted; the numbers in C syntax (0x601, -1, 12345,
//                  0777), WPARAM and LPARAM pointer-sized; xCOUNT after it posts
//                  it COUNT times (a zero LPARAM repeated: 0x0x5, since 0x5 is five)
//   nccreate:PTR   WM_NCCREATE sent (a pointer message cannot be posted) with a
//                  CREATESTRUCTW whose lpCreateParams is PTR and all else zero;
//                  the system copies the structure across, PTR as given
//   ncdestroy      WM_NCDESTROY sent, wParam and lParam 0
//
// Finds the top-level window of class NAME (or the channel window) that
// belongs to process PID, hidden or not, and posts or sends every message in
// the order given; a send waits up to 5 s for the window to answer. Prints
// "posted N messages to <window in decimal>", and when any were sent also
// "sent N messages to <window>", and exits 0. Exits 2 when no such window
// appeared in time, 3 when a post or send failed (after printing how many
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
constexpr UINT kSendTimeoutMs = 5000;

struct CForgedPost {
    bool bSend = false; // sent and waited for, not posted
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

// The messages that are sent: "nccreate:PTR" and "ncdestroy".
bool ParseSend(const wchar_t* text, CForgedPost* post) {
    if (std::wcscmp(text, L"ncdestroy") == 0) {
        post->bSend = true;
        post->uMsg = WM_NCDESTROY;
        return true;
    }
    const wchar_t prefix[] = L"nccreate:";
    if (std::wcsncmp(text, prefix, std::wcslen(prefix)) != 0) {
        return false;
    }
    intptr_t pointer = 0;
    const wchar_t* at = nullptr;
    if (!ParseNumber(text + std::wcslen(prefix), &pointer, &at) || *at != L'\0') {
        return false;
    }
    post->bSend = true;
    post->uMsg = WM_NCCREATE;
    post->lParam = static_cast<LPARAM>(pointer); // the lpCreateParams, until the structure is made
    return true;
}

bool ParsePost(const wchar_t* text, CForgedPost* post) {
    if (ParseSend(text, post)) {
        return true;
    }
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

// The process's message-only window whose class name begins with "ATL:":
// the IPC channel's, whose class the program's window layer names after an
// address. Message-only windows are not listed by EnumWindows.
HWND FindChannelWindow(DWORD processId) {
    HWND candidate = nullptr;
    while ((candidate = ::FindWindowExW(HWND_MESSAGE, candidate, nullptr, nullptr)) != nullptr) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(candidate, &owner);
        if (owner != processId) {
            continue;
        }
        WCHAR name[256] = {};
        ::GetClassNameW(candidate, name, 256);
        if (std::wcsncmp(name, L"ATL:", 4) == 0) {
            return candidate;
        }
    }
    return nullptr;
}

// Sends one forged message and waits for the answer (not for a window that hangs).
bool SendForged(HWND hWnd, const CForgedPost& post) {
    DWORD_PTR answer = 0;
    if (post.uMsg == WM_NCCREATE) {
        CREATESTRUCTW cs{};
        cs.lpCreateParams = reinterpret_cast<void*>(post.lParam);
        return ::SendMessageTimeoutW(hWnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs), SMTO_ABORTIFHUNG,
                                     kSendTimeoutMs, &answer) != 0;
    }
    return ::SendMessageTimeoutW(hWnd, post.uMsg, post.wParam, post.lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                                 &answer) != 0;
}

HWND WaitForWindow(DWORD processId, const std::wstring& className, bool bChannel, unsigned long waitSec) {
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(waitSec) * 1000;
    for (;;) {
        const HWND found = bChannel ? FindChannelWindow(processId) : FindProcessWindow(processId, className.c_str());
        if (found != nullptr || ::GetTickCount64() >= deadline) {
            return found;
        }
        ::Sleep(kPollMs);
    }
}

const wchar_t kUsage[] = L"usage: forge_posts.exe --pid PID [--wait SEC] [--class NAME | --channel]"
                         L" MSG:WPARAM:LPARAM[xCOUNT] | nccreate:PTR | ncdestroy ...\n";

} // namespace

int wmain(int argc, wchar_t** argv) {
    unsigned long pid = 0;
    bool bPid = false;
    unsigned long waitSec = 10;
    std::wstring className = L"RADEVARE_DOWNLOAD";
    bool bClass = false;
    bool bChannel = false;
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
            bClass = true;
        } else if (arg == L"--channel") {
            bChannel = true;
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
    if (!bPid || posts.empty() || className.empty() || (bClass && bChannel)) {
        std::fwprintf(stderr, L"%ls", kUsage);
        return 1;
    }

    const HWND hWnd = WaitForWindow(static_cast<DWORD>(pid), className, bChannel, waitSec);
    if (hWnd == nullptr) {
        if (bChannel) {
            std::fwprintf(stderr,
                          L"forge_posts: no channel window (message-only, class ATL:...) in process %lu"
                          L" after %lu s\n",
                          pid, waitSec);
        } else {
            std::fwprintf(stderr, L"forge_posts: no window of class %ls in process %lu after %lu s\n",
                          className.c_str(), pid, waitSec);
        }
        return 2;
    }
    const std::wstring target = base::HandleToDecimal(hWnd);
    unsigned long long posted = 0;
    unsigned long long sent = 0;
    const auto report = [&]() {
        std::wprintf(L"posted %llu messages to %ls\n", posted, target.c_str());
        if (sent != 0) {
            std::wprintf(L"sent %llu messages to %ls\n", sent, target.c_str());
        }
    };
    for (const CForgedPost& post : posts) {
        for (unsigned long n = 0; n < post.count; ++n) {
            const bool ok = post.bSend ? SendForged(hWnd, post)
                                       : ::PostMessageW(hWnd, post.uMsg, post.wParam, post.lParam) != FALSE;
            if (!ok) {
                const DWORD error = ::GetLastError();
                report();
                std::fwprintf(stderr, L"forge_posts: %ls of 0x%X failed (error %lu)\n", post.bSend ? L"send" : L"post",
                              post.uMsg, error);
                return 3;
            }
            ++(post.bSend ? sent : posted);
        }
    }
    report();
    return 0;
}
