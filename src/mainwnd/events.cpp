#include "mainwnd/main_process_wnd.h"

#include "base/messages.h"
#include "config/client_config.h"
#include "config/file_list.h"
#include "download/download_thread.h"
#include "download/partial_files.h"
#include "mainwnd/delayed_command.h"

#include <climits>
#include <cstdlib>

#include <shellapi.h>
#include <shlwapi.h>

namespace {

// How long the watchdog lets a run go without a sign of progress.
const ULONGLONG kIdleAllowedMs = 15000;
// How long one slice of queuing the list's files may hold the window's
// thread: well inside what a user notices as a window that does not answer.
const ULONGLONG kQueueSliceMs = 20;
// The longest the process waits, on its way out, for the host to take its
// last reports.
const DWORD kAcknowledgeWaitMs = 1000;
const int kNoFigure = INT_MIN;

const wchar_t kErrorCaption[] = L"下载错误";
const wchar_t kErrorText[] = L"下载出现错误！请重新打开！";

// One row per ending, in the order of CMainProcessWnd::RunEnding.
struct EndingSteps {
    int nFigure;       // reported to the host first; kNoFigure for none
    bool bFollowUps;   // the run list is started and the delay list handed on
    bool bBox;         // the error box, when the strip may show at all
    bool bFigureAgain; // the figure once more after the box
};

const EndingSteps kEndingSteps[] = {
    {100, true, false, false},       // ENDING_FINISHED: the second 100; the first came with the last file
    {-1, false, true, false},        // ENDING_TIMED_OUT
    {-1, false, true, false},        // ENDING_LIST_FAILED
    {-1, false, true, true},         // ENDING_FILE_FAILED
    {-1, false, false, false},       // ENDING_CLOSED: the user chose it, nothing to tell them
    {kNoFigure, false, false, false} // ENDING_QUIET
};
static_assert(sizeof(kEndingSteps) / sizeof(kEndingSteps[0]) == CMainProcessWnd::ENDING_QUIET + 1,
              "one row per ending");

} // namespace

void CMainProcessWnd::ShowErrorBox() {
    m_pfnMessageBox(nullptr, kErrorText, kErrorCaption, MB_OK);
}

void CMainProcessWnd::StopWorker() {
    if (m_pDownloadThread == nullptr) {
        return;
    }
    // Bounded: a worker stuck in a transfer that never returns still uses
    // its object, so it is left alone then and the process ends around it.
    // Otherwise it has removed the partial file of the transfer it was in.
    if (m_pDownloadThread->StopAndWait()) {
        delete m_pDownloadThread;
    }
    m_pDownloadThread = nullptr;
}

void CMainProcessWnd::EndRun(RunEnding ending) {
    if (m_bEnding || ending < ENDING_FINISHED || ending > ENDING_QUIET) {
        return;
    }
    const EndingSteps& steps = kEndingSteps[ending];
    // From here on worker messages (inside the box, say), the watchdog and a
    // second close are held back.
    m_bEnding = TRUE;
    KillTimer(IDT_WATCHDOG);
    // Nothing is fetched behind the box, and nothing is placed once the
    // ending has begun. The digest thread and the list check give up their
    // files at once; the worker's stop is the longer, so all are asked
    // before any is waited for, and together they stay within the worker's
    // bound.
    m_digestThread.RequestStop();
    m_listCheck.RequestStop();
    const ULONGLONG stopStarted = ::GetTickCount64();
    StopWorker();
    const ULONGLONG stopTook = ::GetTickCount64() - stopStarted;
    // A digest thread held in a read that never returns keeps its file
    // open: that partial file stays for the next run's clean-up.
    const ULONGLONG bound = CThreadBase::kStopWaitMs;
    if (m_digestThread.StopAndWait(stopTook < bound ? static_cast<DWORD>(bound - stopTook) : 0)) {
        DiscardUncheckedFiles();
    }
    // A check held in a read that never returns only reads: it is left to
    // the process's end.
    const ULONGLONG waited = ::GetTickCount64() - stopStarted;
    m_listCheck.StopAndWait(waited < bound ? static_cast<DWORD>(bound - waited) : 0);
    // Hidden before the box: the box is about the download, not over the bar.
    ShowWindow(SW_HIDE);
    if (steps.nFigure != kNoFigure) {
        SendDownProgress(steps.nFigure);
    }
    if (steps.bFollowUps) {
        LaunchRunList();
        SpawnDelayedDownloads();
        m_bFinished = TRUE;
    }
    if (steps.bBox && m_bShowUi) {
        ShowErrorBox();
    }
    if (steps.bFigureAgain) {
        SendDownProgress(steps.nFigure);
    }
    DestroyWindow();
    // A report lives in a block that exists only while this process holds
    // it: give the host the time to read what was sent.
    if (m_bReported) {
        m_ipc.WaitForAcknowledgements(kAcknowledgeWaitMs);
    }
    m_pfnExitProcess(0);
}

