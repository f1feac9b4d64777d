#pragma once

#include "window/window_impl.h"

#include <string>

#include <windows.h>

// The progress strip and the controller of the download workflow.
// Placeholder until the workflow lands: it records what the run modes ask
// for and starts nothing. Main thread only.
class CMainProcessWnd : public ATL::CWindowImpl<CMainProcessWnd, ATL::CWindow, ATL::CControlWinTraits> {
public:
    DECLARE_WND_CLASS_EX(L"RADEVARE_DOWNLOAD", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, COLOR_WINDOW)

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;

    LONG Create(HINSTANCE hInstance);
    void StartDelayedDownload(const std::wstring& url, const std::wstring& appPath);
    void StartFromUrl(const std::wstring& openUrl, const std::wstring& appPath);
    void StartFromConfig();
    void ConnectHost(int hostWnd);

    std::wstring m_strCmdLine;
    BOOL m_bShowUi = TRUE;
    BOOL m_bRunAfter = TRUE;
    HWND m_hHostWnd = nullptr;
    int m_nGameId = -1;
};
