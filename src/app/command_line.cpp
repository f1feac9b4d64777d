#include "app/command_line.h"

#include "base/unique_handle.h"

#include <climits>
#include <cwctype>

#include <windows.h>
#include <shellapi.h>

namespace {

std::wstring TrimBlanks(const std::wstring& text) {
    // Only U+0020: tabs and other white space stay.
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) {
        return std::wstring();
    }
    const size_t last = text.find_last_not_of(L' ');
    return text.substr(first, last - first + 1);
}

} // namespace

void CCommandLine::Parse(const std::wstring& text) {
    const std::wstring trimmed = TrimBlanks(text);
    if (trimmed.empty()) {
        return;
    }
    int count = 0;
    // CommandLineToArgvW takes the first token as a program name: it ends at
    // the first blank and its backslashes are not escapes. It is parsed like
    // the others all the same.
    LPWSTR* argv = ::CommandLineToArgvW(trimmed.c_str(), &count);
    if (argv == nullptr) {
        return;
    }
    base::unique_hlocal release(reinterpret_cast<HLOCAL>(argv));
    for (int i = 0; i < count; ++i) {
        ParseToken(argv[i] != nullptr ? argv[i] : L"");
    }
}

void CCommandLine::ParseToken(std::wstring token) {
    token = TrimBlanks(token);
    size_t prefix = 0;
    if (token.compare(0, 2, L"--") == 0) {
        prefix = 2;
    } else if (token.compare(0, 1, L"-") == 0 || token.compare(0, 1, L"/") == 0) {
        prefix = 1;
    } else {
        return;
    }
    // The separators are tried one after the other over the whole token, so a
    // colon anywhere wins over an earlier blank or equals sign.
    size_t separator = std::wstring::npos;
    for (wchar_t candidate : {L':', L' ', L'='}) {
        separator = token.find(candidate);
        if (separator != std::wstring::npos) {
            break;
        }
    }
    std::wstring name;
    std::wstring value;
    // The prefixes hold no separator, so a separator always stands after the prefix.
    if (separator != std::wstring::npos) {
        name = token.substr(prefix, separator - prefix);
        value = token.substr(separator + 1);
        // "-apppath:"D:\games\"" arrives with an escaped quote at its end.
        if (!value.empty() && value.back() == L'"') {
            value.pop_back();
        }
    } else {
        name = token.substr(prefix);
    }
    m_options.emplace(std::move(name), std::move(value));
}

bool CCommandLine::HasOption(const std::wstring& name) const {
    return m_options.find(name) != m_options.end();
}

std::wstring CCommandLine::GetOption(const std::wstring& name) const {
    auto it = m_options.find(name);
    return it != m_options.end() ? it->second : std::wstring();
}

int CCommandLine::GetOptionInt(const std::wstring& name) const {
    const std::wstring value = GetOption(name);
    size_t i = 0;
    while (i < value.size() && std::iswspace(value[i])) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == L'+' || value[i] == L'-')) {
        negative = value[i] == L'-';
        ++i;
    }
    long long magnitude = 0;
    for (; i < value.size() && value[i] >= L'0' && value[i] <= L'9'; ++i) {
        magnitude = magnitude * 10 + (value[i] - L'0');
        if (magnitude > static_cast<long long>(INT_MAX) + 1) {
            magnitude = static_cast<long long>(INT_MAX) + 1; // saturated; further digits change nothing
        }
    }
    const long long result = negative ? -magnitude : magnitude;
    if (result > INT_MAX) {
        return INT_MAX;
    }
    if (result < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(result);
}