void CMainProcessWnd::ResetWatchdog() {
    m_ullLastProgress = m_pfnTickCount();
}

void CMainProcessWnd::OnTimer() {
    if (m_bEnding) {
        return;
    }
    // Whatever a lost message (a full queue) would have brought is taken
    // here: a task's outcome, a digest result, the list's check, the next
    // slice of the list.
    TakeWorkerOutcomes();
    TakeVerifiedFiles();
    OnListChecked();
    QueueFiles();
    if (m_bEnding) {
        return;
    }
    // Bytes arriving at the worker count as progress, and so do bytes the
    // digest thread reads: a large file that keeps coming, or that a slow
    // disk takes long to check, is never cut; a stalled one is. Every tick
    // only looks at the clock, so a burst of WM_TIMER from elsewhere changes
    // nothing.
    const LONG digestActivity = m_digestThread.GetActivityCount();
    const LONG checkActivity = m_listCheck.GetActivityCount();
    const LONG activity = m_pDownloadThread != nullptr ? m_pDownloadThread->GetActivityCount() : m_nLastActivity;
    if (activity != m_nLastActivity || digestActivity != m_nLastDigestActivity ||
        checkActivity != m_nLastCheckActivity) {
        m_nLastActivity = activity;
        m_nLastDigestActivity = digestActivity;
        m_nLastCheckActivity = checkActivity;
        ResetWatchdog();
        return;
    }
    if (m_pfnTickCount() - m_ullLastProgress < kIdleAllowedMs) {
        return;
    }
    EndRun(m_bDelayedMode ? ENDING_QUIET : ENDING_TIMED_OUT);
}

CDownloadThread::TaskOutcome CMainProcessWnd::TakeOutcome(int taskId, DownloadTask& result) {
    // Only a task's own outcome, taken once from the worker while the run
    // still goes on, counts.
    if (m_bEnding || m_pDownloadThread == nullptr || taskId == kNoTask) {
        return CDownloadThread::TASK_UNKNOWN;
    }
    return m_pDownloadThread->TakeTaskOutcome(taskId, result);
}

void CMainProcessWnd::TakeWorkerOutcomes() {
    DownloadTask result;
    CDownloadThread::TaskOutcome outcome = TakeOutcome(m_nListTaskId, result);
    if (outcome != CDownloadThread::TASK_UNKNOWN) {
        m_nListTaskId = kNoTask;
        OnFileListDone(result, outcome);
    }
    outcome = TakeOutcome(m_nDelayedTaskId, result);
    if (outcome != CDownloadThread::TASK_UNKNOWN) {
        m_nDelayedTaskId = kNoTask;
        OnDelayedDownloadDone(outcome, result);
    }
    // The listed files' tasks were queued one after another and end in that
    // order: the next one to wait for is the first whose outcome is not
    // taken.
    bool took = false;
    while (!m_bEnding && m_nFirstFileTaskId != kNoTask && m_nTakenFiles < m_nQueuedFiles) {
        const size_t index = m_nTakenFiles;
        outcome = TakeOutcome(m_nFirstFileTaskId + static_cast<int>(index), result);
        if (outcome == CDownloadThread::TASK_UNKNOWN) {
            break;
        }
        ++m_nTakenFiles;
        OnFileDone(index, result, outcome);
        took = true;
    }
    // A failed download ends the run only once the files before it are
    // checked, so the host hears their figures first, as it always has.
    if (took) {
        TakeVerifiedFiles();
    }
}

void CMainProcessWnd::OnFileListDone(DownloadTask& result, CDownloadThread::TaskOutcome outcome) {
    if (outcome == CDownloadThread::TASK_FAILED || !PlaceDownloadedFile(result.strUrl)) {
        EndRun(ENDING_LIST_FAILED);
        return;
    }
    ProcessFileList();
}

void CMainProcessWnd::ProcessFileList() {
    m_nDoneCount = 0;
    m_vecFiles.clear();
    // Reading every installed file can take minutes for a large game: the
    // window goes on answering while a thread of its own does it. Without
    // that thread the check is made here, as it must be made somewhere.
    if (!m_listCheck.Start(m_hWnd, WM_LIST_CHECKED, m_strAppDir)) {
        FileListCheck check;
        const bool usable = m_listCheck.m_pfnCheck(m_strAppDir, check, nullptr);
        OnListCheckEnded(usable, check);
    }
}

void CMainProcessWnd::OnListChecked() {
    FileListCheck check;
    const CListCheck::Outcome outcome = m_bEnding ? CListCheck::CHECK_PENDING : m_listCheck.Take(check);
    if (outcome != CListCheck::CHECK_PENDING) {
        OnListCheckEnded(outcome == CListCheck::CHECK_USABLE, check);
    }
}

