#include "mainwnd/delayed_command.h"

std::wstring QuoteArgumentValue(const std::wstring& value) {
    // An empty value stays empty: the option is then present without one.
    if (value.empty() || value.find_first_of(L" \t\"") == std::wstring::npos) {
        return value;
    }
    // Backslashes are literal except before a quote: a run of them before a
    // quote, or before the closing quote, is doubled, and a quote inside
    // is escaped.
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : value) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

std::wstring BuildDelayedDownloadParameters(const std::wstring& url, const std::wstring& filePath) {
    return L" -norun -noprocess -downtype:" + QuoteArgumentValue(url) + L" -apppath:" + QuoteArgumentValue(filePath);
}
