#pragma once

#include <string>
#include <vector>

#include <windows.h>

namespace base {

// Compares two paths as Windows compares file names: ordinal, without regard
// to case. CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN; 0 on an error.
inline int CompareFileNames(const std::wstring& a, const std::wstring& b) noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE);
}

// The one spelling of a full path (GetFullPathNameW's form) that every
// alias of the same file comes to: each existing name in its long form, so
// that a short (8.3) name and the long name it stands for compare equal under
// CompareFileNames. The names Windows makes up for short names all carry a
// "~"; a path without one is its own long form and costs no look-up. A part
// that does not exist yet is kept as written after the long form of the
// part before it. The path itself when no long form can be had. Throws
// std::bad_alloc.
inline std::wstring LongFormOf(const std::wstring& fullPath) {
    if (fullPath.find(L'~') == std::wstring::npos) {
        return fullPath;
    }
    // The longest existing head of the path is made long; the rest, which no
    // file system holds yet, has no other spelling.
    size_t headEnd = fullPath.size();
    for (;;) {
        const std::wstring head = fullPath.substr(0, headEnd);
        const DWORD needed = ::GetLongPathNameW(head.c_str(), nullptr, 0);
        if (needed != 0) {
            std::vector<wchar_t> buffer(needed, L'\0');
            const DWORD length = ::GetLongPathNameW(head.c_str(), buffer.data(), needed);
            if (length != 0 && length < needed) {
                return std::wstring(buffer.data(), length) + fullPath.substr(headEnd);
            }
        }
        const size_t separator = headEnd == 0 ? std::wstring::npos : fullPath.rfind(L'\\', headEnd - 1);
        // Down to the drive or the share: no head left to look up.
        if (separator == std::wstring::npos || separator <= 2) {
            return fullPath;
        }
        headEnd = separator;
    }
}

} // namespace base
