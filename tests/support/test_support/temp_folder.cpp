#include "test_support/temp_folder.h"

#include "base/unique_handle.h"

#include <gtest/gtest.h>

#include <atomic>

#include <windows.h>

namespace test {

namespace {

// Removes what the folder holds and then the folder, going on past anything
// that cannot be removed (a file still held open, one left read-only).
void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    const base::unique_find find(::FindFirstFileW((path + L"\\*").c_str(), &found));
    if (find) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring full = path + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveTree(full);
            } else {
                ::DeleteFileW(full.c_str());
            }
        } while (::FindNextFileW(find.get(), &found));
    }
    ::RemoveDirectoryW(path.c_str());
}

// The test program's file name without its folder and extension.
std::wstring ProgramName() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name.erase(0, name.find_last_of(L'\\') + 1);
    return name.substr(0, name.rfind(L'.'));
}

} // namespace

std::wstring TempPath() {
    wchar_t temp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, temp);
    return temp;
}

CTempFolder::CTempFolder(const std::wstring& suffix) {
    static std::atomic<int> s_count{0};
    m_path = TempPath() + L"rv_" + ProgramName() + L"_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
             std::to_wstring(++s_count) + suffix;
    // What an earlier process with the same id left under this name.
    RemoveTree(m_path);
    if (!::CreateDirectoryW(m_path.c_str(), nullptr)) {
        const DWORD error = ::GetLastError();
        ADD_FAILURE() << "cannot create a temporary folder: error " << error;
    }
}

CTempFolder::~CTempFolder() {
    RemoveTree(m_path);
}

} // namespace test
