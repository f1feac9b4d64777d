#include "download/thread_base.h"

namespace {

HANDLE NewManualResetEvent() noexcept {
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

} // namespace

CThreadBase::CThreadBase()
    : m_hStopEvent(NewManualResetEvent()), m_hPauseEvent(NewManualResetEvent()), m_hResumeEvent(NewManualResetEvent()) {
}

CThreadBase::~CThreadBase() = default;

LONG CThreadBase::Start(BOOL bDeferred) {
    if (m_hThread && ::WaitForSingleObject(m_hThread.get(), 0) == WAIT_TIMEOUT) {
        return m_nState;
    }
    ::ResetEvent(m_hStopEvent.get());
    ::ResetEvent(m_hPauseEvent.get());
    ::ResetEvent(m_hResumeEvent.get());
    if (bDeferred) {
        m_nState = THREAD_STATE_PAUSED;
        return m_nState;
    }
    // The state is set before the thread exists: the thread body may set
    // THREAD_STATE_ENDED itself, and that must not be overwritten afterwards.
    m_nState = THREAD_STATE_RUNNING;
    m_hThread.reset(::CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr));
    if (!m_hThread) {
        m_nState = THREAD_STATE_ENDED;
    }
    return m_nState;
}

void CThreadBase::Pause() {
    LONG expected = THREAD_STATE_RUNNING;
    // Compare and swap: the thread body may set THREAD_STATE_ENDED meanwhile.
    if (m_nState.compare_exchange_strong(expected, THREAD_STATE_PAUSED)) {
        ::ResetEvent(m_hResumeEvent.get());
        ::SetEvent(m_hPauseEvent.get());
    }
}

void CThreadBase::Resume() {
    if (m_nState != THREAD_STATE_PAUSED) {
        return;
    }
    if (!m_hThread) {
        Start(FALSE);
        return;
    }
    LONG expected = THREAD_STATE_PAUSED;
    if (m_nState.compare_exchange_strong(expected, THREAD_STATE_RUNNING)) {
        ::ResetEvent(m_hPauseEvent.get());
        ::SetEvent(m_hResumeEvent.get());
    }
}

void CThreadBase::Stop() {
    if (m_nState != THREAD_STATE_ENDED) {
        ::SetEvent(m_hStopEvent.get());
    }
}

LONG CThreadBase::GetState() const {
    return m_nState;
}

HANDLE CThreadBase::GetThreadHandle() const {
    return m_hThread.get();
}

int CThreadBase::CheckPoint(DWORD dwTimeoutMs) {
    if (::WaitForSingleObject(m_hStopEvent.get(), dwTimeoutMs) != WAIT_TIMEOUT) {
        return CHECK_STOP;
    }
    if (::WaitForSingleObject(m_hPauseEvent.get(), 0) != WAIT_OBJECT_0) {
        return CHECK_CONTINUE;
    }
    // Stop comes first in the array, so it wins when both are signalled.
    HANDLE events[2] = {m_hStopEvent.get(), m_hResumeEvent.get()};
    return ::WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1 ? CHECK_RESUMED : CHECK_STOP;
}

BOOL CThreadBase::StopAndWait() {
    Stop();
    if (!m_hThread) {
        return TRUE;
    }
    return ::WaitForSingleObject(m_hThread.get(), kStopWaitMs) == WAIT_OBJECT_0 ? TRUE : FALSE;
}

DWORD WINAPI CThreadBase::ThreadProc(LPVOID param) {
    if (param == nullptr) {
        return 0;
    }
    // No exception may leave a thread entry; a body that throws ends as one
    // that gave up.
    try {
        return static_cast<CThreadBase*>(param)->Run();
    } catch (...) {
        return 0;
    }
}

void CThreadBase::EndThreadBeforeDestruction() noexcept {
    if (!StopAndWait()) {
        ::TerminateThread(m_hThread.get(), 0);
        ::WaitForSingleObject(m_hThread.get(), kStopWaitMs);
    }
}
