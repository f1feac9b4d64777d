#include "download_test_support.h"

#include <wininet.h>

#include <cstdlib>

namespace test {

std::wstring ServerUrl(const std::wstring& path) {
    const wchar_t* base = _wgetenv(L"RADEVARE_TEST_SERVER");
    return base == nullptr ? std::wstring() : std::wstring(base) + path;
}

int ServerRequestCount(const std::wstring& path) {
    const std::wstring url = ServerUrl(L"/_count" + path);
    if (url.empty()) {
        return -1;
    }
    HINTERNET session = InternetOpenW(L"download_test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (session == nullptr) {
        return -1;
    }
    int count = -1;
    HINTERNET request =
        InternetOpenUrlW(session, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (request != nullptr) {
        char text[32] = {};
        DWORD read = 0;
        if (InternetReadFile(request, text, sizeof(text) - 1, &read)) {
            count = std::atoi(text);
        }
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return count;
}

std::string GeneratedBody(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        body[i] = static_cast<char>(i % 251);
    }
    return body;
}

std::wstring UpperCase(std::wstring text) {
    CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

} // namespace test
