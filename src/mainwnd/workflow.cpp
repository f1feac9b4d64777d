#include "mainwnd/main_process_wnd.h"

#include "base/handle_wire.h"
#include "base/messages.h"
#include "config/client_config.h"
#include "config/file_list.h"
#include "config/settings_table.h"
#include "digest/fetch_rules.h"
#include "download/download_thread.h"
#include "ipc/ipc_messages.h"
#include "ipc/paras_helper.h"

#include <cstdlib>

#include <shlobj.h>
#include <shlwapi.h>

namespace {

const UINT kWatchdogIntervalMs = 1000;

// The worker expands environment references in every path it writes to. A
// folder is used only in a form that expansion leaves as it is, so that the
// path checked, the path written and the path digested are one path.
bool ExpandToStableFolder(const std::wstring& folder, std::wstring& expanded) {
    const auto expand = [](const std::wstring& text, std::wstring& out) {
        const DWORD needed = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        if (needed == 0) {
            return false;
        }
        std::wstring buffer(needed, L'\0');
        const DWORD length = ::ExpandEnvironmentStringsW(text.c_str(), &buffer[0], needed);
        if (length == 0 || length > needed) {
            return false;
        }
        buffer.resize(length - 1);
        out.swap(buffer);
        return true;
    };
    std::wstring once;
    std::wstring twice;
    if (!expand(folder, once) || !expand(once, twice) || once != twice) {
        return false;
    }
    expanded.swap(once);
    return true;
}

// The FilePath form the folders are made from and the files written to.
std::wstring WithBackslashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

} // namespace

void CMainProcessWnd::StartWatchdog() {
    ResetWatchdog();
    m_nLastActivity = m_pDownloadThread != nullptr ? m_pDownloadThread->GetActivityCount() : 0;
    SetTimer(IDT_WATCHDOG, kWatchdogIntervalMs);
}

int CMainProcessWnd::AddDownload(const std::wstring& url, const std::wstring& savePath, const std::wstring& fileName,
                                 UINT notifyMsg, const std::wstring& md5) {
    if (m_pDownloadThread == nullptr) {
        return kNoTask;
    }
    DownloadTask task;
    task.strRequestUrl = url;
    task.strUrl = url;
    task.strSavePath = savePath;
    task.strFileName = fileName;
    task.uNotifyMsg = notifyMsg;
    // A link that drops or a server that is busy for a moment costs a wait,
    // not the run.
    task.bRetry = TRUE;
    task.hNotifyWnd = m_hWnd;
    task.strMd5 = md5;
    m_pDownloadThread->AddTask(task);
    return task.nTaskId;
}

std::wstring CMainProcessWnd::FolderOf(const std::wstring& filePath) {
    // The part up to and including the last separator; nothing for a bare
    // name. SHCreateDirectory takes backslashes only.
    const std::wstring path = WithBackslashes(filePath);
    const size_t lastSeparator = path.rfind(L'\\');
    return lastSeparator == std::wstring::npos ? std::wstring() : path.substr(0, lastSeparator + 1);
}

void CMainProcessWnd::CreateFolder(const std::wstring& folder) {
    if (!folder.empty() && !::PathIsDirectoryW(folder.c_str())) {
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
    const std::wstring relative = L"\\" + WithBackslashes(appPath);
    std::wstring folder;
    if (!IsWebUrl(url) || !IsPlainRelativePath(appPath) || !ExpandToStableFolder(GetModuleFolder(), folder) ||
        !IsPathInsideFolder(folder, relative)) {
        EndRun(ENDING_QUIET);
        return;
    }
    // The worker makes no folders, and a file for later usually goes into
    // one that this installation does not have yet.
    const std::wstring target = folder + relative;
    CreateFolder(FolderOf(target));
    // A background instance must never live forever: a stalled or reset
    // connection does not time out by itself, so the stall watchdog ends it.
    m_bDelayedMode = TRUE;
    StartWatchdog();
    m_nDelayedTaskId = AddDownload(url, target, appPath, WM_DELAYED_DOWNLOAD_DONE);
    WakeWorker();
}

void CMainProcessWnd::StartFromUrl(const std::wstring& openUrl, const std::wstring& appPath) {
    if (openUrl.empty()) {
        EndRun(ENDING_QUIET);
        return;
    }
    StartWatchdog();
    // Its values are not used by this mode; the channel id still reaches
    // the registry.
    LoadClientConfig();

    // Without a target folder the listed paths would start at the root of
    // the current drive; and a list from anything but a web address is not
    // fetched at all.
    std::wstring moduleFolder;
    if (appPath.empty() || !ExpandToStableFolder(appPath, m_strAppDir) || !IsWebUrl(openUrl) ||
        !ExpandToStableFolder(GetModuleFolder(), moduleFolder)) {
        EndRun(ENDING_LIST_FAILED);
        return;
    }
    // The file list always goes beside the executable, whatever the target.
    m_nListTaskId = AddDownload(openUrl, moduleFolder + L"\\FileList.xml", L"FileList.xml", WM_FILELIST_DONE);
    WakeWorker();
}

void CMainProcessWnd::StartFromConfig() {
    StartWatchdog();
    LoadClientConfig();
    const std::wstring url = g_settingsTable.GetDownUrl();
    if (url.empty()) {
        EndRun(ENDING_QUIET);
        return;
    }
    if (!IsWebUrl(url) || !ExpandToStableFolder(GetModuleFolder(), m_strAppDir)) {
        EndRun(ENDING_LIST_FAILED);
        return;
    }
    m_nListTaskId = AddDownload(url, m_strAppDir + L"\\FileList.xml", L"FileList.xml", WM_FILELIST_DONE);
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
