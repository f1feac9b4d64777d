#include "ipc/ipc_channel.h"

#include "base/handle_wire.h"
#include "base/messages.h"
#include "ipc/ipc_block.h"
#include "ipc/paras_helper.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// A name clash needs two counter readings alike; three in a row mean
// something else holds the names, and the message is given up.
constexpr int kCreateAttempts = 3;

} // namespace

CIPCChannel::CIPCChannel() : m_hSettled(::CreateEventW(nullptr, TRUE, TRUE, nullptr)) {}

CIPCChannel::~CIPCChannel() {
    // The thread uses this object's members: it must be gone before they are.
    StopThread();
    // Requests whose messages never reached the thread. It has ended, so no
    // other thread touches the set any more.
    for (IPCPostRequest* request : m_setRequests) {
        delete request;
    }
    m_setRequests.clear();
    // Messages delivered but never handled: their notify messages died with
    // the window or its queue.
    for (CParasHelper* paras : m_setDelivered) {
        delete paras;
    }
    m_setDelivered.clear();
    // Blocks still unacknowledged stay open until the process ends: a host
    // that is slow to read still finds them.
}

std::unique_ptr<CParasHelper> CIPCChannel::TakeDelivered(WPARAM wParam) {
    auto* delivered = reinterpret_cast<CParasHelper*>(wParam);
    std::lock_guard<std::mutex> guard(m_lockDelivered);
    // Only a pointer found here is ever used; any other value is compared,
    // never followed.
    if (m_setDelivered.erase(delivered) == 0) {
        return nullptr;
    }
    return std::unique_ptr<CParasHelper>(delivered);
}

UINT CIPCChannel::GetStartMsg() {
    static const UINT id = ::RegisterWindowMessageW(L"WM_VODIDEVE_IPC_MESSAGE_START");
    return id;
}

UINT CIPCChannel::GetCloseMsg() {
    static const UINT id = ::RegisterWindowMessageW(L"WM_VODIDEVE_IPC_MESSAGE_CLOSE");
    return id;
}

ULONGLONG CIPCChannel::ReadBlockCounter() {
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return static_cast<ULONGLONG>(counter.QuadPart);
}

BOOL CIPCChannel::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult, DWORD) {
    if (ProcessThreadWndMessage(uMsg, lResult)) {
        return TRUE;
    }
    lResult = 0;
    // A failed registration gives 0, which must not turn WM_NULL into either.
    const UINT startMsg = GetStartMsg();
    const UINT closeMsg = GetCloseMsg();
    if (startMsg != 0 && uMsg == startMsg) {
        lResult = ReceiveBlock(wParam, lParam);
        return TRUE;
    }
    if (closeMsg != 0 && uMsg == closeMsg) {
        if (wParam == 0) {
            return FALSE;
        }
        OnCloseBlock(base::HandleFromParam(wParam));
        return TRUE;
    }
    switch (uMsg) {
    case WM_IPC_POST:
        OnPostRequest(wParam, true);
        return TRUE;
    case WM_IPC_DELIVER:
        lResult = Deliver(static_cast<size_t>(wParam), reinterpret_cast<const wchar_t*>(lParam));
        return TRUE;
    default:
        return FALSE;
    }
}

LRESULT CIPCChannel::OnDestroy() {
    // Requests still queued would vanish with the window's messages: free
    // them and count them as dropped, so no one waits for them.
    MSG msg;
    while (::PeekMessageW(&msg, m_hWnd, WM_IPC_POST, WM_IPC_POST, PM_REMOVE)) {
        OnPostRequest(msg.wParam, false);
    }
    return CBaseThreadWnd<CIPCChannel>::OnDestroy();
}

void CIPCChannel::PostToPeer(HWND hTarget, const CParasHelper* paras) {
    if (paras == nullptr || !IsReady()) {
        return;
    }
    std::unique_ptr<IPCPostRequest> request;
    try {
        request = std::make_unique<IPCPostRequest>();
        request->hTarget = hTarget;
        request->strText = paras->Pack();
        std::lock_guard<std::mutex> guard(m_lockRequests);
        m_setRequests.insert(request.get());
    } catch (const std::bad_alloc&) {
        return;
    }
    ++m_nUnacknowledged;
    if (!::PostMessageW(GetThreadWnd(), WM_IPC_POST, reinterpret_cast<WPARAM>(request.get()), 0)) {
        // The thread never saw it: the sender takes it back and frees it.
        {
            std::lock_guard<std::mutex> guard(m_lockRequests);
            m_setRequests.erase(request.get());
        }
        SettleOne();
        return;
    }
    request.release();
}

