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

    // Returns 1 when a WM_QUIT ends the message loop; every workflow ends the
    // process from a window handler with exit code 0 instead.
    int Execute(HINSTANCE hInstance, const std::wstring& commandLine, int nShowCmd);

    CMainProcessWnd m_wnd;
};
