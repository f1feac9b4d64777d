#pragma once

#include "mainwnd/main_process_wnd.h"

#include <string>

#include <windows.h>

// The application: hooks up the crash reporter, reads the options, creates
// the progress window, starts one run mode and runs the message loop.
// Main thread only.
class CRunProcess {
public:
    virtual ~CRunProcess() = default;

    // Every workflow ends the process from a window handler with exit code
    // 0; a WM_QUIT that reaches the message loop ends the run as a closed
    // strip does (0 is returned only where the process's end is a seam, as
    // in tests), and a broken message queue returns 1.
    int Execute(HINSTANCE hInstance, const std::wstring& commandLine, int nShowCmd);

    CMainProcessWnd m_wnd;
};
