#include "mainwnd/main_process_wnd.h"

BOOL CMainProcessWnd::ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&, DWORD) {
    return FALSE;
}

LONG CMainProcessWnd::Create(HINSTANCE) {
    return 0;
}

void CMainProcessWnd::StartDelayedDownload(const std::wstring&, const std::wstring&) {}

void CMainProcessWnd::StartFromUrl(const std::wstring&, const std::wstring&) {}

void CMainProcessWnd::StartFromConfig() {}

void CMainProcessWnd::ConnectHost(int hostWnd) {
    m_hHostWnd = reinterpret_cast<HWND>(static_cast<INT_PTR>(hostWnd));
}
