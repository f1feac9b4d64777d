#pragma once

#include <string>

#include <windows.h>

namespace base {

// Compares two paths as Windows compares file names: ordinal, without regard
// to case. CSTR_LESS_THAN, CSTR_EQUAL or CSTR_GREATER_THAN; 0 on an error.
inline int CompareFileNames(const std::wstring& a, const std::wstring& b) noexcept {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE);
}

} // namespace base
