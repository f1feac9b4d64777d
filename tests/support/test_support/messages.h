#pragma once

#include <windows.h>

#include <functional>
#include <vector>

// A window that receives the messages a thread under test posts, and waits
// that poll. The test's main thread only.
namespace test {

struct ReceivedMessage {
    UINT uMsg;
    WPARAM wParam;
    LPARAM lParam;
};

// A message-only window that records every message at or above WM_USER, the
// way the progress window receives the worker's and the digest thread's. The
// test pumps it; OnMessage runs inside the dispatch, as a window handler would.
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

// Polls a condition every 10 ms for at most timeoutMs; true once it holds.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

} // namespace test
