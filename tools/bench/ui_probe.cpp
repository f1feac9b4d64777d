// ui_probe: how long RadeVare's main thread leaves its window unanswered
// while the strip is shown. Starts the program, finds its progress window
// (class RADEVARE_DOWNLOAD, in the child's process) and every interval, while
// IsWindowVisible says the strip is shown, sends it WM_NULL with
// SendMessageTimeoutW, which returns only once the window's thread has taken
// the message. The longest wait for an answer is the longest stretch the
// thread did not look at its queue while shown, less at most one interval
// (the stretch may have begun just after the previous answer). The window is
// hidden before the strip is first shown and while the run ends: no probe is
// sent then, but a wait that began while it was shown counts to its end, even
// when the window was hidden or destroyed meanwhile.
//
// With --hidden the window is probed from the moment it is found, shown or
// not: the check of the installed files runs before the strip is shown, and
// a window's thread that does not answer then is as hung to Windows.
//
// usage: ui_probe.exe [--interval MS] [--hidden] -- program.exe [arguments...]
// Writes one line, tab-separated: probe <exit code> <total ms, start to exit>
// <probes answered> <longest wait ms> <ms until the window was found, -1 never>
// <ms until it was first shown (with --hidden: first probed), -1 never> <ms at which the longest wait began,
// -1 none> <ms of the last probe sent while shown, -1 none>. Readers take the fields by place:
// they keep their places, and a new field only ever goes at the end.
// Exit code 0 when the child ran, 1 when it could not be started, 2 bad usage.

#include "common.h"
#include "process_window.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    DWORD intervalMs = 10;
    int i = 1;
    if (i + 1 < argc && std::wcscmp(argv[i], L"--interval") == 0) {
        intervalMs = static_cast<DWORD>(std::max(1, _wtoi(argv[i + 1])));
        i += 2;
    }
    bool hiddenToo = false;
    if (i < argc && std::wcscmp(argv[i], L"--hidden") == 0) {
        hiddenToo = true;
        ++i;
    }
    if (i >= argc || std::wcscmp(argv[i], L"--") != 0 || i + 1 >= argc) {
        std::fwprintf(stderr, L"usage: ui_probe.exe [--interval MS] [--hidden] -- program.exe [arguments...]\n");
        return 2;
    }
    bench::CClock clock;
    PROCESS_INFORMATION process{};
    if (!bench::StartChild(i + 1, argc, argv, &process)) {
        std::fwprintf(stderr, L"ui_probe: cannot start %ls (error %lu)\n", argv[i + 1], ::GetLastError());
        return 1;
    }
    HWND window = nullptr;
    double foundAt = -1.0;
    double shownAt = -1.0;
    double longest = 0.0;
    double longestAt = -1.0;
    double lastShownAt = -1.0;
    unsigned long answered = 0;
    for (;;) {
        if (window != nullptr && !::IsWindow(window)) {
            window = nullptr; // destroyed while hidden: look for the next one
        }
        if (window == nullptr) {
            window = FindProcessWindow(process.dwProcessId, L"RADEVARE_DOWNLOAD");
            if (window != nullptr && foundAt < 0) {
                foundAt = clock.Ms();
            }
        } else if (hiddenToo || ::IsWindowVisible(window)) {
            const double sent = clock.Ms();
            if (shownAt < 0) {
                shownAt = sent;
            }
            lastShownAt = sent;
            DWORD_PTR result = 0;
            // A minute: no wait of RadeVare's is ever that long, and a window
            // that is destroyed meanwhile ends the wait at once.
            const BOOL sentOk = ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result);
            const double waited = clock.Ms() - sent;
            // A wait the thread ended by destroying the window (the last
            // file's check ends that way) was a stretch unanswered all the same.
            const bool destroyed = sentOk == 0 && !::IsWindow(window);
            if (sentOk != 0) {
                ++answered;
            }
            if ((sentOk != 0 || destroyed) && waited > longest) {
                longest = waited;
                longestAt = sent;
            }
            if (destroyed) {
                window = nullptr;
            }
        }
        if (::WaitForSingleObject(process.hProcess, intervalMs) == WAIT_OBJECT_0) {
            break;
        }
    }
    const double total = clock.Ms();
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    std::printf("probe\t%lu\t%.3f\t%lu\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\n", static_cast<unsigned long>(exitCode), total,
                answered, longest, foundAt, shownAt, longestAt, lastShownAt);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return 0;
}
