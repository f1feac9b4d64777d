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
