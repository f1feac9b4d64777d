// The engine against the project's test server: what it sends, how it hands
// a body over, and that nothing of the network can hold its caller.
#include "download/winhttp_engine.h"

#include "download_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

namespace {

constexpr DWORD kWaitMs = 10000;

class WinHttpEngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(test::ServerUrl(L"").empty()) << "RADEVARE_TEST_SERVER is not set"; }

    // The whole body of the open request, read in pieces.
    static std::string ReadAll(CWinHttpEngine& engine) {
        std::string body;
        char buffer[65536];
        for (;;) {
            DWORD read = 0;
            const CHttpEngine::Step step = engine.Read(buffer, sizeof(buffer), read, kWaitMs);
            if (step != CHttpEngine::STEP_DONE || read == 0) {
                EXPECT_EQ(step, CHttpEngine::STEP_DONE);
                return body;
            }
            body.append(buffer, read);
        }
    }

    base::unique_event m_hStop{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

BOOL CALLBACK NoteOwnWindow(HWND window, LPARAM param) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) {
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    }
    return TRUE;
}

// Windows of this process, top-level and message-only: any of them is a
// place where another process could post.
std::vector<HWND> OwnWindows() {
    std::vector<HWND> found;
    EnumWindows(&NoteOwnWindow, reinterpret_cast<LPARAM>(&found));
    for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); window != nullptr;
         window = FindWindowExW(HWND_MESSAGE, window, nullptr, nullptr)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId()) {
            found.push_back(window);
        }
    }
    return found;
}

TEST_F(WinHttpEngineTest, AResponseAndItsBodyComeAsTheServerSentThem) {
    CWinHttpEngine engine(m_hStop.get(), L"RadeVare/test");
    ASSERT_EQ(engine.Open(test::ServerUrl(L"/x/size=300000/engine.bin"), L"X-Test: 1\r\n", kWaitMs),
              CHttpEngine::STEP_DONE);
    EXPECT_EQ(engine.Status(), 200u);
    EXPECT_NE(engine.Headers().find(L"Content-Length: 300000"), std::wstring::npos) << engine.Headers().c_str();
    EXPECT_EQ(engine.Headers().compare(0, 9, L"HTTP/1.1 "), 0);
    EXPECT_EQ(ReadAll(engine), test::GeneratedBody(300000));
    EXPECT_EQ(test::ServerLogged(L"/x/size=300000/engine.bin", "user_agent"),
              std::vector<std::string>{"RadeVare/test"});

    // A status is a response like any other, and a redirect is not followed.
    ASSERT_EQ(engine.Open(test::ServerUrl(L"/x/status=503/busy.bin"), L"", kWaitMs), CHttpEngine::STEP_DONE);
    EXPECT_EQ(engine.Status(), 503u);
    ASSERT_EQ(engine.Open(test::ServerUrl(L"/x/redirect=302/size=10/moved.bin"), L"", kWaitMs), CHttpEngine::STEP_DONE);
    EXPECT_EQ(engine.Status(), 302u);
    EXPECT_EQ(test::ServerRequestCount(L"/x/size=10/moved.bin"), 0);

    // Several requests in a row share one connection.
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(engine.Open(test::ServerUrl(L"/x/size=800/kept" + std::to_wstring(i) + L".bin"), L"", kWaitMs),
                  CHttpEngine::STEP_DONE);
        EXPECT_EQ(ReadAll(engine).size(), 800u);
    }
}

