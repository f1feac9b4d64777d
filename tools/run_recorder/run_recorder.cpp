// A program for the run list in tests and the sample package: it appends its
// own command line, as UTF-8, to "<its path>.runlog" and ends.
// usage: run_recorder.exe [anything]   (GUI program: shows nothing)
#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    WCHAR exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::wstring logPath = std::wstring(exe) + L".runlog";

    const wchar_t* commandLine = ::GetCommandLineW();
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, nullptr, 0, nullptr, nullptr);
    std::string line(bytes > 0 ? static_cast<size_t>(bytes) : 1u, '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, commandLine, -1, &line[0], bytes, nullptr, nullptr);
    }
    line.back() = '\n'; // in place of the terminating zero

    HANDLE file = ::CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
    return 0;
}
