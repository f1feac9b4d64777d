#pragma once

#include "base/unique_handle.h"
#include "config/file_list.h"

#include <memory>
#include <string>

#include <windows.h>

// The progress window's check of the installed files against the file list
// (CheckFileList): on a thread of its own, so that a package of gigabytes
// already in place never keeps the window from answering while every one of
// its files is read. When the check has ended the thread posts uNotifyMsg to
// the window (wParam and lParam 0); the window then asks Take, so a message
// another process posts tells it nothing.
//
// Every chunk read counts as activity (a long check is work, not a stall),
// and a stop gives the check up at its next chunk. Start, Take and the stops:
// the owner's thread; GetActivityCount: any thread. The thread keeps what it
// shares with the object alive itself, so the object may go even while a
// read that never returns holds the thread.
class CListCheck {
public:
    CListCheck() = default;
    ~CListCheck();
    CListCheck(const CListCheck&) = delete;
    CListCheck& operator=(const CListCheck&) = delete;

    // Starts the check of targetFolder; false when no thread (or no memory)
    // can be had for it, or a check was started before.
    bool Start(HWND hNotifyWnd, UINT uNotifyMsg, const std::wstring& targetFolder);

    enum Outcome { CHECK_PENDING, CHECK_USABLE, CHECK_UNUSABLE };
    // CHECK_PENDING while the check runs, and for every call but the first
    // after it ended (or without a check, or after a stop); that first call
    // tells how it ended, and moves what it found into check when the list
    // is usable.
    Outcome Take(FileListCheck& check);
    LONG GetActivityCount() const;
    // Gives the check up, and returns at once; no message is posted from
    // then on, and Take never tells an outcome.
    void RequestStop();
    // RequestStop, then waits up to waitMs for the thread: true when it no
    // longer runs (or never ran).
    bool StopAndWait(DWORD waitMs);

    // The check the thread runs; a seam for tests, set before Start.
    bool (*m_pfnCheck)(const std::wstring&, FileListCheck&, CDigestObserver*) = &CheckFileList;

private:
    struct Shared;

    std::shared_ptr<Shared> m_pShared;
    base::unique_handle m_hThread;
    bool m_bTaken = false;
};
