#include "mainwnd/list_check.h"

#include "base/shared_thread.h"

#include <atomic>
#include <new>

struct CListCheck::Shared : CDigestObserver {
    HWND hNotifyWnd = nullptr;
    UINT uNotifyMsg = 0;
    std::wstring strTargetFolder;
    bool (*pfnCheck)(const std::wstring&, FileListCheck&, CDigestObserver*) = nullptr;
    std::atomic<bool> bStop{false};
    std::atomic<LONG> nActivity{0};
    // Written by the thread before bDone is set, read by the owner after.
    bool bUsable = false;
    FileListCheck check;
    std::atomic<bool> bDone{false};

    bool OnChunk() noexcept override {
        ++nActivity;
        return !bStop.load();
    }

    void Run() noexcept {
        bUsable = pfnCheck(strTargetFolder, check, this);
        ++nActivity;
        if (bStop) {
            return;
        }
        bDone = true;
        ::PostMessageW(hNotifyWnd, uNotifyMsg, 0, 0);
    }
};

CListCheck::~CListCheck() {
    StopAndWait(0);
}

bool CListCheck::Start(HWND hNotifyWnd, UINT uNotifyMsg, const std::wstring& targetFolder) {
    if (m_pShared) {
        return false;
    }
    std::shared_ptr<Shared> shared(new (std::nothrow) Shared);
    if (!shared) {
        return false;
    }
    shared->hNotifyWnd = hNotifyWnd;
    shared->uNotifyMsg = uNotifyMsg;
    shared->pfnCheck = m_pfnCheck;
    try {
        shared->strTargetFolder = targetFolder;
    } catch (...) {
        return false;
    }
    m_hThread.reset(base::StartSharedThread(shared));
    if (!m_hThread) {
        return false;
    }
    m_pShared = std::move(shared);
    return true;
}

CListCheck::Outcome CListCheck::Take(FileListCheck& check) {
    if (!m_pShared || m_bTaken || m_pShared->bStop || !m_pShared->bDone) {
        return CHECK_PENDING;
    }
    m_bTaken = true;
    if (!m_pShared->bUsable) {
        return CHECK_UNUSABLE;
    }
    std::swap(check, m_pShared->check);
    return CHECK_USABLE;
}

LONG CListCheck::GetActivityCount() const {
    return m_pShared ? m_pShared->nActivity.load() : 0;
}

void CListCheck::RequestStop() {
    if (m_pShared) {
        m_pShared->bStop = true;
    }
}

bool CListCheck::StopAndWait(DWORD waitMs) {
    RequestStop();
    return !m_hThread || ::WaitForSingleObject(m_hThread.get(), waitMs) == WAIT_OBJECT_0;
}
