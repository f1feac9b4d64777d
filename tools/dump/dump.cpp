// Dump.dll for tests: a crash reporter of the project's own that writes the
// record it receives, byte for byte, to DumpRecord.bin beside itself and
// answers 7. It catches no crashes.
// usage: place beside RadeVare.exe; the program loads it at start.
#include <windows.h>

#include <cstring>

namespace {

HMODULE g_module = nullptr;

class CTestReporter {
public:
    virtual int Install(const void* record) {
        WCHAR path[MAX_PATH] = {};
        ::GetModuleFileNameW(g_module, path, MAX_PATH);
        WCHAR* slash = wcsrchr(path, L'\\');
        if (slash == nullptr) {
            return -1;
        }
        lstrcpyW(slash + 1, L"DumpRecord.bin");
        HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return -1;
        }
        DWORD written = 0;
        // The record's size is fixed at 2608 bytes.
        ::WriteFile(file, record, 2608, &written, nullptr);
        ::CloseHandle(file);
        return 7;
    }
};

CTestReporter g_reporter;

} // namespace

extern "C" __declspec(dllexport) void* CreateInstance() {
    return &g_reporter;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
    }
    return TRUE;
}
