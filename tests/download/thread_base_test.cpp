#include "download/thread_base.h"

#include <gtest/gtest.h>

#include <thread>

#include <windows.h>

namespace {

bool IsSignalled(HANDLE event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

// A thread body for the tests: it honours stop and pause requests through
// CheckPoint and gives up after a stop, as the download worker does, unless
// told to ignore stops (the body then waits for m_release alone).
class CTestThread : public CThreadBase {
public:
    explicit CTestThread(bool ignoreStop = false)
        : m_ignoreStop(ignoreStop), m_release(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~CTestThread() override {
        SetEvent(m_release.get());
        EndThreadBeforeDestruction();
    }

    HANDLE StopEvent() const { return m_hStopEvent.get(); }
    HANDLE PauseEvent() const { return m_hPauseEvent.get(); }
    HANDLE ResumeEvent() const { return m_hResumeEvent.get(); }
    void Release() { SetEvent(m_release.get()); }
    LONG Runs() const { return m_runs; }

protected:
    DWORD Run() override {
        ++m_runs;
        if (m_ignoreStop) {
            WaitForSingleObject(m_release.get(), INFINITE);
            return 7;
        }
        while (CheckPoint(50) != CHECK_STOP) {
        }
        m_nState = THREAD_STATE_ENDED;
        return 0;
    }

private:
    bool m_ignoreStop;
    base::unique_event m_release;
    std::atomic<LONG> m_runs{0};
};

TEST(ThreadBaseTest, StateMachineAsTabled) {
    CTestThread thread;
    EXPECT_EQ(thread.GetState(), THREAD_STATE_IDLE);
    EXPECT_EQ(thread.GetThreadHandle(), nullptr);

    thread.Pause(); // nothing in IDLE
    EXPECT_EQ(thread.GetState(), THREAD_STATE_IDLE);
    EXPECT_FALSE(IsSignalled(thread.PauseEvent()));

    thread.Stop(); // never started: the stop event is signalled all the same
    EXPECT_TRUE(IsSignalled(thread.StopEvent()));

    EXPECT_EQ(thread.Start(TRUE), THREAD_STATE_PAUSED); // deferred: no thread yet, events reset
    EXPECT_EQ(thread.GetThreadHandle(), nullptr);
    EXPECT_FALSE(IsSignalled(thread.StopEvent()));
    thread.Pause(); // nothing in PAUSED
    EXPECT_EQ(thread.GetState(), THREAD_STATE_PAUSED);
    EXPECT_FALSE(IsSignalled(thread.PauseEvent()));

    thread.Resume(); // the deferred start happens now
    EXPECT_EQ(thread.GetState(), THREAD_STATE_RUNNING);
    ASSERT_NE(thread.GetThreadHandle(), nullptr);
    EXPECT_EQ(WaitForSingleObject(thread.GetThreadHandle(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
    thread.Resume(); // nothing in RUNNING
    EXPECT_EQ(thread.GetState(), THREAD_STATE_RUNNING);
    EXPECT_FALSE(IsSignalled(thread.ResumeEvent()));

    thread.Pause();
    EXPECT_EQ(thread.GetState(), THREAD_STATE_PAUSED);
    EXPECT_TRUE(IsSignalled(thread.PauseEvent()));
    EXPECT_FALSE(IsSignalled(thread.ResumeEvent()));
    thread.Resume();
    EXPECT_EQ(thread.GetState(), THREAD_STATE_RUNNING);
    EXPECT_FALSE(IsSignalled(thread.PauseEvent()));
    EXPECT_TRUE(IsSignalled(thread.ResumeEvent()));

    // The body gives up after the stop and sets ENDED; a later Stop leaves the event alone.
    EXPECT_TRUE(thread.StopAndWait());
    EXPECT_EQ(thread.GetState(), THREAD_STATE_ENDED);
    ResetEvent(thread.StopEvent());
    thread.Stop();
    EXPECT_FALSE(IsSignalled(thread.StopEvent()));

    // A later Start makes a new thread, with every event reset.
    EXPECT_EQ(thread.Start(FALSE), THREAD_STATE_RUNNING);
    EXPECT_FALSE(IsSignalled(thread.ResumeEvent()));
    EXPECT_TRUE(thread.StopAndWait());
    EXPECT_EQ(thread.Runs(), 2);
}

TEST(ThreadBaseTest, StartWhileTheThreadRunsMakesNoSecondThread) {
    CTestThread thread;
    ASSERT_EQ(thread.Start(FALSE), THREAD_STATE_RUNNING);
    const HANDLE first = thread.GetThreadHandle();
    thread.Pause();
    EXPECT_EQ(thread.Start(FALSE), THREAD_STATE_PAUSED);
    EXPECT_EQ(thread.GetThreadHandle(), first);
    EXPECT_TRUE(IsSignalled(thread.PauseEvent()));
    EXPECT_TRUE(thread.StopAndWait());
    EXPECT_EQ(thread.Runs(), 1);
}

TEST(ThreadBaseTest, CheckPointAsTabled) {
    CTestThread thread; // never started: CheckPoint only reads the events
    EXPECT_EQ(thread.CheckPoint(0), CHECK_CONTINUE);
    EXPECT_EQ(thread.CheckPoint(20), CHECK_CONTINUE); // a sleep that nothing cut short

    SetEvent(thread.PauseEvent());
    SetEvent(thread.StopEvent());
    EXPECT_EQ(thread.CheckPoint(0), CHECK_STOP);
    ResetEvent(thread.StopEvent());

    // Paused: it holds until another thread resumes, then reports the resume.
    std::thread resumer([&thread] {
        Sleep(100);
        SetEvent(thread.ResumeEvent());
    });
    const DWORD start = GetTickCount();
    EXPECT_EQ(thread.CheckPoint(0), CHECK_RESUMED);
    EXPECT_GE(GetTickCount() - start, 50u);
    resumer.join();

    // Paused, and stopped instead of resumed.
    ResetEvent(thread.ResumeEvent());
    std::thread stopper([&thread] {
        Sleep(50);
        SetEvent(thread.StopEvent());
    });
    EXPECT_EQ(thread.CheckPoint(0), CHECK_STOP);
    stopper.join();
}

TEST(ThreadBaseTest, StopAndWaitReportsWhetherTheThreadIsGone) {
    CTestThread never;
    const DWORD start = GetTickCount();
    EXPECT_TRUE(never.StopAndWait()); // no thread: stop signalled, back at once
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_TRUE(IsSignalled(never.StopEvent()));

    // A thread stuck where no stop reaches it (as a download call that never
    // returns): StopAndWait gives up after its bound and says so.
    CTestThread stuck(true);
    ASSERT_EQ(stuck.Start(FALSE), THREAD_STATE_RUNNING);
    EXPECT_FALSE(stuck.StopAndWait());
    EXPECT_EQ(WaitForSingleObject(stuck.GetThreadHandle(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    stuck.Release();
    EXPECT_TRUE(stuck.StopAndWait());
    DWORD code = 0;
    GetExitCodeThread(stuck.GetThreadHandle(), &code);
    EXPECT_EQ(code, 7u); // Run's result is the thread's exit code
}

TEST(ThreadBaseTest, ThreadProcWithoutAnObjectReturnsZero) {
    EXPECT_EQ(CThreadBase::ThreadProc(nullptr), 0u);
}

} // namespace
