#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Helpers of the download engine's tests, beside the shared ones of
// test_support/. The test's main thread only.
namespace test {

// The URL of a path on the project's HTTP test server (RADEVARE_TEST_SERVER);
// empty when the test runs without it.
std::wstring ServerUrl(const std::wstring& path);
// How many requests the server received for a path, asked over HTTP; -1 when
// the server cannot be asked.
int ServerRequestCount(const std::wstring& path);
// The server's generated body of size=N: byte i is i % 251.
std::string GeneratedBody(size_t size);

struct ReceivedMessage {
    UINT uMsg;
    WPARAM wParam;
    LPARAM lParam;
};

// A message-only window that records every message at or above WM_USER, the
// way the progress window receives the worker's completion messages. The test
// pumps it; OnMessage runs inside the dispatch, as a window handler would.
class CMessageSink {
public:
    CMessageSink();
    ~CMessageSink();
    CMessageSink(const CMessageSink&) = delete;
    CMessageSink& operator=(const CMessageSink&) = delete;

    HWND Window() const { return m_hWnd; }
    // Pumps until `count` messages have arrived or the time is up; true when they arrived.
    bool WaitFor(size_t count, DWORD timeoutMs);
    // Pumps for a while, for checks that nothing (more) arrives.
    void PumpFor(DWORD ms);
    const std::vector<ReceivedMessage>& Messages() const { return m_messages; }

    std::function<void(const ReceivedMessage&)> OnMessage;

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) noexcept;
    HWND m_hWnd = nullptr;
    std::vector<ReceivedMessage> m_messages;
};

// text in upper case: another spelling of a path that Windows takes for the same.
std::wstring UpperCase(std::wstring text);

// Polls a condition every 10 ms for at most timeoutMs; true once it holds.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

} // namespace test
