#include "download_test_support.h"

#include <wininet.h>

#include <cstdlib>

namespace test {

std::wstring ServerUrl(const std::wstring& path) {
    const wchar_t* base = _wgetenv(L"RADEVARE_TEST_SERVER");
    return base == nullptr ? std::wstring() : std::wstring(base) + path;
}

namespace {

// The text of one of the server's own paths; false when it cannot be asked.
bool ServerText(const std::wstring& path, std::string& text) {
    const std::wstring url = ServerUrl(path);
    if (url.empty()) {
        return false;
    }
    HINTERNET session = InternetOpenW(L"download_test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (session == nullptr) {
        return false;
    }
    bool read = false;
    HINTERNET request =
        InternetOpenUrlW(session, url.c_str(), nullptr, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
    if (request != nullptr) {
        text.clear();
        char buffer[8192];
        DWORD got = 0;
        while (InternetReadFile(request, buffer, sizeof(buffer), &got) && got > 0) {
            text.append(buffer, got);
        }
        read = true;
        InternetCloseHandle(request);
    }
    InternetCloseHandle(session);
    return read;
}

} // namespace

int ServerRequestCount(const std::wstring& path) {
    std::string text;
    return ServerText(L"/_count" + path, text) ? std::atoi(text.c_str()) : -1;
}

std::vector<std::string> ServerLogged(const std::wstring& path, const std::string& field) {
    std::vector<std::string> values;
    std::string log;
    if (!ServerText(L"/_log", log)) {
        return values;
    }
    // The log is a list of flat objects, each starting with its path; the
    // paths the tests ask about hold no quote or backslash.
    const std::string narrowPath(path.begin(), path.end());
    const std::string start = "{\"path\": \"" + narrowPath + "\"";
    for (size_t at = log.find(start); at != std::string::npos; at = log.find(start, at + 1)) {
        const size_t end = log.find('}', at);
        const std::string entry = log.substr(at, end - at);
        const std::string key = "\"" + field + "\": ";
        const size_t found = entry.find(key);
        if (found == std::string::npos) {
            values.push_back("?");
            continue;
        }
        size_t value = found + key.size();
        if (entry[value] == '"') {
            values.push_back(entry.substr(value + 1, entry.find('"', value + 1) - value - 1));
        } else {
            values.push_back(entry.substr(value, entry.find_first_of(",}", value) - value));
        }
    }
    return values;
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
