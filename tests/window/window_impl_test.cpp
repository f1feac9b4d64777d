#include "window/window_impl.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

std::atomic<int> g_messagesSeen{0};

class CPlainWnd : public ATL::CWindowImpl<CPlainWnd> {
public:
    BOOL ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM, LRESULT& lResult, DWORD) override {
        ++g_messagesSeen;
        switch (uMsg) {
        case WM_USER + 1:
            lResult = static_cast<LRESULT>(wParam) * 2;
            return TRUE;
        case WM_USER + 2:
            throw std::runtime_error("handler failed");
        default:
            return FALSE;
        }
    }
    void OnFinalMessage(HWND hWnd) override { m_finalWindow = hWnd; }

    HWND m_finalWindow = nullptr;
};

class COtherWnd : public ATL::CWindowImpl<COtherWnd> {
public:
    BOOL ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&, DWORD) override { return FALSE; }
};

class CNamedWnd : public ATL::CWindowImpl<CNamedWnd> {
public:
    DECLARE_WND_CLASS_EX(L"RV_TEST_NAMED_CLASS", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, COLOR_WINDOW)
    BOOL ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&, DWORD) override { return FALSE; }
};

const RECT kRect = {0, 0, 1, 1};

std::wstring ClassNameOf(HWND hWnd) {
    WCHAR name[256] = {};
    ::GetClassNameW(hWnd, name, 256);
    return name;
}

} // namespace

TEST(WindowImplTest, UnnamedClassesGetOneGeneratedNameEach) {
    CPlainWnd a, b;
    COtherWnd other;
    ASSERT_NE(a.Create(HWND_MESSAGE, kRect), nullptr);
    ASSERT_NE(b.Create(HWND_MESSAGE, kRect), nullptr);
    ASSERT_NE(other.Create(HWND_MESSAGE, kRect), nullptr);

    const std::wstring name = ClassNameOf(a.m_hWnd);
    ASSERT_EQ(name.compare(0, 4, L"ATL:"), 0) << "class name: " << testing::PrintToString(name);
    EXPECT_EQ(name.size(), 4 + 2 * sizeof(void*));
    EXPECT_EQ(name.find_first_not_of(L"0123456789ABCDEFabcdef", 4), std::wstring::npos);
    EXPECT_EQ(ClassNameOf(b.m_hWnd), name);
    EXPECT_NE(ClassNameOf(other.m_hWnd), name);

    EXPECT_EQ(static_cast<UINT>(::GetClassLongPtrW(a.m_hWnd, GCL_STYLE)), UINT(CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS));
    EXPECT_EQ(::GetClassLongPtrW(a.m_hWnd, GCLP_HBRBACKGROUND), static_cast<LONG_PTR>(COLOR_WINDOW + 1));
    EXPECT_NE(::GetClassLongPtrW(a.m_hWnd, GCLP_HCURSOR), 0);
}

TEST(WindowImplTest, NamedClassKeepsItsName) {
    CNamedWnd wnd;
    ASSERT_NE(wnd.Create(HWND_MESSAGE, kRect), nullptr);
    EXPECT_EQ(ClassNameOf(wnd.m_hWnd), L"RV_TEST_NAMED_CLASS");
    CNamedWnd second;
    EXPECT_NE(second.Create(HWND_MESSAGE, kRect), nullptr) << "a second window of a registered class";
}

TEST(WindowImplTest, TraitsGiveTheDefaultStyleUnlessOneIsPassed) {
    EXPECT_EQ(ATL::CControlWinTraits::GetWndStyle(0), DWORD(WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN));
    EXPECT_EQ(ATL::CControlWinTraits::GetWndStyle(WS_POPUP), DWORD(WS_POPUP));
    EXPECT_EQ(ATL::CControlWinTraits::GetWndExStyle(0), 0u);
    EXPECT_EQ((ATL::CWinTraits<0, WS_EX_TOOLWINDOW>::GetWndExStyle(0)), DWORD(WS_EX_TOOLWINDOW));
}

TEST(WindowImplTest, HandledMessagesReturnTheirResultOthersGetTheDefault) {
    CPlainWnd wnd;
    ASSERT_NE(wnd.Create(HWND_MESSAGE, kRect), nullptr);
    EXPECT_EQ(wnd.SendMessage(WM_USER + 1, 21), 42);

    // Not handled: the default procedure keeps the window text.
    ::SetWindowTextW(wnd.m_hWnd, L"hello");
    WCHAR text[16] = {};
    ::GetWindowTextW(wnd.m_hWnd, text, 16);
    EXPECT_STREQ(text, L"hello");

    // An exception in the message map does not cross the window procedure.
    EXPECT_EQ(wnd.SendMessage(WM_USER + 2), 0);
    EXPECT_TRUE(wnd.IsWindow());
}

TEST(WindowImplTest, FinalMessageComesAfterTheWindowIsGone) {
    CPlainWnd wnd;
    HWND hWnd = wnd.Create(HWND_MESSAGE, kRect);
    ASSERT_NE(hWnd, nullptr);
    EXPECT_EQ(wnd.m_hWnd, hWnd);
    EXPECT_TRUE(wnd.DestroyWindow());
    EXPECT_EQ(wnd.m_finalWindow, hWnd);
    EXPECT_EQ(wnd.m_hWnd, nullptr);
    EXPECT_FALSE(::IsWindow(hWnd));
}

