#include "app/crash_report.h"

#include "base/unique_handle.h"

#include <shlobj.h>
#include <shlwapi.h>

// Reporter object of Dump.dll: its first virtual operation takes the record.
// Declared outside the anonymous namespace on purpose: a class of internal
// linkage that nothing here derives from lets the compiler treat the
// virtual call as unreachable.
class IDumpReporter {
public:
    virtual int Install(CrashReportInfo* info) = 0;
};
using CreateInstanceFn = IDumpReporter*(__cdecl*)();

namespace {

// Lives until the process ends: the reporter may keep its address.
CrashReportInfo g_crashReportInfo;

std::wstring& ModuleFolderCache() {
    static std::wstring folder; // the executable's folder, trailing backslash
    return folder;
}

std::wstring& DumpBaseCache() {
    static std::wstring base; // application data + "VodiDeve\"
    return base;
}

void CopyField(WCHAR (&field)[MAX_PATH], const std::wstring& text) {
    // Cut to 259 characters so the terminating zero always fits.
    lstrcpynW(field, text.c_str(), MAX_PATH);
}

} // namespace

int InstallCrashReporter() {
    WCHAR path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    ::PathRemoveFileSpecW(path);
    ::PathAppendW(path, L"Dump.dll");
    base::unique_hmodule library(::LoadLibraryW(path));
    if (!library) {
        return 0;
    }
    auto create =
        reinterpret_cast<CreateInstanceFn>(reinterpret_cast<void*>(::GetProcAddress(library.get(), "CreateInstance")));
    if (create == nullptr) {
        return 0;
    }
    IDumpReporter* reporter = create();
    if (reporter == nullptr) {
        return 0;
    }
    const std::wstring appPath = GetModuleRelativePath(L"RadeVare.exe");
    const std::wstring dumpFolder = GetDumpFolder();
    const std::wstring reporterPath = GetModuleRelativePath(L"CrashReport.exe");

    CopyField(g_crashReportInfo.szAppPath, appPath);
    CopyField(g_crashReportInfo.szDumpFolder, dumpFolder);
    CopyField(g_crashReportInfo.szAppName, L"RadeVare");
    g_crashReportInfo.dwValueA = 0;
    g_crashReportInfo.dwValueB = 1;
    CopyField(g_crashReportInfo.szVendorName, L"VodiDeve");
    CopyField(g_crashReportInfo.szReporterPath, reporterPath);

    const int answer = reporter->Install(&g_crashReportInfo);
    // The reporter now holds on to the library and the record: never unloaded.
    library.release();
    return answer;
}

std::wstring GetModuleRelativePath(const std::wstring& name) {
    std::wstring& folder = ModuleFolderCache();
    if (folder.empty()) {
        WCHAR path[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        ::PathRemoveFileSpecW(path);
        ::PathAddBackslashW(path);
        folder = path;
    }
    return folder + name;
}

std::wstring GetDumpFolderPath() {
    std::wstring& base = DumpBaseCache();
    if (base.empty()) {
        WCHAR path[MAX_PATH] = {};
        if (::SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, FALSE)) {
            ::PathAppendW(path, L"VodiDeve\\");
            base = path;
        }
    }
    return base + L"zezoro";
}

std::wstring GetDumpFolder() {
    return PreparePath(GetDumpFolderPath(), true);
}

std::wstring PreparePath(const std::wstring& path, bool create) {
    if (create && !path.empty()) {
        std::wstring folder = path;
        if (folder.back() != L'\\') {
            folder += L'\\';
        }
        CreateDirectoryTree(folder);
    }
    return path;
}

void CreateDirectoryTree(const std::wstring& path) {
    if (path.empty() || ::PathIsRootW(path.c_str()) || path.size() > MAX_PATH) {
        return;
    }
    size_t cursor = 0;
    while (cursor < path.size()) {
        // A forward slash counts only where no backslash follows the cursor.
        size_t separator = path.find(L'\\', cursor);
        if (separator == std::wstring::npos) {
            separator = path.find(L'/', cursor);
        }
        if (separator == std::wstring::npos) {
            return;
        }
        if (separator != 0) {
            const std::wstring prefix = path.substr(0, separator);
            if (!::PathIsDirectoryW(prefix.c_str())) {
                // Fails with ERROR_ALREADY_EXISTS when a file holds the name;
                // the file is left alone and the folders below stay missing.
                ::CreateDirectoryW(prefix.c_str(), nullptr);
            }
        }
        cursor = separator + 1;
    }
}
