#pragma once

#include "config/file_list.h"
#include "download/download_thread.h"
#include "ipc/ipc_channel.h"
#include "mainwnd/digest_thread.h"
#include "mainwnd/list_check.h"
#include "window/window_impl.h"

#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <windows.h>

namespace Gdiplus {
class Image;
}

// The progress strip and the controller of the download workflow: it owns
// the download worker, the digest thread and the IPC channel, queues the
// downloads of the run modes, verifies every finished file, reports progress
// to the host and ends the process when the run is over. Main thread only;
// the worker, the digest thread and the channel reach it only by posting
// messages.
class CMainProcessWnd : public ATL::CWindowImpl<CMainProcessWnd, ATL::CWindow, ATL::CControlWinTraits> {
public:
    DECLARE_WND_CLASS_EX(L"RADEVARE_DOWNLOAD", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS, COLOR_WINDOW)

    CMainProcessWnd() = default;
    ~CMainProcessWnd() override;

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                              DWORD dwMsgMapID = 0) override;

    // Creates the hidden, centred 250 x 12 strip with its images and starts
    // the digest thread and the download worker; returns the worker's state.
    LONG Create(HINSTANCE hInstance);
    // Loads PNG resource id of hInstance into *image (null when it cannot be
    // decoded into an object); FALSE when the resource is missing.
    static BOOL LoadPngResource(HINSTANCE hInstance, UINT id, Gdiplus::Image** image);
    void CenterOnWorkArea();

    // The run modes; each queues one download and returns.
    void StartDelayedDownload(const std::wstring& url, const std::wstring& appPath);
    void StartFromUrl(const std::wstring& openUrl, const std::wstring& appPath);
    void StartFromConfig();
    // Ties the window to the host process over IPC; 0 means no host.
    void ConnectHost(int hostWnd);
    // Reports a progress figure to the host, when there is one.
    void SendDownProgress(int progress);
    // Starts the check of the installed files against the file list placed
    // beside the program; the run goes on from its outcome (OnListChecked).
    void ProcessFileList();

    // Every way a run ends, from a verified package to a closed strip. Each is
    // one row of a small table (what the host hears, whether the box shows,
    // whether the follow-ups run) that EndRun carries out in one place.
    enum RunEnding {
        ENDING_FINISHED,    // every file verified and placed: 100, the run and delay lists
        ENDING_TIMED_OUT,   // the watchdog saw no progress for its whole allowance: -1, the box
        ENDING_LIST_FAILED, // the file list failed or could not be used: -1, the box
        ENDING_FILE_FAILED, // a file failed or its digest differed: -1, the box, -1 again
        ENDING_CLOSED,      // the strip was closed (Alt+F4, WM_CLOSE or WM_QUIT from anyone): -1, no box
        ENDING_QUIET,       // nothing to report: a background instance, or no run at all
    };
    // Ends the run and then the process (exit code 0), once; later calls, and
    // every worker, timer and close message from then on, are ignored. The
    // worker and the digest thread are stopped first (within the worker's
    // bound; the worker removes the partial file of the transfer it was in
    // and those of downloads no one took, the window those whose check was
    // cut short), so nothing is placed after the ending began.
    void EndRun(RunEnding ending);

    // Seams for tests in this process: how the process ends, how the error
    // box is shown, and the watchdog's clock.
    void (*m_pfnExitProcess)(int) = &std::exit;
    int(WINAPI* m_pfnMessageBox)(HWND, LPCWSTR, LPCWSTR, UINT) = &::MessageBoxW;
    ULONGLONG(WINAPI* m_pfnTickCount)() = &::GetTickCount64;

    std::wstring m_strAppDir; // target folder; a file goes to m_strAppDir + its FilePath
    CDownloadThread* m_pDownloadThread = nullptr;
    CDigestThread m_digestThread;          // checks each downloaded file while the window goes on answering
    CListCheck m_listCheck;                // checks the installed files against the list, likewise
    std::vector<FileListItem> m_vecFiles;  // position k belongs to task id k + 1
    ULONGLONG m_ullLastProgress = 0;       // the watchdog's clock at the last sign of progress; set when a mode starts
    int m_nDoneCount = 0;                  // files downloaded and verified; set when the list is processed
    Gdiplus::Image* m_pImgTrack = nullptr; // resource 134, never released
    Gdiplus::Image* m_pImgFill = nullptr;  // resource 133, never released
    BOOL m_bFinished = FALSE;              // the run and delay lists have been started
    std::wstring m_strCmdLine;             // setup mode: the raw command line, leads run-list parameters
    BOOL m_bShowUi = TRUE;                 // cleared by "noprocess"
    BOOL m_bRunAfter = TRUE;               // cleared by "norun"
    HWND m_hHostWnd = nullptr;             // from "biw"; null: no host, no reports
    CIPCChannel m_ipc;
    int m_nGameId = -1;

