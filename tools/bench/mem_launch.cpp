// mem_launch: starts a program and watches its memory from outside, as a
// Windows tool would: GetProcessMemoryInfo of the child every few
// milliseconds until it ends.
//
// usage: mem_launch.exe [--poll MS] -- program.exe [arguments...]
// Writes one line, tab-separated: memory <exit code> <polls> <PeakWorkingSetSize>
// <PeakPagefileUsage> <largest WorkingSetSize seen> <largest PrivateUsage seen>
// <elapsed ms>, the sizes in bytes, the peaks as the last successful query
// before the exit reported them. Exit code 0 when the child ran (whatever its
// own exit code), 1 when it could not be started, 2 bad usage.

#include "common.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    DWORD pollMs = 10;
    int i = 1;
    if (i + 1 < argc && std::wcscmp(argv[i], L"--poll") == 0) {
        pollMs = static_cast<DWORD>(std::max(1, _wtoi(argv[i + 1])));
        i += 2;
    }
    if (i >= argc || std::wcscmp(argv[i], L"--") != 0 || i + 1 >= argc) {
        std::fwprintf(stderr, L"usage: mem_launch.exe [--poll MS] -- program.exe [arguments...]\n");
        return 2;
    }
    bench::CClock clock;
    PROCESS_INFORMATION process{};
    if (!bench::StartChild(i + 1, argc, argv, &process)) {
        std::fwprintf(stderr, L"mem_launch: cannot start %ls (error %lu)\n", argv[i + 1], ::GetLastError());
        return 1;
    }
    PROCESS_MEMORY_COUNTERS_EX last{};
    SIZE_T maxWorkingSet = 0;
    SIZE_T maxPrivate = 0;
    unsigned long polls = 0;
    for (;;) {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof(counters);
        if (::GetProcessMemoryInfo(process.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                   sizeof(counters))) {
            ++polls;
            last = counters;
            maxWorkingSet = std::max(maxWorkingSet, counters.WorkingSetSize);
            maxPrivate = std::max(maxPrivate, counters.PrivateUsage);
        }
        if (::WaitForSingleObject(process.hProcess, pollMs) == WAIT_OBJECT_0) {
            break;
        }
    }
    const double elapsed = clock.Ms();
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    std::printf("memory\t%lu\t%lu\t%llu\t%llu\t%llu\t%llu\t%.3f\n", static_cast<unsigned long>(exitCode), polls,
                static_cast<unsigned long long>(last.PeakWorkingSetSize),
                static_cast<unsigned long long>(last.PeakPagefileUsage), static_cast<unsigned long long>(maxWorkingSet),
                static_cast<unsigned long long>(maxPrivate), elapsed);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return 0;
}
