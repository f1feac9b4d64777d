#include "mainwnd/main_process_wnd.h"

#include "base/messages.h"
#include "download/download_thread.h"
#include "ipc/ipc_channel.h"
#include "ipc/paras_helper.h"
#include "screen_capture.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <atomic>
#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <objidl.h>
#include <shlwapi.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

namespace {

// The window with its worker; the worker is not the window's to delete.
class MainProcessWndTest : public testing::Test {
protected:
    void SetUp() override { m_wnd.Create(::GetModuleHandleW(nullptr)); }
    void TearDown() override {
        if (m_wnd.m_pDownloadThread != nullptr && m_wnd.m_pDownloadThread->StopAndWait()) {
            delete m_wnd.m_pDownloadThread;
        }
    }

    CMainProcessWnd m_wnd;
};

std::wstring ProgramPath() {
    return test::ModuleFolder() + L"\\RadeVare.exe";
}

// How many pixels of the middle row of rect, as the screen shows it, are the
// fill's blue; -1 when the screen cannot be read.
int BluePixelsOnScreen(const RECT& rect) {
    BITMAPINFOHEADER info = {};
    std::vector<uint8_t> bits;
    if (!CaptureScreen(rect, info, bits)) {
        return -1;
    }
    const int width = info.biWidth;
    const int height = info.biHeight;
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t(3);
    // Bottom-up rows: the middle row counted from the top.
    const uint8_t* row = bits.data() + static_cast<size_t>(height - 1 - height / 2) * stride;
    int blue = 0;
    for (int x = 0; x < width; ++x) {
        const int b = row[3 * x];
        const int r = row[3 * x + 2];
        blue += b > 150 && r < 150 && b - r > 60 ? 1 : 0;
    }
    return blue;
}

} // namespace

// Painted again and again while the process's other threads go idle, the
// half-full strip must look the same in every picture of the screen: the
// track with 125 pixels of fill, never the track alone.
TEST_F(MainProcessWndTest, TheScreenNeverShowsAHalfPaintedStrip) {
    HMODULE program = ::LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    ASSERT_TRUE(CMainProcessWnd::LoadPngResource(program, 134, &m_wnd.m_pImgTrack));
    ASSERT_TRUE(CMainProcessWnd::LoadPngResource(program, 133, &m_wnd.m_pImgFill));
    m_wnd.m_vecFiles.resize(4);
    m_wnd.m_nDoneCount = 2;
    m_wnd.ShowWindow(SW_SHOWNA);
    RECT rect = {};
    m_wnd.GetWindowRect(&rect);
    const auto paint = [this] {
        m_wnd.InvalidateRect(nullptr, FALSE);
        m_wnd.SendMessage(WM_ERASEBKGND);
    };
    const auto shown = [](int blue) { return blue == 124 || blue == 125; };

    // The first picture reaches the screen when a thread next goes idle.
    paint();
    int first = -1;
    for (int i = 0; i < 200 && !shown(first); ++i) {
        ::MsgWaitForMultipleObjectsEx(0, nullptr, 10, QS_ALLINPUT, 0);
        first = BluePixelsOnScreen(rect);
    }
    ASSERT_TRUE(shown(first)) << first << " blue pixels on the screen";

    // Under Wine every wait of another thread hands the window's pixels to
    // the display, whatever the painting thread is doing at the time.
    std::atomic<bool> done{false};
    std::thread idler([&done] {
        while (!done) {
            ::MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLINPUT, 0);
        }
    });
    std::atomic<int> pictures{0};
    std::atomic<int> wrong{0};
    std::atomic<int> lastWrong{0};
    std::thread camera([&] {
        while (!done) {
            const int blue = BluePixelsOnScreen(rect);
            if (blue >= 0) {
                ++pictures;
                if (!shown(blue)) {
                    ++wrong;
                    lastWrong = blue;
                }
            }
        }
    });
    int paints = 0;
    for (const ULONGLONG end = ::GetTickCount64() + 3000; ::GetTickCount64() < end; ++paints) {
        paint();
    }
    done = true;
    idler.join();
    camera.join();
    m_wnd.ShowWindow(SW_HIDE);
    ::FreeLibrary(program);
    EXPECT_GT(paints, 20);
    EXPECT_GT(pictures, 20);
    EXPECT_EQ(wrong, 0) << "of " << pictures << " pictures during " << paints << " paints; the last showed "
                        << lastWrong << " blue pixels";
}

