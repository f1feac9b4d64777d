#include "test_support/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include <windows.h>

namespace test {

namespace {

// For failure messages, which GoogleTest prints as UTF-8.
std::string Utf8(const std::wstring& text) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], size, nullptr, nullptr);
    utf8.resize(utf8.size() - 1);
    return utf8;
}

DWORD Attributes(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str());
}

} // namespace

std::string ReadFileBytes(const std::wstring& path) {
    std::string bytes;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return bytes;
    }
    char chunk[65536];
    size_t read;
    while ((read = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes.append(chunk, read);
    }
    std::fclose(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::error_code ignored; // a folder that cannot be made shows as the open's failure
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot write " << Utf8(path);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        ADD_FAILURE() << "cannot write all of " << Utf8(path);
        return false;
    }
    return true;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return static_cast<long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool FolderExists(const std::wstring& path) {
    const DWORD attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PathExists(const std::wstring& path) {
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ModuleFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring module = path;
    return module.substr(0, module.find_last_of(L'\\'));
}

} // namespace test
