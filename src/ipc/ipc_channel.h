#pragma once

#include "ipc/base_thread_wnd.h"

#include <atomic>
#include <string>

#include <windows.h>

class CParasHelper;

// One outgoing message on its way from the caller's thread to the channel
// thread, which owns it from the moment it is posted.
struct IPCPostRequest {
    HWND hTarget = nullptr;
    std::wstring strText; // the packed parameter text
};

// The channel to the host process: a message-only window on a thread of its
// own that sends and receives messages in named shared-memory blocks
// announced with the registered start and close messages.
// StartThread, PostToPeer, WaitForAcknowledgements and the destructor: the
// owner's thread. Everything else: the channel thread.
class CIPCChannel : public CBaseThreadWnd<CIPCChannel> {
public:
    CIPCChannel() = default;
    ~CIPCChannel() override;

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;

    // Packs the message and hands it to the channel thread; dropped when the
    // channel is not ready.
    void PostToPeer(HWND hTarget, const CParasHelper* paras);
    // Waits until every block this channel announced has been acknowledged by
    // its receiver (or dropped), at most timeoutMs. TRUE when none is left.
    BOOL WaitForAcknowledgements(DWORD timeoutMs);

    static UINT GetStartMsg();
    static UINT GetCloseMsg();

    HWND m_hNotifyWnd = nullptr; // receives decoded incoming messages
    UINT m_uNotifyMsg = 0;       // with this message id

private:
    void SendBlock(HWND hTarget, const std::wstring& text);
    LRESULT ReceiveBlock(WPARAM low, LPARAM high);
    LRESULT Deliver(size_t bytes, const wchar_t* text);

    // Messages posted to the channel thread or announced, and not yet
    // acknowledged or dropped.
    std::atomic<LONG> m_nUnacknowledged{0};
};