TEST_F(MainProcessWndTest, CreatesAHiddenToolStripCentredOnTheWorkArea) {
    ASSERT_TRUE(m_wnd.IsWindow());
    WCHAR className[64] = {};
    ::GetClassNameW(m_wnd.m_hWnd, className, 64);
    EXPECT_STREQ(className, L"RADEVARE_DOWNLOAD");
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongPtrW(m_wnd.m_hWnd, GWL_STYLE)), 0x86000000u);
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongPtrW(m_wnd.m_hWnd, GWL_EXSTYLE)) & WS_EX_TOOLWINDOW,
              DWORD(WS_EX_TOOLWINDOW));
    EXPECT_FALSE(::IsWindowVisible(m_wnd.m_hWnd));
    EXPECT_EQ(static_cast<UINT>(::GetClassLongPtrW(m_wnd.m_hWnd, GCL_STYLE)), 0x000Bu);

    RECT work = {};
    ASSERT_TRUE(::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    RECT rect = {};
    m_wnd.GetWindowRect(&rect);
    EXPECT_EQ(rect.right - rect.left, 250);
    EXPECT_EQ(rect.bottom - rect.top, 12);
    EXPECT_EQ(rect.left, (work.left + work.right) / 2 - 125);
    EXPECT_EQ(rect.top, (work.top + work.bottom) / 2 - 6);
    RECT client = {};
    m_wnd.GetClientRect(&client);
    EXPECT_EQ(client.right, 250);
    EXPECT_EQ(client.bottom, 12);

    ASSERT_NE(m_wnd.m_pDownloadThread, nullptr);
    EXPECT_EQ(m_wnd.m_pDownloadThread->GetState(), THREAD_STATE_RUNNING);
}

TEST_F(MainProcessWndTest, MissingImagesLeaveThePointersAlone) {
    // The test program carries no bar images.
    EXPECT_EQ(m_wnd.m_pImgTrack, nullptr);
    EXPECT_EQ(m_wnd.m_pImgFill, nullptr);
    Gdiplus::Image* sentinel = reinterpret_cast<Gdiplus::Image*>(0x1234);
    Gdiplus::Image* image = sentinel;
    EXPECT_FALSE(CMainProcessWnd::LoadPngResource(::GetModuleHandleW(nullptr), 134, &image));
    EXPECT_EQ(image, sentinel);
    // Painting without images still reports the background as erased.
    EXPECT_EQ(m_wnd.SendMessage(WM_ERASEBKGND), 1);
    EXPECT_EQ(m_wnd.SendMessage(WM_PAINT), 1);
}

TEST_F(MainProcessWndTest, ProgramCarriesBothBarImages) {
    HMODULE program = ::LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    for (UINT id : {133u, 134u}) {
        Gdiplus::Image* image = nullptr;
        ASSERT_TRUE(CMainProcessWnd::LoadPngResource(program, id, &image)) << id;
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->GetLastStatus(), Gdiplus::Ok);
        EXPECT_EQ(image->GetWidth(), 552u);
        EXPECT_EQ(image->GetHeight(), 12u);
        EXPECT_TRUE(Gdiplus::IsAlphaPixelFormat(image->GetPixelFormat())) << "curved transparent ends need alpha";
        delete image;
    }
    ::FreeLibrary(program);
}

TEST_F(MainProcessWndTest, FileDoneWithAnIdOutsideTheListIsIgnored) {
    m_wnd.m_vecFiles.resize(2);
    m_wnd.m_nDoneCount = 0;
    for (LPARAM id : {LPARAM(0), LPARAM(-1), LPARAM(3), LPARAM(0x7FFFFFFF)}) {
        EXPECT_EQ(m_wnd.SendMessage(WM_FILE_DONE, 0, id), 1);
        EXPECT_EQ(m_wnd.SendMessage(WM_FILE_DONE, static_cast<WPARAM>(-1), id), 1);
    }
    EXPECT_EQ(m_wnd.m_nDoneCount, 0);
    EXPECT_TRUE(m_wnd.IsWindow());
}