TEST(WindowImplTest, DestroyingTheObjectDestroysItsWindowOnTheSameThread) {
    HWND hWnd = nullptr;
    {
        CPlainWnd wnd;
        hWnd = wnd.Create(HWND_MESSAGE, kRect);
        ASSERT_NE(hWnd, nullptr);
    }
    EXPECT_FALSE(::IsWindow(hWnd));
}

TEST(WindowImplTest, ObjectGoneWhileItsWindowLivesOnAnotherThreadIsNeverCalled) {
    auto* wnd = new CPlainWnd;
    HWND hWnd = nullptr;
    HANDLE created = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread owner([&] {
        hWnd = wnd->Create(HWND_MESSAGE, kRect);
        ::SetEvent(created);
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::DispatchMessageW(&msg);
        }
        ::DestroyWindow(hWnd);
    });
    ASSERT_EQ(::WaitForSingleObject(created, 5000), WAIT_OBJECT_0);
    ASSERT_NE(hWnd, nullptr);
    EXPECT_EQ(::SendMessageW(hWnd, WM_USER + 1, 5, 0), 10);

    delete wnd; // detaches; the window stays with its thread
    EXPECT_TRUE(::IsWindow(hWnd));
    const int seen = g_messagesSeen;
    EXPECT_EQ(::SendMessageW(hWnd, WM_USER + 1, 5, 0), 0); // the default procedure's answer
    EXPECT_EQ(g_messagesSeen, seen);

    ::PostThreadMessageW(::GetWindowThreadProcessId(hWnd, nullptr), WM_QUIT, 0, 0);
    owner.join();
    ::CloseHandle(created);
}

namespace {

// Runs fn on a thread of its own and waits for it, taking the messages it
// sends meanwhile: a message sent from there is a message from another
// thread, as one from another process is.
template <class F>
void FromAnotherThread(F fn) {
    std::atomic<bool> done{false};
    std::thread other([&] {
        fn();
        done = true;
    });
    while (!done) {
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // delivers the sent ones
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
    }
    other.join();
}

void PumpPosted(HWND hWnd) {
    MSG msg;
    while (::PeekMessageW(&msg, hWnd, 0, 0, PM_REMOVE)) {
        ::DispatchMessageW(&msg);
    }
}

} // namespace

// Another process can post or send the messages of a window's birth and
// death: none of them may unbind the object from its live window, bind
// another object to it, or be followed as a pointer.
TEST(WindowImplTest, LifecycleMessagesFromElsewhereLeaveTheObjectBound) {
    CPlainWnd wnd;
    CPlainWnd decoy;
    HWND hWnd = wnd.Create(HWND_MESSAGE, kRect);
    ASSERT_NE(hWnd, nullptr);

    CREATESTRUCTW forged = {};
    forged.lpCreateParams = &decoy;
    ::PostMessageW(hWnd, WM_NCDESTROY, 0, 0);
    ::PostMessageW(hWnd, WM_DESTROY, 0, 0);
    ::PostMessageW(hWnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&forged));
    ::PostMessageW(hWnd, WM_NCCREATE, 0, 0x10); // followed, it would fault
    ::PostMessageW(hWnd, WM_CREATE, 0, 0x10);
    PumpPosted(hWnd);
    FromAnotherThread([&] {
        ::SendMessageW(hWnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&forged));
        ::SendMessageW(hWnd, WM_NCDESTROY, 0, 0);
    });
    // What another process can also write; the layer never reads it.
    ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&decoy));

    EXPECT_EQ(wnd.SendMessage(WM_USER + 1, 21), 42) << "the window no longer reaches its object";
    EXPECT_EQ(wnd.m_hWnd, hWnd);
    EXPECT_EQ(wnd.m_finalWindow, nullptr);
    EXPECT_EQ(decoy.m_hWnd, nullptr) << "a forged WM_NCCREATE bound another object";

    // The real end still comes through.
    EXPECT_TRUE(wnd.DestroyWindow());
    EXPECT_EQ(wnd.m_finalWindow, hWnd);
    EXPECT_EQ(wnd.m_hWnd, nullptr);
}

// The default handling of WM_CLOSE destroys the window through the layer, so
// the object hears of its window's end.
TEST(WindowImplTest, ClosedWindowTellsItsObject) {
    CPlainWnd wnd;
    HWND hWnd = wnd.Create(HWND_MESSAGE, kRect);
    ASSERT_NE(hWnd, nullptr);
    ::PostMessageW(hWnd, WM_CLOSE, 0, 0);
    PumpPosted(hWnd);
    EXPECT_FALSE(::IsWindow(hWnd));
    EXPECT_EQ(wnd.m_finalWindow, hWnd);
    EXPECT_EQ(wnd.m_hWnd, nullptr);
}

namespace {

std::atomic<int> g_timerCalls{0};

void CALLBACK CountTimerCall(HWND, UINT, UINT_PTR, DWORD) {
    ++g_timerCalls;
}

} // namespace

