#pragma once

#include "base/unique_handle.h"
#include "ipc/base_thread_wnd.h"
#include "ipc/paras_helper.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <windows.h>

// One outgoing message on its way from the caller's thread to the channel
// thread, which owns it from the moment it is posted.
struct IPCPostRequest {
    HWND hTarget = nullptr;
    std::wstring strText; // the packed parameter text
};

// The channel to the host process: a message-only window on a thread of its
// own that sends and receives messages in named shared-memory blocks (see
// ipc_block.h) announced with the registered start and close messages.
//
// A block this process sends stays open until the receiver's close message
// for it arrives: the block exists only while some process holds it open, so
// the owner calls WaitForAcknowledgements before it ends the process.
//
// StartThread, PostToPeer, WaitForAcknowledgements and the destructor: the
// owner's thread. m_hNotifyWnd and m_uNotifyMsg are set on the owner's thread
// before StartThread. Everything else: the channel thread.
class CIPCChannel : public CBaseThreadWnd<CIPCChannel> {
public:
    CIPCChannel();
    ~CIPCChannel() override;

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;

    // Packs the message and hands it to the channel thread for hTarget; the
    // message stays the caller's. Dropped when the channel is not ready.
    void PostToPeer(HWND hTarget, const CParasHelper* paras);
    // Returns as soon as every message handed to PostToPeer has been
    // acknowledged by its receiver's close message or dropped (TRUE), or when
    // timeoutMs has passed or the channel thread has ended with some still
    // open (FALSE). At once when there is no channel thread.
    BOOL WaitForAcknowledgements(DWORD timeoutMs);

    // Takes back a message this channel delivered to m_hNotifyWnd (the wParam
    // of m_uNotifyMsg); null for any other value, such as one posted by
    // another process: the notify message is in the WM_USER range. The
    // owner's thread.
    std::unique_ptr<CParasHelper> TakeDelivered(WPARAM wParam);

    // The registered ids; the same numbers in every process. Any thread.
    static UINT GetStartMsg();
    static UINT GetCloseMsg();

    HWND m_hNotifyWnd = nullptr; // receives decoded incoming messages
    UINT m_uNotifyMsg = 0;       // with this message id; wParam a new CParasHelper it owns

protected:
    // The performance-counter reading a block's name is made from. Channel
    // thread. A test replaces it to reach names that no clock can be made to
    // give on demand (a clash, a half of 0x80000000 or more).
    virtual ULONGLONG ReadBlockCounter();
    LRESULT OnDestroy() override;

private:
    void OnPostRequest(WPARAM wParam, bool bSend);
    bool SendBlock(HWND hTarget, const std::wstring& text);
    void OnCloseBlock(HANDLE hBlock);
    LRESULT ReceiveBlock(WPARAM low, LPARAM high);
    LRESULT Deliver(size_t bytes, const wchar_t* text);
    // One message fewer waits for its acknowledgement. Channel thread, or
    // the owner's when its post failed.
    void SettleOne();

    // Requests posted to the channel window and not yet taken by its thread.
    // WM_IPC_POST is in the WM_USER range, so any process can post one; only
    // a pointer found here is ever used.
    std::mutex m_lockRequests;
    std::set<IPCPostRequest*> m_setRequests;

    // Blocks this channel announced and whose close message has not come:
    // a close message names one of these or is ignored, so a stray or
    // repeated one cannot close an unrelated handle. Channel thread only.
    std::set<HANDLE> m_setOpenBlocks;

    // The copy of the text of the block being received while WM_IPC_DELIVER
    // is sent for it; a WM_IPC_DELIVER from anywhere else carries no readable
    // text. Channel thread only.
    const wchar_t* m_pDeliverText = nullptr;
    size_t m_cbDeliverText = 0;

    // Messages posted to m_hNotifyWnd and not yet taken back.
    std::mutex m_lockDelivered;
    std::set<CParasHelper*> m_setDelivered;

    // Messages handed to PostToPeer and neither acknowledged nor dropped.
    std::atomic<LONG> m_nUnacknowledged{0};
    // Set by the channel thread whenever that count falls to 0.
    base::unique_event m_hSettled;
};