TEST_F(MainProcessWndTest, OnlyTheChannelsOwnDeliveriesAreTaken) {
    // Any process can post 0x500 with any wParam: it is compared with what
    // the channel delivered, never followed or freed.
    auto* foreign = new CParasHelper(L"SomeHostMessage", 7, L"a", PARAS_END);
    EXPECT_EQ(m_wnd.SendMessage(WM_IPC_NOTIFY, reinterpret_cast<WPARAM>(foreign), 0), 0);
    for (WPARAM forged : {WPARAM(0), WPARAM(1), WPARAM(0x12345678), static_cast<WPARAM>(-1)}) {
        EXPECT_EQ(m_wnd.SendMessage(WM_IPC_NOTIFY, forged, 0), 0);
        EXPECT_EQ(m_wnd.m_ipc.TakeDelivered(forged), nullptr);
    }
    EXPECT_EQ(foreign->m_strName, L"SomeHostMessage") << "the foreign object was freed";
    delete foreign;
    EXPECT_TRUE(m_wnd.IsWindow());
}

TEST_F(MainProcessWndTest, WorkerMessagesCountOnlyForTasksThatEnded) {
    // Posted by anyone else, or before the worker has finished the task, the
    // three messages change nothing and never end the process.
    m_wnd.m_vecFiles.resize(2);
    m_wnd.m_nDoneCount = 0;
    for (WPARAM outcome : {WPARAM(0), static_cast<WPARAM>(-1)}) {
        for (LPARAM id : {LPARAM(0), LPARAM(1), LPARAM(2), LPARAM(-1)}) {
            EXPECT_EQ(m_wnd.SendMessage(WM_FILELIST_DONE, outcome, id), 0);
            EXPECT_EQ(m_wnd.SendMessage(WM_FILE_DONE, outcome, id), 1);
            EXPECT_EQ(m_wnd.SendMessage(WM_DELAYED_DOWNLOAD_DONE, outcome, id), 0);
        }
    }
    EXPECT_EQ(m_wnd.m_nDoneCount, 0);
    EXPECT_TRUE(m_wnd.IsWindow());
}

namespace {

// A clock that moves 8 ms at every reading: a slice of queuing then holds
// three files.
ULONGLONG g_steppingClock = 0;
ULONGLONG WINAPI SteppingClock() {
    return g_steppingClock += 8;
}

bool QueueFilesPending(HWND wnd) {
    MSG msg;
    return ::PeekMessageW(&msg, wnd, WM_QUEUE_FILES, WM_QUEUE_FILES, PM_NOREMOVE) != FALSE;
}

} // namespace