BOOL CIPCChannel::WaitForAcknowledgements(DWORD timeoutMs) {
    if (!m_hThread) {
        return m_nUnacknowledged.load() == 0;
    }
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        if (m_nUnacknowledged.load() == 0) {
            return TRUE;
        }
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        if (elapsed >= timeoutMs) {
            return FALSE;
        }
        // Only the channel thread lowers the count while we wait here, and it
        // sets the event after it has reached 0: reset, then look again.
        ::ResetEvent(m_hSettled.get());
        if (m_nUnacknowledged.load() == 0) {
            return TRUE;
        }
        const HANDLE waits[2] = {m_hSettled.get(), m_hThread.get()};
        const DWORD result = ::WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(timeoutMs - elapsed));
        if (result != WAIT_OBJECT_0 && result != WAIT_TIMEOUT) {
            // The thread has ended (or the wait failed): nothing more will be
            // acknowledged.
            return m_nUnacknowledged.load() == 0;
        }
    }
}

void CIPCChannel::SettleOne() {
    if (--m_nUnacknowledged == 0) {
        ::SetEvent(m_hSettled.get());
    }
}

void CIPCChannel::OnPostRequest(WPARAM wParam, bool bSend) {
    if (wParam == 0) {
        return;
    }
    auto* posted = reinterpret_cast<IPCPostRequest*>(wParam);
    std::unique_ptr<IPCPostRequest> request;
    {
        std::lock_guard<std::mutex> guard(m_lockRequests);
        if (m_setRequests.erase(posted) == 0) {
            return;
        }
        request.reset(posted);
    }
    if (!bSend || !SendBlock(request->hTarget, request->strText)) {
        SettleOne();
    }
}

bool CIPCChannel::SendBlock(HWND hTarget, const std::wstring& text) {
    // The text and its terminating U+0000 (std::wstring always has one).
    const size_t chars = text.size() + 1;
    if (chars > (MAXDWORD - kBlockHeaderSize) / sizeof(wchar_t)) {
        return false;
    }
    const DWORD cbPayload = static_cast<DWORD>(chars * sizeof(wchar_t));
    const DWORD cbBlock = static_cast<DWORD>(kBlockHeaderSize) + cbPayload;

    base::unique_handle block;
    ULONGLONG counter = 0;
    for (int attempt = 0; attempt < kCreateAttempts && !block; ++attempt) {
        // Counter readings taken on different processors may disagree on
        // older machines; one processor keeps the names from repeating. The
        // binding stays for the thread's life.
        ::SetThreadAffinityMask(::GetCurrentThread(), 1);
        counter = ReadBlockCounter();
        const std::wstring name = FormatBlockName(static_cast<uint32_t>(counter), static_cast<uint32_t>(counter >> 32));
        base::unique_handle candidate(
            ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, cbBlock, name.c_str()));
        const DWORD error = ::GetLastError();
        // A block of that name belongs to another sender; our handle to it
        // closes here and the next attempt takes a new reading.
        if (candidate && error != ERROR_ALREADY_EXISTS) {
            block = std::move(candidate);
        }
    }
    if (!block) {
        return false;
    }
    {
        base::unique_view view(::MapViewOfFile(block.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, cbBlock));
        if (!view) {
            return false;
        }
        const IPCBlockHeader header = {base::HandleToWire(m_hWnd), base::HandleToWire(block.get()), cbPayload};
        auto* bytes = static_cast<unsigned char*>(view.get());
        std::memcpy(bytes, &header, sizeof(header));
        std::memcpy(bytes + kBlockHeaderSize, text.c_str(), cbPayload);
    }
    try {
        m_setOpenBlocks.insert(block.get());
    } catch (const std::bad_alloc&) {
        return false;
    }
    const WPARAM low = static_cast<WPARAM>(static_cast<uint32_t>(counter));
    const LPARAM high = static_cast<LPARAM>(static_cast<int32_t>(static_cast<uint32_t>(counter >> 32)));
    if (!::PostMessageW(hTarget, GetStartMsg(), low, high)) {
        // No one was told of the block, so no close message will ever come
        // for it: it goes now instead of at the end of the process.
        m_setOpenBlocks.erase(block.get());
        return false;
    }
    block.release();
    return true;
}

