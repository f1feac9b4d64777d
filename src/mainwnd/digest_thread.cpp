#include "mainwnd/digest_thread.h"

#include "base/shared_thread.h"

#include "digest/md5.h"

#include <deque>
#include <mutex>
#include <new>

struct CDigestThread::Shared : CDigestObserver {
    HWND hNotifyWnd = nullptr;
    UINT uNotifyMsg = 0;
    base::unique_event hWake; // auto-reset: a job was queued, or a stop requested
    std::atomic<bool> bStop{false};
    std::atomic<LONG> nActivity{0};
    std::mutex lock; // guards queue, never held across a digest or a post
    std::deque<std::shared_ptr<DigestJob>> queue;
    CDigestBuffer buffer; // the thread's alone

    bool OnChunk() noexcept override {
        ++nActivity;
        return !bStop.load();
    }

    // The next job, or null once a stop was requested.
    std::shared_ptr<DigestJob> Next() {
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(lock);
                if (bStop) {
                    return nullptr;
                }
                if (!queue.empty()) {
                    std::shared_ptr<DigestJob> job = std::move(queue.front());
                    queue.pop_front();
                    return job;
                }
            }
            if (::WaitForSingleObject(hWake.get(), INFINITE) != WAIT_OBJECT_0) {
                return nullptr;
            }
        }
    }

    void Run() noexcept {
        try {
            while (std::shared_ptr<DigestJob> job = Next()) {
                try {
                    job->strDigest = FileDigest(job->strPath.c_str(), buffer, this);
                } catch (...) {
                    // No memory for the digest's text: never a match.
                    job->strDigest.clear();
                }
                if (bStop) {
                    return;
                }
                job->bDone = true;
                ++nActivity;
                ::PostMessageW(hNotifyWnd, uNotifyMsg, 0, static_cast<LPARAM>(job->nTaskId));
            }
        } catch (...) {
            // Nothing may leave a thread; the jobs not done stay undone, and
            // the watchdog ends the run.
        }
    }
};

CDigestThread::~CDigestThread() {
    StopAndWait(0);
}

bool CDigestThread::Start(HWND hNotifyWnd, UINT uNotifyMsg) {
    if (m_hThread) {
        return false;
    }
    std::shared_ptr<Shared> shared(new (std::nothrow) Shared);
    if (!shared) {
        return false;
    }
    shared->hNotifyWnd = hNotifyWnd;
    shared->uNotifyMsg = uNotifyMsg;
    shared->hWake.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!shared->hWake) {
        return false;
    }
    m_hThread.reset(base::StartSharedThread(shared));
    if (!m_hThread) {
        return false;
    }
    m_pShared = std::move(shared);
    return true;
}

bool CDigestThread::Add(const std::shared_ptr<DigestJob>& job) {
    if (!m_pShared || m_pShared->bStop) {
        return false;
    }
    try {
        std::lock_guard<std::mutex> hold(m_pShared->lock);
        m_pShared->queue.push_back(job);
    } catch (...) {
        return false;
    }
    ::SetEvent(m_pShared->hWake.get());
    return true;
}

LONG CDigestThread::GetActivityCount() const {
    return m_pShared ? m_pShared->nActivity.load() : 0;
}

void CDigestThread::RequestStop() {
    if (m_pShared) {
        m_pShared->bStop = true;
        ::SetEvent(m_pShared->hWake.get());
    }
}

bool CDigestThread::StopAndWait(DWORD waitMs) {
    RequestStop();
    return !m_hThread || ::WaitForSingleObject(m_hThread.get(), waitMs) == WAIT_OBJECT_0;
}

void DigestNow(DigestJob& job) {
    try {
        job.strDigest = FileDigest(job.strPath.c_str());
    } catch (...) {
        job.strDigest.clear();
    }
    job.bDone = true;
}
