#include "config/settings_table.h"

#include <climits>
#include <cstring>
#include <vector>

#include <windows.h>
#include <shlwapi.h>

CSettingsTable g_settingsTable;

const std::wstring& GetModuleFolder() {
    // A function-local static: created once even when two threads come at once.
    static std::wstring folder;
    if (folder.empty()) {
        // Grows past MAX_PATH: a truncated module path would name the wrong
        // folder, and LumoConfig.xml and FileList.xml would be looked for there.
        std::vector<wchar_t> buffer(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
            if (length == 0) {
                return folder; // stays empty, so the next call tries again
            }
            if (length < buffer.size()) {
                break;
            }
            if (buffer.size() >= 32768) {
                return folder;
            }
            buffer.assign(buffer.size() * 2, L'\0');
        }
        ::PathRemoveFileSpecW(buffer.data());
        folder = buffer.data();
    }
    return folder;
}

std::wstring Utf8ToWide(const char* text) {
    if (text == nullptr) {
        return std::wstring();
    }
    const size_t bytes = std::strlen(text);
    if (bytes == 0 || bytes > static_cast<size_t>(INT_MAX)) {
        return std::wstring();
    }
    const int count = ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(bytes), nullptr, 0);
    if (count <= 0) {
        return std::wstring();
    }
    std::wstring result(static_cast<size_t>(count), L'\0');
    const int written = ::MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(bytes), &result[0], count);
    result.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return result;
}

std::string WideToAnsi(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') {
        return std::string();
    }
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, buffer.data(), size, nullptr, nullptr);
    buffer.back() = '\0';
    return std::string(buffer.data());
}