void CIPCChannel::OnCloseBlock(HANDLE hBlock) {
    if (m_setOpenBlocks.erase(hBlock) == 0) {
        return;
    }
    ::CloseHandle(hBlock);
    SettleOne();
}

LRESULT CIPCChannel::ReceiveBlock(WPARAM low, LPARAM high) {
    const std::wstring name =
        FormatBlockName(static_cast<uint32_t>(low), static_cast<uint32_t>(static_cast<int32_t>(high)));
    base::unique_handle block(::OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
    if (!block) {
        return 0;
    }
    // The header first, through a view of its own: what it says of L
    // decides how much is mapped, never more than the largest block the
    // format makes, whatever the size of the peer's section. Only the bytes
    // that can be read are read, and never by touching the view: a peer can
    // cut the file under a file-backed section, or hand over a section made
    // with SEC_RESERVE whose pages are reserved only. With no header there
    // is no sender to acknowledge, and the block is refused. The text is
    // copied out before anything parses it.
    IPCReceivedBlock received;
    {
        // The view of the header is a page: a small block's text comes with it.
        const base::unique_view head(::MapViewOfFile(block.get(), FILE_MAP_READ, 0, 0, kBlockHeaderSize));
        if (!head || !CopyBlock(head.get(), &received)) {
            return 0;
        }
        // A header that says more than the section holds maps no view: the
        // text is not there, and the header read first stands.
        if (!received.bText && received.cbPayload <= kMaxPayloadBytes) {
            const base::unique_view view(
                ::MapViewOfFile(block.get(), FILE_MAP_READ, 0, 0, kBlockHeaderSize + received.cbPayload));
            IPCReceivedBlock whole;
            if (view && CopyBlock(view.get(), &whole)) {
                received = std::move(whole);
            }
        }
    }
    block.reset();
    LRESULT result = 0;
    if (received.bText) {
        const size_t bytes = received.text.size() * sizeof(wchar_t);
        m_pDeliverText = received.text.c_str();
        m_cbDeliverText = bytes;
        result = ::SendMessageW(m_hWnd, WM_IPC_DELIVER, bytes, reinterpret_cast<LPARAM>(received.text.c_str()));
        m_pDeliverText = nullptr;
        m_cbDeliverText = 0;
    }
    // Acknowledged even when nothing could be delivered: the sender may then
    // let go of a block that no one else will read.
    ::PostMessageW(received.hSenderWnd, GetCloseMsg(), base::HandleToParam(received.hSenderBlock), 0);
    return result;
}

LRESULT CIPCChannel::Deliver(size_t bytes, const wchar_t* text) {
    if (text == nullptr || text != m_pDeliverText || bytes != m_cbDeliverText) {
        return 0;
    }
    if (bytes == 0 || !::IsWindow(m_hNotifyWnd)) {
        return 0;
    }
    try {
        auto paras = std::make_unique<CParasHelper>(text, PayloadChars(text, bytes));
        // A malformed text unpacks to an empty message, which no one could act on.
        if (paras->IsEmpty()) {
            return 0;
        }
        // Known before the post, so the owner finds it as soon as the message arrives.
        {
            std::lock_guard<std::mutex> guard(m_lockDelivered);
            m_setDelivered.insert(paras.get());
        }
        if (::PostMessageW(m_hNotifyWnd, m_uNotifyMsg, reinterpret_cast<WPARAM>(paras.get()), 0)) {
            paras.release();
        } else {
            std::lock_guard<std::mutex> guard(m_lockDelivered);
            m_setDelivered.erase(paras.get());
        }
    } catch (const std::bad_alloc&) {
        // A text too large to copy is dropped like a malformed one.
    }
    return 0;
}