// The list's files are queued a slice at a time, the window answering in
// between: each slice makes the folders of its files, the worker gets the
// tasks in list order with ids that follow one another, and once every file
// is queued a WM_QUEUE_FILES from anyone changes nothing.
TEST_F(MainProcessWndTest, TheListIsQueuedInSlicesInListOrder) {
    // A worker that is never started keeps what it is given, and fails each
    // task at once when it is started (the addresses are no web addresses).
    ASSERT_TRUE(m_wnd.m_pDownloadThread->StopAndWait());
    delete m_wnd.m_pDownloadThread;
    m_wnd.m_pDownloadThread = new CDownloadThread();
    m_wnd.m_pfnTickCount = SteppingClock;

    // Before any list, nothing is queued.
    m_wnd.SendMessage(WM_QUEUE_FILES);
    EXPECT_FALSE(QueueFilesPending(m_wnd.m_hWnd));

    const test::CTempFolder target;
    m_wnd.m_strAppDir = target.Path();
    const size_t kFiles = 10;
    for (size_t i = 0; i < kFiles; ++i) {
        FileListItem item;
        item.FilePath = L"\\d" + std::to_wstring(i) + L"\\f.bin";
        item.url = L"ftp://example.invalid/" + std::to_wstring(i);
        m_wnd.m_vecFiles.push_back(item);
    }
    const auto folders = [&] {
        size_t made = 0;
        for (size_t i = 0; i < kFiles; ++i) {
            made += ::PathIsDirectoryW(target.File(L"d" + std::to_wstring(i)).c_str()) ? 1 : 0;
        }
        return made;
    };

    m_wnd.SendMessage(WM_QUEUE_FILES);
    EXPECT_EQ(folders(), 3u);
    std::vector<size_t> slices{folders()};
    MSG msg;
    while (::PeekMessageW(&msg, m_wnd.m_hWnd, WM_QUEUE_FILES, WM_QUEUE_FILES, PM_REMOVE)) {
        ::DispatchMessageW(&msg);
        slices.push_back(folders());
    }
    EXPECT_EQ(slices, (std::vector<size_t>{3, 6, 9, 10}));
    m_wnd.SendMessage(WM_QUEUE_FILES);
    EXPECT_FALSE(QueueFilesPending(m_wnd.m_hWnd));

    // The worker reports its tasks in the order it took them.
    m_wnd.m_pDownloadThread->Start(FALSE);
    ::SetEvent(m_wnd.m_pDownloadThread->m_hTaskEvent.get());
    std::vector<LPARAM> ids;
    const ULONGLONG deadline = ::GetTickCount64() + 10000;
    while (ids.size() < kFiles && ::GetTickCount64() < deadline) {
        if (::PeekMessageW(&msg, m_wnd.m_hWnd, WM_FILE_DONE, WM_FILE_DONE, PM_REMOVE)) {
            EXPECT_EQ(msg.wParam, static_cast<WPARAM>(-1));
            ids.push_back(msg.lParam);
        } else {
            ::Sleep(5);
        }
    }
    EXPECT_EQ(ids, (std::vector<LPARAM>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(MainProcessWndTest, ConnectingWithoutAHostStillStartsTheChannel) {
    m_wnd.ConnectHost(0);
    EXPECT_EQ(m_wnd.m_hHostWnd, nullptr);
    EXPECT_TRUE(m_wnd.m_ipc.IsReady());
    EXPECT_EQ(m_wnd.m_ipc.m_hNotifyWnd, m_wnd.m_hWnd);
    EXPECT_EQ(m_wnd.m_ipc.m_uNotifyMsg, UINT(WM_IPC_NOTIFY));
    // Without a host nothing is sent, so nothing waits for an answer.
    m_wnd.SendDownProgress(50);
    EXPECT_TRUE(m_wnd.m_ipc.WaitForAcknowledgements(0));
}

namespace {

// What the seams of the ways out saw. The test's main thread only.
int g_exits = 0;
int g_lastExitCode = -1;
int g_boxes = 0;
ULONGLONG g_clock = 0;
std::function<void()> g_insideBox;

void RecordExit(int code) {
    ++g_exits;
    g_lastExitCode = code;
}

int WINAPI RecordBox(HWND, LPCWSTR, LPCWSTR, UINT) {
    ++g_boxes;
    if (g_insideBox) {
        g_insideBox();
    }
    return IDOK;
}

ULONGLONG WINAPI FakeClock() {
    return g_clock;
}

// A host in this process: a real channel whose deliveries come to this
// window, which keeps the progress figure of every report.
class CHostInbox : public ATL::CWindowImpl<CHostInbox> {
public:
    static constexpr UINT kDelivered = WM_APP + 1;

    BOOL ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM, LRESULT& lResult, DWORD) override {
        if (uMsg != kDelivered) {
            return FALSE;
        }
        std::unique_ptr<CParasHelper> paras = m_channel.TakeDelivered(wParam);
        if (paras && paras->m_vecParams.size() == 2) {
            m_figures.push_back(std::stoi(paras->m_vecParams[1]));
        }
        lResult = 0;
        return TRUE;
    }

    // Takes what has arrived; the reports of an ending are acknowledged
    // before it ends the process, so they are all here by then.
    void Pump() {
        MSG msg;
        while (::PeekMessageW(&msg, m_hWnd, 0, 0, PM_REMOVE)) {
            ::DispatchMessageW(&msg);
        }
    }

    CIPCChannel m_channel;
    std::vector<int> m_figures;
};

class EndingTest : public MainProcessWndTest {
protected:
    void SetUp() override {
        MainProcessWndTest::SetUp();
        g_exits = 0;
        g_lastExitCode = -1;
        g_boxes = 0;
        g_clock = 1000;
        g_insideBox = nullptr;
        m_wnd.m_pfnExitProcess = RecordExit;
        m_wnd.m_pfnMessageBox = RecordBox;
        m_wnd.m_pfnTickCount = FakeClock;
        ASSERT_NE(m_host.Create(HWND_MESSAGE, RECT{0, 0, 1, 1}), nullptr);
        m_host.m_channel.m_hNotifyWnd = m_host.m_hWnd;
        m_host.m_channel.m_uNotifyMsg = CHostInbox::kDelivered;
        m_host.m_channel.StartThread();
        ASSERT_TRUE(m_host.m_channel.IsReady());
        m_wnd.ConnectHost(static_cast<int>(reinterpret_cast<intptr_t>(m_host.m_channel.GetThreadWnd())));
        ASSERT_NE(m_wnd.m_hHostWnd, nullptr);
    }

    // What the host heard once the process would have ended.
    std::vector<int> Figures() {
        // The channel thread posts each delivery; give the last a moment.
        for (int i = 0; i < 20; ++i) {
            m_host.Pump();
            ::Sleep(5);
        }
        return m_host.m_figures;
    }

    CHostInbox m_host;
};

} // namespace

struct EndingRow {
    CMainProcessWnd::RunEnding ending;
    std::vector<int> figures;
    int boxes;
};

class EveryEndingTest : public EndingTest, public testing::WithParamInterface<EndingRow> {};

// Every ending is one path: the worker stopped, the figures of its row, the
// box only where its row has one, the window destroyed and the process ended
// with exit code 0, once.
TEST_P(EveryEndingTest, FollowsItsRowOnce) {
    const EndingRow& row = GetParam();
    m_wnd.EndRun(row.ending);
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(g_lastExitCode, 0);
    EXPECT_EQ(g_boxes, row.boxes);
    EXPECT_EQ(m_wnd.m_pDownloadThread, nullptr) << "the worker was not stopped";
    EXPECT_FALSE(m_wnd.IsWindow());
    EXPECT_EQ(Figures(), row.figures);
    // A second ending, or a timer, afterwards changes nothing.
    m_wnd.EndRun(CMainProcessWnd::ENDING_TIMED_OUT);
    g_clock += 60000;
    m_wnd.SendMessage(WM_TIMER, IDT_WATCHDOG);
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(Figures(), row.figures);
}

INSTANTIATE_TEST_SUITE_P(Endings, EveryEndingTest,
                         testing::Values(EndingRow{CMainProcessWnd::ENDING_FINISHED, {100}, 0},
                                         EndingRow{CMainProcessWnd::ENDING_TIMED_OUT, {-1}, 1},
                                         EndingRow{CMainProcessWnd::ENDING_LIST_FAILED, {-1}, 1},
                                         EndingRow{CMainProcessWnd::ENDING_FILE_FAILED, {-1, -1}, 1},
                                         EndingRow{CMainProcessWnd::ENDING_CLOSED, {-1}, 0},
                                         EndingRow{CMainProcessWnd::ENDING_QUIET, {}, 0}));

TEST_F(EndingTest, WithoutTheUiNoEndingShowsTheBox) {
    m_wnd.m_bShowUi = FALSE;
    m_wnd.EndRun(CMainProcessWnd::ENDING_FILE_FAILED);
    EXPECT_EQ(g_boxes, 0);
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(Figures(), (std::vector<int>{-1, -1}));
}

// Alt+F4 or anyone's WM_CLOSE ends the run like any failure, without a box;
// one that comes while the box of another ending is open changes nothing.
TEST_F(EndingTest, ClosingTheStripEndsTheRunOnce) {
    ::PostMessageW(m_wnd.m_hWnd, WM_CLOSE, 0, 0);
    MSG msg;
    while (g_exits == 0 && ::PeekMessageW(&msg, m_wnd.m_hWnd, 0, 0, PM_REMOVE)) {
        ::DispatchMessageW(&msg);
    }
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(g_boxes, 0);
    EXPECT_FALSE(m_wnd.IsWindow());
    EXPECT_EQ(Figures(), std::vector<int>{-1});
}

TEST_F(EndingTest, ACloseWhileTheBoxIsOpenIsIgnored) {
    const HWND strip = m_wnd.m_hWnd;
    g_insideBox = [strip] { ::SendMessageW(strip, WM_CLOSE, 0, 0); };
    m_wnd.EndRun(CMainProcessWnd::ENDING_FILE_FAILED);
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(g_boxes, 1);
    EXPECT_EQ(Figures(), (std::vector<int>{-1, -1}));
}

// The watchdog allows fifteen seconds without progress, on the clock: any
// number of WM_TIMER messages posted in between (anyone can post them) end
// nothing, and the first tick after the allowance ends the run.
TEST_F(EndingTest, TheWatchdogMeasuresTimeNotTimerMessages) {
    m_wnd.m_ullLastProgress = g_clock;
    for (int i = 0; i < 100; ++i) {
        m_wnd.SendMessage(WM_TIMER, IDT_WATCHDOG);
    }
    g_clock += 14999;
    m_wnd.SendMessage(WM_TIMER, IDT_WATCHDOG);
    EXPECT_EQ(g_exits, 0) << "ended before the allowance was over";
    g_clock += 1;
    m_wnd.SendMessage(WM_TIMER, IDT_WATCHDOG);
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(g_boxes, 1);
    EXPECT_EQ(Figures(), std::vector<int>{-1});
}

namespace {

// A check of a large installed game: chunk after chunk until it is released
// or told to stop, then everything is found up to date.
std::atomic<bool> g_releaseCheck{false};
std::atomic<int> g_checkChunks{0};
std::atomic<bool> g_checkSawStop{false};

bool SlowCheck(const std::wstring&, FileListCheck& check, CDigestObserver* observer) {
    while (!g_releaseCheck) {
        if (observer == nullptr || !observer->OnChunk()) {
            g_checkSawStop = true;
            return false;
        }
        ++g_checkChunks;
        ::Sleep(5);
    }
    check = FileListCheck();
    return true;
}

class ListCheckTest : public EndingTest {
protected:
    void SetUp() override {
        EndingTest::SetUp();
        g_releaseCheck = false;
        g_checkChunks = 0;
        g_checkSawStop = false;
        m_wnd.m_listCheck.m_pfnCheck = SlowCheck;
        m_wnd.m_ullLastProgress = g_clock;
    }
    void TearDown() override {
        g_releaseCheck = true;
        EndingTest::TearDown();
    }

    bool WaitForChunks(int chunks) {
        for (int i = 0; i < 1000 && g_checkChunks < chunks; ++i) {
            ::Sleep(5);
        }
        return g_checkChunks >= chunks;
    }

    // Dispatches the window's messages until the run ends or waitMs pass.
    void PumpUntilEnded(DWORD waitMs) {
        MSG msg;
        for (const ULONGLONG end = ::GetTickCount64() + waitMs; g_exits == 0 && ::GetTickCount64() < end;) {
            if (::PeekMessageW(&msg, m_wnd.m_hWnd, 0, 0, PM_REMOVE)) {
                ::DispatchMessageW(&msg);
            } else {
                ::Sleep(5);
            }
        }
    }
};

} // namespace

// The check of the installed files runs beside the window: the window's
// thread is back at once, every tick while chunks are read counts as work
// however long the check takes, and the run goes on from its outcome.
TEST_F(ListCheckTest, TheInstalledFilesAreCheckedWhileTheWindowGoesOn) {
    m_wnd.ProcessFileList();
    ASSERT_TRUE(WaitForChunks(3)) << "the check never started";
    EXPECT_EQ(g_exits, 0);
    for (int i = 0; i < 30; ++i) {
        const int before = g_checkChunks;
        ASSERT_TRUE(WaitForChunks(before + 1));
        g_clock += 1000;
        m_wnd.SendMessage(WM_TIMER, IDT_WATCHDOG);
    }
    EXPECT_EQ(g_exits, 0) << "thirty seconds of reading ended as a stall";
    // A forged "checked" message before the check has ended brings nothing forward.
    m_wnd.SendMessage(WM_LIST_CHECKED);
    EXPECT_EQ(g_exits, 0);

    g_releaseCheck = true;
    PumpUntilEnded(5000);
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(g_boxes, 0);
    EXPECT_EQ(Figures(), std::vector<int>{100});
}

// Once the check has stopped reading, the watchdog's allowance runs again.
TEST_F(ListCheckTest, ACheckThatStopsReadingIsAStall) {
    g_releaseCheck = false;
    m_wnd.m_listCheck.m_pfnCheck = [](const std::wstring&, FileListCheck&, CDigestObserver* observer) {
        observer->OnChunk();
        while (!g_releaseCheck && !g_checkSawStop) {
            ::Sleep(5);
        }
        return false;
    };
    m_wnd.ProcessFileList();
    ::Sleep(50);
    m_wnd.SendMessage(WM_TIMER, IDT_WATCHDOG); // the one chunk
    g_clock += 15000;
    m_wnd.SendMessage(WM_TIMER, IDT_WATCHDOG);
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(Figures(), std::vector<int>{-1});
    g_checkSawStop = true;
}

// An ending stops the check at its next chunk, within the ending's bound.
TEST_F(ListCheckTest, AnEndingStopsTheCheck) {
    m_wnd.ProcessFileList();
    ASSERT_TRUE(WaitForChunks(1));
    m_wnd.EndRun(CMainProcessWnd::ENDING_CLOSED);
    EXPECT_TRUE(g_checkSawStop) << "the ending did not wait for the check to stop";
    EXPECT_EQ(g_exits, 1);
    EXPECT_EQ(Figures(), std::vector<int>{-1});
}

// A worker message that never arrives (another process filled the queue)
// costs a tick: every tick takes the outcome of the task waited for next,
// and so does any worker message, whatever it carries, but only once the
// worker has that outcome.
TEST_F(EndingTest, ALostWorkerMessageCostsATickAtMost) {
    ASSERT_TRUE(m_wnd.m_pDownloadThread->StopAndWait());
    delete m_wnd.m_pDownloadThread;
    m_wnd.m_pDownloadThread = new CDownloadThread();
    const test::CTempFolder target;
    m_wnd.m_strAppDir = target.Path();
    for (int i = 0; i < 2; ++i) {
        FileListItem item;
        item.FilePath = L"\\f" + std::to_wstring(i) + L".bin";
        item.url = L"ftp://example.invalid/" + std::to_wstring(i); // fails at once
        m_wnd.m_vecFiles.push_back(item);
    }
    m_wnd.SendMessage(WM_QUEUE_FILES);
    // Before any task has ended, messages of every kind, the ends of lParam
    // among them, find nothing to take.
    for (LPARAM id : {LPARAM(INT_MIN), LPARAM(INT_MAX), LPARAM(-1), LPARAM(0), LPARAM(1)}) {
        EXPECT_EQ(m_wnd.SendMessage(WM_FILE_DONE, 0, id), 1);
        m_wnd.SendMessage(WM_FILELIST_DONE, 0, id);
        m_wnd.SendMessage(WM_DELAYED_DOWNLOAD_DONE, 0, id);
    }
    EXPECT_EQ(g_exits, 0);
    m_wnd.m_pDownloadThread->Start(FALSE);
    ::SetEvent(m_wnd.m_pDownloadThread->m_hTaskEvent.get());
    // Both messages are lost.
    int lost = 0;
    MSG msg;
    for (const ULONGLONG end = ::GetTickCount64() + 10000; lost < 2 && ::GetTickCount64() < end;) {
        if (::PeekMessageW(&msg, m_wnd.m_hWnd, WM_FILE_DONE, WM_FILE_DONE, PM_REMOVE)) {
            ++lost;
        } else {
            ::Sleep(5);
        }
    }
    ASSERT_EQ(lost, 2);
    EXPECT_EQ(g_exits, 0);
    m_wnd.SendMessage(WM_TIMER, IDT_WATCHDOG);
    EXPECT_EQ(g_exits, 1) << "the tick did not take the first file's failure";
    EXPECT_EQ(g_boxes, 1);
    EXPECT_EQ(Figures(), (std::vector<int>{-1, -1}));
}
