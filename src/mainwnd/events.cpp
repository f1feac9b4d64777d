#include "mainwnd/main_process_wnd.h"

#include "base/messages.h"
#include "config/client_config.h"
#include "config/file_list.h"
#include "download/download_thread.h"
#include "mainwnd/delayed_command.h"

#include <cstdlib>

#include <shellapi.h>
#include <shlwapi.h>

namespace {

// Ticks without any sign of progress before the run ends as a time-out.
const int kIdleTicksAllowed = 15;
// The longest the process waits, on its way out, for the host to take its
// last reports.
const DWORD kAcknowledgeWaitMs = 1000;

const wchar_t kErrorCaption[] = L"下载错误";
const wchar_t kErrorText[] = L"下载出现错误！请重新打开！";

} // namespace

void CMainProcessWnd::ShowErrorBox() {
    ::MessageBoxW(nullptr, kErrorText, kErrorCaption, MB_OK);
}

void CMainProcessWnd::StopWorker() {
    if (m_pDownloadThread == nullptr) {
        return;
    }
    // A worker stuck in a transfer that never returns still uses its
    // object: it is left alone then, and the process ends around it.
    if (m_pDownloadThread->StopAndWait()) {
        delete m_pDownloadThread;
    }
    m_pDownloadThread = nullptr;
}

void CMainProcessWnd::EndProcess() {
    // A report lives in a block that exists only while this process holds
    // it: give the host the time to read what was sent.
    if (m_bReported) {
        m_ipc.WaitForAcknowledgements(kAcknowledgeWaitMs);
    }
    std::exit(0);
}

void CMainProcessWnd::OnTimer() {
    if (m_bEnding) {
        return;
    }
    // Bytes arriving at the worker count as progress: a large file that
    // keeps coming is never cut, a stalled one is.
    if (m_pDownloadThread != nullptr) {
        const LONG activity = m_pDownloadThread->GetActivityCount();
        if (activity != m_nLastActivity) {
            m_nLastActivity = activity;
            m_nIdleTicks = 0;
            return;
        }
    }
    if (m_nIdleTicks != kIdleTicksAllowed) {
        ++m_nIdleTicks;
        return;
    }
    m_bEnding = TRUE;
    KillTimer(IDT_WATCHDOG);
    if (m_bDelayedMode) {
        // A background instance ends quietly: no host, no box.
        std::exit(0);
    }
    SendDownProgress(-1);
    if (m_bShowUi && !m_bFinished) {
        ShowErrorBox();
    }
    StopWorker();
    DestroyWindow();
    EndProcess();
}

void CMainProcessWnd::OnFileListDone(WPARAM wParam, LPARAM lParam) {
    if (m_bEnding) {
        return;
    }
    if (wParam != 0) {
        FailFileList();
    }
    DownloadTask result;
    if (m_pDownloadThread != nullptr) {
        m_pDownloadThread->GetTaskResult(static_cast<int>(lParam), result);
    }
    // The worker stores the local path on success; without it the watchdog
    // ends the run.
    if (!result.strUrl.empty()) {
        ProcessFileList();
    }
}

void CMainProcessWnd::FailFileList() {
    m_bEnding = TRUE;
    ShowWindow(SW_HIDE);
    SendDownProgress(-1);
    KillTimer(IDT_WATCHDOG);
    if (m_bShowUi) {
        ShowErrorBox();
    }
    EndProcess();
}

void CMainProcessWnd::ProcessFileList() {
    m_nDoneCount = 0;
    m_vecFiles.clear();
    // An unreadable list, or one naming a file outside the target folder,
    // is a failed list, not an empty one.
    if (!LoadFileList(m_strAppDir)) {
        FailFileList();
    }
    m_vecFiles = GetDownloadList();
    if (m_vecFiles.empty()) {
        // Everything is present and verified: the run is over at once.
        FinishRun();
    }
    if (m_bShowUi) {
        ShowWindow(SW_SHOW);
    }
    SendDownProgress(0);
    for (const FileListItem& item : m_vecFiles) {
        const std::wstring savePath = m_strAppDir + item.FilePath;
        CreateFolderOf(savePath);
        AddDownload(item.url, savePath, std::wstring(), WM_FILE_DONE);
    }
    WakeWorker();
}

LRESULT CMainProcessWnd::OnFileDone(WPARAM wParam, LPARAM lParam) {
    if (m_bEnding) {
        return 1;
    }
    // Task ids 1 to n belong to the listed files; anything else is not ours.
    const LPARAM taskId = lParam;
    if (taskId < 1 || static_cast<size_t>(taskId) > m_vecFiles.size()) {
        return 1;
    }
    if (wParam != 0) {
        FailFile();
    }
    DownloadTask result;
    if (m_pDownloadThread != nullptr) {
        m_pDownloadThread->GetTaskResult(static_cast<int>(taskId), result);
    }
    if (!CheckFileMd5(result.strSavePath, m_vecFiles[static_cast<size_t>(taskId) - 1].md5)) {
        FailFile();
    }
    ++m_nDoneCount;
    SendDownProgress(DonePercentage());
    if (static_cast<size_t>(m_nDoneCount) == m_vecFiles.size()) {
        FinishRun();
    }
    m_nIdleTicks = 0;
    InvalidateRect(nullptr, TRUE);
    return 1;
}

void CMainProcessWnd::FailFile() {
    m_bEnding = TRUE;
    SendDownProgress(-1);
    ShowWindow(SW_HIDE);
    KillTimer(IDT_WATCHDOG);
    if (m_bShowUi) {
        ShowErrorBox();
    }
    SendDownProgress(-1);
    EndProcess();
}

void CMainProcessWnd::FinishRun() {
    m_bEnding = TRUE;
    SendDownProgress(100);
    ShowWindow(SW_HIDE);
    KillTimer(IDT_WATCHDOG);
    LaunchRunList();
    SpawnDelayedDownloads();
    m_bFinished = TRUE;
    StopWorker();
    DestroyWindow();
    EndProcess();
}

void CMainProcessWnd::LaunchRunList() {
    for (const FileListItem& item : GetRunList()) {
        std::wstring program = m_strAppDir + item.FilePath;
        if (!m_bRunAfter) {
            continue;
        }
        // An installed game center is started in place of its downloaded setup.
        if (std::wstring(::PathFindFileNameW(program.c_str())).find(L"Tandrel_Setup_") != std::wstring::npos) {
            std::wstring installed;
            if (ReadGameCenterDisplayIcon(installed)) {
                program = installed;
            }
        }
        const std::wstring parameters = m_strCmdLine + L" " + item.CMD;
        ::ShellExecuteW(nullptr, L"open", program.c_str(), parameters.c_str(), nullptr, SW_SHOWNORMAL);
    }
}

void CMainProcessWnd::SpawnDelayedDownloads() {
    for (const FileListItem& item : GetDelayList()) {
        WCHAR program[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, program, MAX_PATH);
        const std::wstring parameters = BuildDelayedDownloadParameters(item.url, item.FilePath);
        ::ShellExecuteW(nullptr, L"open", program, parameters.c_str(), nullptr, SW_SHOWNORMAL);
    }
}