TEST_F(WinHttpEngineTest, FailuresSayWhatKindTheyAre) {
    CWinHttpEngine engine(m_hStop.get(), L"RadeVare/test");
    EXPECT_EQ(engine.Open(L"http://127.0.0.1:1/refused.bin", L"", kWaitMs), CHttpEngine::STEP_FAILED);
    EXPECT_EQ(engine.LastError(), CHttpEngine::ERROR_CONNECT);
    EXPECT_EQ(engine.Open(L"ftp://127.0.0.1/x", L"", kWaitMs), CHttpEngine::STEP_FAILED);
    EXPECT_EQ(engine.LastError(), CHttpEngine::ERROR_URL);
    // A reset in mid-body is a broken connection, never the end of a body
    // that could pass for whole. (The reset may come before the headers
    // were read: the kernel then throws them away with the rest.)
    for (int i = 0; i < 5; ++i) {
        const CHttpEngine::Step opened = engine.Open(
            test::ServerUrl(L"/x/size=200000/reset=50000/reset" + std::to_wstring(i) + L".bin"), L"", kWaitMs);
        if (opened == CHttpEngine::STEP_FAILED) {
            EXPECT_TRUE(engine.LastError() == CHttpEngine::ERROR_BROKEN ||
                        engine.LastError() == CHttpEngine::ERROR_CONNECT)
                << engine.LastError();
            continue;
        }
        ASSERT_EQ(opened, CHttpEngine::STEP_DONE);
        char buffer[65536];
        CHttpEngine::Step step = CHttpEngine::STEP_DONE;
        size_t total = 0;
        for (DWORD read = 1; step == CHttpEngine::STEP_DONE && read > 0; total += read) {
            step = engine.Read(buffer, sizeof(buffer), read, kWaitMs);
        }
        EXPECT_LE(total, 50000u);
        if (step == CHttpEngine::STEP_FAILED) {
            EXPECT_EQ(engine.LastError(), CHttpEngine::ERROR_BROKEN);
        } else {
            EXPECT_LT(total, 200000u) << "taken for a whole body";
        }
    }
}

TEST_F(WinHttpEngineTest, NoWaitOutlastsItsBoundAndAStopEndsOneAtOnce) {
    CWinHttpEngine engine(m_hStop.get(), L"RadeVare/test");
    // The headers come, the body stalls for three seconds: every read returns within its wait.
    ASSERT_EQ(engine.Open(test::ServerUrl(L"/x/size=1000/stall=3/stalled.bin"), L"", kWaitMs), CHttpEngine::STEP_DONE);
    char buffer[1000];
    DWORD read = 0;
    ULONGLONG started = GetTickCount64();
    EXPECT_EQ(engine.Read(buffer, sizeof(buffer), read, 200), CHttpEngine::STEP_PENDING);
    EXPECT_LT(GetTickCount64() - started, 1000u);
    // A stop ends the wait at once, whatever the network does.
    SetEvent(m_hStop.get());
    started = GetTickCount64();
    EXPECT_EQ(engine.Read(buffer, sizeof(buffer), read, kWaitMs), CHttpEngine::STEP_STOPPED);
    EXPECT_LT(GetTickCount64() - started, 500u);
    ResetEvent(m_hStop.get());

    // The request given up inside a call: the next one gets a thread of its
    // own, and the old one ends once its call returns (the stall's end).
    started = GetTickCount64();
    ASSERT_EQ(engine.Open(test::ServerUrl(L"/x/size=100/next.bin"), L"", kWaitMs), CHttpEngine::STEP_DONE);
    EXPECT_EQ(ReadAll(engine).size(), 100u);
    EXPECT_LT(GetTickCount64() - started, 2000u) << "the next request waited for the stalled one";
    ASSERT_NE(engine.AbandonedThreadForTest(), nullptr);
    EXPECT_EQ(WaitForSingleObject(engine.AbandonedThreadForTest(), 10000), WAIT_OBJECT_0);
}

TEST_F(WinHttpEngineTest, ATransferMakesNoWindowAnotherProcessCouldPostTo) {
    const std::vector<HWND> before = OwnWindows();
    CWinHttpEngine engine(m_hStop.get(), L"RadeVare/test");
    ASSERT_EQ(engine.Open(test::ServerUrl(L"/x/size=400000/rate=400000/windowless.bin"), L"", kWaitMs),
              CHttpEngine::STEP_DONE);
    char buffer[1000];
    DWORD read = 0;
    ASSERT_EQ(engine.Read(buffer, sizeof(buffer), read, kWaitMs), CHttpEngine::STEP_DONE);
    EXPECT_EQ(OwnWindows(), before);
    engine.Close();
}

} // namespace