void CMainProcessWnd::OnListCheckEnded(bool usable, FileListCheck& check) {
    // An unreadable list, or one naming a file outside the target folder,
    // is a failed list, not an empty one.
    if (!usable || !CommitFileList(check)) {
        EndRun(ENDING_LIST_FAILED);
        return;
    }
    m_vecFiles = GetDownloadList();
    if (m_vecFiles.empty()) {
        // Everything is present and verified: the run is over at once.
        EndRun(ENDING_FINISHED);
        return;
    }
    // Every file the list names is the package's, up to date or not: none
    // is ever removed as a leftover of another one's download.
    if (m_pDownloadThread != nullptr) {
        m_pDownloadThread->ProtectFiles(std::move(check.listedPaths));
    }
    if (m_bShowUi) {
        ShowWindow(SW_SHOW);
    }
    SendDownProgress(0);
    m_nQueuedFiles = 0;
    m_nTakenFiles = 0;
    m_setQueuedFolders.clear();
    QueueFiles();
}

void CMainProcessWnd::QueueFiles() {
    if (m_bEnding || m_nQueuedFiles >= m_vecFiles.size()) {
        return;
    }
    const ULONGLONG sliceStarted = m_pfnTickCount();
    do {
        const FileListItem& item = m_vecFiles[m_nQueuedFiles];
        const std::wstring savePath = m_strAppDir + item.FilePath;
        // Each folder is looked at once: a package of thousands of files in a
        // few folders would otherwise ask the file system thousands of times.
        const std::wstring folder = FolderOf(savePath);
        if (m_setQueuedFolders.insert(folder).second) {
            CreateFolder(folder);
        }
        // Task ids follow one another in list order: the first file's id
        // tells every other file's place in the list.
        const int taskId = AddDownload(item.url, savePath, std::wstring(), WM_FILE_DONE, item.md5);
        if (m_nQueuedFiles == 0) {
            m_nFirstFileTaskId = taskId;
        }
        ++m_nQueuedFiles;
    } while (m_nQueuedFiles < m_vecFiles.size() && m_pfnTickCount() - sliceStarted < kQueueSliceMs);
    // The worker starts on the first slice while the next is queued.
    WakeWorker();
    // A lost post (a full queue) is made good by the watchdog's next tick.
    if (m_nQueuedFiles < m_vecFiles.size()) {
        PostMessage(WM_QUEUE_FILES);
    }
}

void CMainProcessWnd::OnFileDone(size_t index, DownloadTask& result, CDownloadThread::TaskOutcome outcome) {
    CheckedFile file;
    file.nIndex = index;
    if (outcome == CDownloadThread::TASK_SUCCEEDED) {
        // The digest is taken of the downloaded copy, off this thread: a
        // large file would keep the strip from answering for seconds.
        file.job = std::make_shared<DigestJob>();
        file.job->nTaskId = m_nFirstFileTaskId + static_cast<int>(index);
        file.job->strPath = result.strUrl;
    }
    m_queChecks.push_back(file);
    if (file.job && !m_digestThread.Add(file.job)) {
        DigestNow(*file.job);
    }
}

void CMainProcessWnd::TakeVerifiedFiles() {
    while (!m_bEnding && !m_queChecks.empty()) {
        const CheckedFile& next = m_queChecks.front();
        if (!next.job) {
            m_queChecks.pop_front();
            EndRun(ENDING_FILE_FAILED);
            return;
        }
        if (!next.job->bDone) {
            return;
        }
        const std::wstring partialPath = next.job->strPath;
        const bool matched = DigestMatches(next.job->strDigest, m_vecFiles[next.nIndex].md5);
        m_queChecks.pop_front();
        // The installed file is replaced only by a copy that matched, in one step.
        if (!matched) {
            DiscardDownloadedFile(partialPath);
            EndRun(ENDING_FILE_FAILED);
            return;
        }
        if (!PlaceDownloadedFile(partialPath)) {
            EndRun(ENDING_FILE_FAILED);
            return;
        }
        RECT client = {};
        GetClientRect(&client);
        const int filledBefore = FillWidth(client.right);
        ++m_nDoneCount;
        SendDownProgress(DonePercentage());
        if (static_cast<size_t>(m_nDoneCount) == m_vecFiles.size()) {
            EndRun(ENDING_FINISHED);
            return;
        }
        ResetWatchdog();
        // A package of thousands of small files moves the bar by a pixel only
        // every few files: a repaint that would draw the same bar again is
        // left out.
        if (FillWidth(client.right) != filledBefore) {
            InvalidateRect(nullptr, TRUE);
        }
    }
}

void CMainProcessWnd::DiscardUncheckedFiles() {
    for (const CheckedFile& file : m_queChecks) {
        if (file.job) {
            DiscardDownloadedFile(file.job->strPath);
        }
    }
    m_queChecks.clear();
}

void CMainProcessWnd::OnDelayedDownloadDone(CDownloadThread::TaskOutcome outcome, DownloadTask& result) {
    // No digest comes with a file for later: a complete download is put in
    // place, and whatever the outcome the background instance is done.
    if (outcome == CDownloadThread::TASK_SUCCEEDED) {
        PlaceDownloadedFile(result.strUrl);
    }
    EndRun(ENDING_QUIET);
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
