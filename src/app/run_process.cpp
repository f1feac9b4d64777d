#include "app/run_process.h"

#include "app/command_line.h"
#include "app/crash_report.h"
#include "app/run_mode.h"
#include "config/client_config.h"

int CRunProcess::Execute(HINSTANCE hInstance, const std::wstring& commandLine, int /*nShowCmd*/) {
    InstallCrashReporter();
    // Before any window or box: no loop of this thread ever calls an
    // address another process posted.
    const ATL::CTimerCallbackFilter timerFilter;

    const std::wstring rawCommandLine = commandLine;
    CCommandLine options;
    options.Parse(rawCommandLine);

    m_wnd.Create(hInstance);

    if (options.HasOption(L"gameid")) {
        m_wnd.m_nGameId = options.GetOptionInt(L"gameid");
    }
    if (options.HasOption(L"noprocess")) {
        m_wnd.m_bShowUi = FALSE;
    }
    if (options.HasOption(L"norun")) {
        m_wnd.m_bRunAfter = FALSE;
    }
    // Before any mode starts, so the channel is up before the first report.
    if (options.HasOption(L"biw")) {
        m_wnd.ConnectHost(options.GetOptionInt(L"biw"));
    }

    switch (SelectRunMode(rawCommandLine, options)) {
    case RunMode::DelayedDownload:
        m_wnd.StartDelayedDownload(options.GetOption(L"downtype"), options.GetOption(L"apppath"));
        break;
    case RunMode::OpenUrl:
        m_wnd.StartFromUrl(options.GetOption(L"openurl"), options.GetOption(L"apppath"));
        break;
    case RunMode::Setup:
        m_wnd.m_strCmdLine = rawCommandLine;
        // Ends the process itself when no file-list URL is configured, so the
        // keys are written only for a configured setup.
        m_wnd.StartFromConfig();
        if (RequestsGameCenterKeys(rawCommandLine)) {
            SaveGameCenterKeys();
        }
        break;
    case RunMode::None:
        // Nothing to fetch, and nothing would ever end a process left
        // waiting without a window or a timer: it ends at once instead.
        m_wnd.EndRun(CMainProcessWnd::ENDING_QUIET);
        return 0;
    }

    MSG msg;
    for (;;) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            // WM_QUIT, which nothing in the program posts: another process
            // posted it to the strip or the thread. It ends the run like a
            // WM_CLOSE: the host hears -1 once, and nothing is left behind.
            m_wnd.EndRun(CMainProcessWnd::ENDING_CLOSED);
            return 0;
        }
        if (got == -1) {
            return 1;
        }
        ::TranslateMessage(&msg);
        ATL::DispatchQueuedMessage(msg);
    }
}
