#include "digest/fetch_rules.h"

#include <cwchar>

bool IsWebUrl(const std::wstring& url) {
    return _wcsnicmp(url.c_str(), L"http://", 7) == 0 || _wcsnicmp(url.c_str(), L"https://", 8) == 0;
}