private:
    LRESULT OnEraseBkgnd();
    // The track, and the fill over it, stretched to width x height on hdc.
    void DrawStrip(HDC hdc, int width, int height) const;
    void OnTimer();
    // Takes, from the worker, the outcome of each task the run waits for
    // next (the file list's, the delayed file's, the listed files' in their
    // order) for as long as there is one. Called on each of the worker's
    // three messages and on every tick: the messages' parameters are never
    // read, so a message another process posts brings nothing forward that
    // is not there, and a lost one costs a tick at most.
    void TakeWorkerOutcomes();
    void OnFileListDone(DownloadTask& result, CDownloadThread::TaskOutcome outcome);
    // The check's outcome, once it has ended: the files to fetch are queued,
    // or the run ends. On its message and on every tick.
    void OnListChecked();
    void OnListCheckEnded(bool usable, FileListCheck& check);
    // Queues the next files of the list for about kQueueSliceMs of this
    // thread (at least one), wakes the worker and, while files remain, posts
    // WM_QUEUE_FILES for the next slice: a list of thousands of files in
    // hundreds of new folders never keeps the shown strip from answering.
    void QueueFiles();
    void OnFileDone(size_t index, DownloadTask& result, CDownloadThread::TaskOutcome outcome);
    // Takes the downloaded files in the order they came, as far as their
    // digests are known: each matching one is placed and counted, the first
    // failed or differing one ends the run.
    void TakeVerifiedFiles();
    // Removes the partial files of downloads whose check the ending cut short.
    void DiscardUncheckedFiles();
    void OnDelayedDownloadDone(CDownloadThread::TaskOutcome outcome, DownloadTask& result);
    // The outcome of task taskId, taken from the worker (once) while the run
    // goes on; TASK_UNKNOWN otherwise.
    CDownloadThread::TaskOutcome TakeOutcome(int taskId, DownloadTask& result);
    void LaunchRunList();
    void SpawnDelayedDownloads();

    // Queues one download; returns its task id, or kNoTask without a worker.
    // md5: the list's digest of a listed file, which lets its partial file
    // be continued by a later run.
    int AddDownload(const std::wstring& url, const std::wstring& savePath, const std::wstring& fileName, UINT notifyMsg,
                    const std::wstring& md5 = std::wstring());
    void WakeWorker();
    // The folder a file is to be written to, with a trailing backslash;
    // either separator ends a folder name. Empty for a bare name.
    static std::wstring FolderOf(const std::wstring& filePath);
    // Creates folder when it is missing.
    static void CreateFolder(const std::wstring& folder);
    void StartWatchdog();
    int DonePercentage() const;
    // How much of a bar width pixels wide the verified files fill.
    int FillWidth(int width) const;
    void ShowErrorBox();
    void StopWorker();
    // Fifteen seconds without a sign of progress end the run. Measured on
    // the clock: WM_TIMER messages can be posted by anyone.
    void ResetWatchdog();

    static constexpr int kNoTask = -1;
    // The tasks whose messages are awaited: the file list's, the first
    // listed file's (the others follow it), the delayed download's.
    int m_nListTaskId = kNoTask;
    int m_nFirstFileTaskId = kNoTask;
    int m_nDelayedTaskId = kNoTask;

    // The files of m_vecFiles queued so far, from the front, and the folders
    // looked at for them: each once, however many files it holds.
    size_t m_nQueuedFiles = 0;
    // The files whose outcome has been taken from the worker, from the front.
    size_t m_nTakenFiles = 0;
    std::unordered_set<std::wstring> m_setQueuedFolders;

    // A downloaded file on its way from the worker to its place, in the
    // order the worker finished them; job is null for a failed download.
    struct CheckedFile {
        size_t nIndex = 0; // in m_vecFiles
        std::shared_ptr<DigestJob> job;
    };
    std::deque<CheckedFile> m_queChecks;

    // Activity counts of the worker, the digest thread and the list check at
    // the watchdog's last tick.
    LONG m_nLastActivity = 0;
    LONG m_nLastDigestActivity = 0;
    LONG m_nLastCheckActivity = 0;
    // The delayed-download mode: its watchdog ends the process silently.
    BOOL m_bDelayedMode = FALSE;
    // Set when EndRun has begun: worker messages that arrive while the error
    // box is open are held back, and no second ending starts.
    BOOL m_bEnding = FALSE;
    // A report has been handed to the channel: wait for its acknowledgement
    // before the process ends.
    BOOL m_bReported = FALSE;
};
