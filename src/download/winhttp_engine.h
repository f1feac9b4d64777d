#pragma once

#include "base/slim_lock.h"
#include "base/unique_handle.h"
#include "download/http_engine.h"

#include <memory>
#include <mutex>
#include <string>

#include <windows.h>

// The engine of the program's transfers: WinHTTP, driven in its synchronous
// form by a thread of the engine's own (the I/O thread), which reads each
// body ahead into a buffer the worker takes from. So the worker only ever
// waits on events, with its own bounds and its stop event: it is never held
// inside a network call, and a request it gives up is left to the I/O
// thread, which closes it when its call returns (WinHTTP's own time-outs
// bound that). A request given up while its thread is inside such a call
// leaves that thread to end by itself; the next request gets a new one.
//
// No window exists on either thread: nothing another process posts can
// reach a transfer. The engine takes the current user's proxy settings
// (a named proxy, an automatic configuration script, or detection), sends
// its own User-Agent, and never asks for a compressed body.
//
// The worker thread only; the I/O thread is the engine's business.
class CWinHttpEngine final : public CHttpEngine {
public:
    // stopEvent: watched by every wait (the caller keeps it alive);
    // userAgent: sent with every request.
    CWinHttpEngine(HANDLE stopEvent, const std::wstring& userAgent) noexcept;
    ~CWinHttpEngine() override;
    CWinHttpEngine(const CWinHttpEngine&) = delete;
    CWinHttpEngine& operator=(const CWinHttpEngine&) = delete;

    Step Open(const std::wstring& url, const std::wstring& headers, DWORD waitMs) override;
    Step AwaitResponse(DWORD waitMs) override;
    DWORD Status() const override { return m_dwStatus; }
    const std::wstring& Headers() const override { return m_strHeaders; }
    Step Read(char* buffer, DWORD size, DWORD& read, DWORD waitMs) override;
    Error LastError() const override { return m_error; }
    void Close() noexcept override;

    // The thread of a request given up inside a network call, ended or not
    // yet: for tests, which wait for it to see that it does end.
    HANDLE AbandonedThreadForTest() const noexcept { return m_hAbandoned.get(); }

    struct Channel;

private:
    // A thread ready for a new request: the one there is, once it has put
    // its last request away, or a new one.
    bool ReadyThread() noexcept;
    void Abandon() noexcept;
    // Gives up the channel's lock (guard holds it) until the I/O thread has
    // news, the stop comes, or waitMs since started have passed:
    // STEP_DONE to look at the channel again, else the step to return.
    Step WaitForNews(std::unique_lock<base::CSlimLock>& guard, ULONGLONG started, DWORD waitMs);
    // Moves up to size bytes of the body out of the channel's ring; guard
    // holds the channel's lock, given up for the copy.
    static DWORD TakeFromRing(Channel& channel, std::unique_lock<base::CSlimLock>& guard, char* buffer, DWORD size);

    HANDLE m_hStop;
    std::wstring m_strUserAgent;
    std::shared_ptr<Channel> m_pChannel;
    base::unique_handle m_hThread;
    base::unique_handle m_hAbandoned;
    unsigned m_nRequest = 0; // the request this side is on; 0 for none
    bool m_bResponse = false;
    DWORD m_dwStatus = 0;
    std::wstring m_strHeaders;
    Error m_error = ERROR_NONE;
};
