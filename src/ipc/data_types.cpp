#include "ipc/data_types.h"

#include <cwchar>

std::wstring CLASS_DATATYPE_BASE_Long::ToString() const {
    // 21 characters hold every 32-bit value with its sign and the zero.
    wchar_t buffer[21] = {};
    std::swprintf(buffer, sizeof(buffer) / sizeof(buffer[0]), L"%ld", m_value);
    return buffer;
}

void CLASS_DATATYPE_BASE_Long::FromString(const std::wstring& text) {
    m_value = std::wcstol(text.c_str(), nullptr, 10);
}