// A timer callback is an address in lParam: posted by another process, the
// system would call it. The program's loops drop any WM_TIMER that has one.
TEST(WindowImplTest, QueuedTimerMessagesWithACallbackAreNeverCalled) {
    CPlainWnd wnd;
    HWND hWnd = wnd.Create(HWND_MESSAGE, kRect);
    ASSERT_NE(hWnd, nullptr);
    const TIMERPROC proc = CountTimerCall;
    ::PostMessageW(hWnd, WM_TIMER, 7, reinterpret_cast<LPARAM>(proc));
    ::PostMessageW(hWnd, 0x0118, 7, reinterpret_cast<LPARAM>(proc)); // WM_SYSTIMER
    ::PostMessageW(hWnd, WM_TIMER, 7, 0);
    const int seen = g_messagesSeen;
    MSG msg;
    while (::PeekMessageW(&msg, hWnd, 0, 0, PM_REMOVE)) {
        ATL::DispatchQueuedMessage(msg);
    }
    EXPECT_EQ(g_timerCalls, 0);
    EXPECT_EQ(g_messagesSeen, seen + 1) << "the plain WM_TIMER reaches the window";
}

namespace {

const TIMERPROC kForeignProc = CountTimerCall;
constexpr UINT kSysTimer = 0x0118; // WM_SYSTIMER

// Posts a WM_TIMER and a WM_SYSTIMER that carry a callback address, as any
// process can, and a plain WM_TIMER.
void PostForgedTimers(HWND hWnd) {
    ::PostMessageW(hWnd, WM_TIMER, 7, reinterpret_cast<LPARAM>(kForeignProc));
    ::PostMessageW(hWnd, kSysTimer, 7, reinterpret_cast<LPARAM>(kForeignProc));
    ::PostMessageW(hWnd, WM_TIMER, 7, 0);
}

// The loop any code of the thread may run: everything dispatched as it comes.
void DispatchEverything(HWND hWnd) {
    MSG msg;
    while (::PeekMessageW(&msg, hWnd, 0, 0, PM_REMOVE)) {
        ::DispatchMessageW(&msg);
    }
}

std::atomic<int> g_dialogTimers{0};

// A modal dialog that the system's own loop runs: the forged timers go to it
// as it starts, and a message behind them ends it.
INT_PTR CALLBACK ForgedTimerDialog(HWND hDlg, UINT uMsg, WPARAM, LPARAM lParam) {
    switch (uMsg) {
    case WM_INITDIALOG:
        PostForgedTimers(hDlg);
        ::PostMessageW(hDlg, WM_APP, 0, 0);
        return TRUE;
    case WM_TIMER:
        g_dialogTimers += lParam == 0 ? 1 : 0;
        return TRUE;
    case WM_APP:
        ::EndDialog(hDlg, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

INT_PTR RunForgedTimerDialog() {
    // A template of no controls: the header, then no menu, the default
    // class and an empty title, each one WORD.
    struct {
        DLGTEMPLATE header;
        WORD menu, windowClass, title;
    } dialog = {};
    dialog.header.style = WS_POPUP | DS_MODALFRAME;
    dialog.header.cx = 40;
    dialog.header.cy = 20;
    return ::DialogBoxIndirectParamW(::GetModuleHandleW(nullptr), &dialog.header, nullptr, ForgedTimerDialog, 0);
}

} // namespace

// The filter of the thread reaches every loop, the system's modal ones
// included: a timer callback someone else posted is never called, while a
// plain WM_TIMER still reaches its window. Without the filter the same loops
// call it.
TEST(WindowImplTest, TheThreadsTimerFilterReachesLoopsThatAreNotOurs) {
    CPlainWnd wnd;
    const HWND hWnd = wnd.Create(HWND_MESSAGE, kRect);
    ASSERT_NE(hWnd, nullptr);
    g_timerCalls = 0;
    g_dialogTimers = 0;
    {
        const ATL::CTimerCallbackFilter filter;
        ASSERT_TRUE(filter.IsInstalled());
        PostForgedTimers(hWnd);
        const int seen = g_messagesSeen;
        DispatchEverything(hWnd);
        EXPECT_EQ(g_timerCalls, 0) << "a plain loop called the posted address";
        EXPECT_GE(g_messagesSeen, seen + 1) << "the plain WM_TIMER never reached the window";

        EXPECT_EQ(RunForgedTimerDialog(), 1);
        EXPECT_EQ(g_timerCalls, 0) << "the dialog's modal loop called the posted address";
        EXPECT_EQ(g_dialogTimers, 1) << "the plain WM_TIMER never reached the dialog";
    }
    // The filter gone, the same plain loop calls both addresses (the system
    // calls a WM_SYSTIMER's too): the checks above can fail.
    PostForgedTimers(hWnd);
    DispatchEverything(hWnd);
    EXPECT_EQ(g_timerCalls, 2);
    EXPECT_EQ(RunForgedTimerDialog(), 1);
    EXPECT_EQ(g_timerCalls, 4) << "the modal loop without the filter";
}
