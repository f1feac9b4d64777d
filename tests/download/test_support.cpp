#include "test_support.h"

#include <wininet.h>

#include <cstdlib>
#include <sstream>

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

std::string ReadFileBytes(const std::wstring& path) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return std::string();
    }
    std::string bytes;
    char chunk[65536];
    size_t read;
    while ((read = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes.append(chunk, read);
    }
    fclose(file);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

CTempFolder::CTempFolder() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    static int serial = 0;
    std::wstringstream name;
    name << temp << L"rv_download_" << GetCurrentProcessId() << L"_" << ++serial;
    m_path = name.str();
    CreateDirectoryW(m_path.c_str(), nullptr);
}

namespace {

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring full = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

const wchar_t kSinkClass[] = L"RadeVareDownloadTestSink";

} // namespace

CTempFolder::~CTempFolder() {
    RemoveTree(m_path);
}

CMessageSink::CMessageSink() {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kSinkClass;
    RegisterClassExW(&wc); // fails harmlessly when a previous sink registered it
    m_hWnd = CreateWindowExW(0, kSinkClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
}

CMessageSink::~CMessageSink() {
    if (m_hWnd != nullptr) {
        DestroyWindow(m_hWnd);
    }
}

LRESULT CALLBACK CMessageSink::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept {
    if (uMsg == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* sink = reinterpret_cast<CMessageSink*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (sink != nullptr && uMsg >= WM_USER && uMsg < 0xC000) {
        const ReceivedMessage message{uMsg, wParam, lParam};
        sink->m_messages.push_back(message);
        if (sink->OnMessage) {
            sink->OnMessage(message);
        }
        return 0;
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

bool CMessageSink::WaitFor(size_t count, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        }
        if (m_messages.size() >= count) {
            return true;
        }
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs - elapsed, QS_ALLINPUT);
    }
}

void CMessageSink::PumpFor(DWORD ms) {
    WaitFor(static_cast<size_t>(-1), ms);
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

} // namespace test
