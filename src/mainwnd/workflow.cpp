#include "mainwnd/main_process_wnd.h"

#include "base/handle_wire.h"
#include "base/messages.h"
#include "config/client_config.h"
#include "config/settings_table.h"
#include "download/download_thread.h"
#include "ipc/ipc_messages.h"
#include "ipc/paras_helper.h"

#include <cstdlib>

#include <shlobj.h>
#include <shlwapi.h>

namespace {

const UINT kWatchdogIntervalMs = 1000;

} // namespace

void CMainProcessWnd::StartWatchdog() {
    m_nIdleTicks = 0;
    m_nLastActivity = m_pDownloadThread != nullptr ? m_pDownloadThread->GetActivityCount() : 0;
    SetTimer(IDT_WATCHDOG, kWatchdogIntervalMs);
}

void CMainProcessWnd::AddDownload(const std::wstring& url, const std::wstring& savePath, const std::wstring& fileName,
                                  UINT notifyMsg) {
    if (m_pDownloadThread == nullptr) {
        return;
    }
    DownloadTask task;
    task.strRequestUrl = url;
    task.strUrl = url;
    task.strSavePath = savePath;
    task.strFileName = fileName;
    task.uNotifyMsg = notifyMsg;
    task.bRetry = FALSE;
    task.hNotifyWnd = m_hWnd;
    m_pDownloadThread->AddTask(task);
}

void CMainProcessWnd::CreateFolderOf(const std::wstring& filePath) {
    // The part up to and including the last backslash; nothing for a bare name.
    const size_t lastBackslash = filePath.rfind(L'\\');
    if (lastBackslash == std::wstring::npos) {
        return;
    }
    const std::wstring folder = filePath.substr(0, lastBackslash + 1);
    if (!::PathIsDirectoryW(folder.c_str())) {
        ::SHCreateDirectory(nullptr, folder.c_str());
    }
}

void CMainProcessWnd::WakeWorker() {
    // One signal after a batch is enough: the worker drains the whole queue.
    if (m_pDownloadThread != nullptr) {
        ::SetEvent(m_pDownloadThread->m_hTaskEvent.get());
    }
}

void CMainProcessWnd::StartDelayedDownload(const std::wstring& url, const std::wstring& appPath) {
    // The path arrives on the command line, from anyone: the file must land
    // inside the executable's folder.
    const std::wstring relative = L"\\" + appPath;
    if (!IsPlainRelativePath(appPath) || !IsPathInsideFolder(GetModuleFolder(), relative)) {
        std::exit(0);
    }
    // The worker makes no folders, and a file for later usually goes into
    // one that this installation does not have yet.
    const std::wstring target = GetModuleFolder() + relative;
    CreateFolderOf(target);
    // A background instance must never live forever: a stalled or reset
    // connection does not time out by itself, so the stall watchdog ends it.
    m_bDelayedMode = TRUE;
    StartWatchdog();
    AddDownload(url, target, appPath, WM_DELAYED_DOWNLOAD_DONE);
    WakeWorker();
}

void CMainProcessWnd::StartFromUrl(const std::wstring& openUrl, const std::wstring& appPath) {
    if (openUrl.empty()) {
        std::exit(0);
    }
    m_strAppDir = appPath;
    StartWatchdog();
    // Its values are not used by this mode; the channel id still reaches
    // the registry.
    LoadClientConfig();

    // The file list always goes beside the executable, whatever the target.
    AddDownload(openUrl, GetModuleFolder() + L"\\FileList.xml", L"FileList.xml", WM_FILELIST_DONE);
    WakeWorker();
}

void CMainProcessWnd::StartFromConfig() {
    m_strAppDir = GetModuleFolder();
    StartWatchdog();
    LoadClientConfig();
    const std::wstring url = g_settingsTable.GetDownUrl();
    if (url.empty()) {
        std::exit(0);
    }
    AddDownload(url, m_strAppDir + L"\\FileList.xml", L"FileList.xml", WM_FILELIST_DONE);
    WakeWorker();
}

void CMainProcessWnd::ConnectHost(int hostWnd) {
    // Window handles are 32-bit values; the option carries them in signed decimal.
    m_hHostWnd = base::WindowFromDecimalOption(hostWnd);
    m_ipc.m_hNotifyWnd = m_hWnd;
    m_ipc.m_uNotifyMsg = WM_IPC_NOTIFY;
    m_ipc.StartThread();
}

void CMainProcessWnd::SendDownProgress(int progress) {
    if (m_hHostWnd == nullptr) {
        return;
    }
    IPC_MainProcess_OnDownProcess report;
    report.m_gameId.m_value = m_nGameId;
    report.m_progress.m_value = progress;
    std::unique_ptr<CParasHelper> paras = report.ToParas();
    m_ipc.PostToPeer(m_hHostWnd, paras.get());
    m_bReported = TRUE;
}
