// hold_file: keeps a file open for reading and writing with no sharing, as a
// running game or a virus scanner does, so that tests can see what a file in
// use does to the download engine.
//
// usage: hold_file.exe PATH SECONDS
//
// Opens the existing file PATH (GENERIC_READ | GENERIC_WRITE, share mode 0),
// prints "held" and flushes standard output, then keeps it open for SECONDS
// (a decimal number, fractions allowed, at most 86400) and exits 0. When
// standard input is a pipe, the file is let go as soon as the pipe's other
// end closes, so a test can end the hold early. Exits 1 when the file cannot
// be opened (with the error code) or on bad usage.

#include <cstdio>
#include <cwchar>

#include <windows.h>

namespace {

constexpr double kMaxSeconds = 86400.0;

// Reads standard input to its end, throwing the bytes away. Its own thread.
DWORD WINAPI DrainInput(void* input) {
    char buffer[256];
    DWORD read = 0;
    while (::ReadFile(static_cast<HANDLE>(input), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    wchar_t* end = nullptr;
    const double seconds = argc == 3 ? std::wcstod(argv[2], &end) : -1.0;
    if (argc != 3 || end == argv[2] || *end != L'\0' || !(seconds >= 0.0 && seconds <= kMaxSeconds)) {
        std::fwprintf(stderr, L"usage: hold_file.exe PATH SECONDS\n");
        return 1;
    }
    HANDLE file =
        ::CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        std::fwprintf(stderr, L"hold_file: cannot open %ls (error %lu)\n", argv[1], error);
        return 1;
    }
    std::wprintf(L"held\n");
    std::fflush(stdout);

    // A pipe on standard input ends the hold when it closes; anything else
    // (a console, NUL, /dev/null from the Linux side, which reads as ended at
    // once) leaves the whole time.
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    HANDLE drainer = nullptr;
    if (input != nullptr && input != INVALID_HANDLE_VALUE && ::GetFileType(input) == FILE_TYPE_PIPE) {
        drainer = ::CreateThread(nullptr, 0, DrainInput, input, 0, nullptr);
    }
    const DWORD waitMs = static_cast<DWORD>(seconds * 1000.0 + 0.5);
    if (drainer != nullptr) {
        ::WaitForSingleObject(drainer, waitMs);
    } else {
        ::Sleep(waitMs);
    }
    ::CloseHandle(file);
    if (drainer != nullptr) {
        // It may still be blocked in ReadFile; the end of the process ends it.
        ::CloseHandle(drainer);
    }
    return 0;
}
