#pragma once

#include <windows.h>

// Every window message of the program's own, with its direction, parameters
// and owner. Between threads these are always posted, never sent.

// Download worker -> progress window, one per finished task.
// wParam: 0 on success, (WPARAM)-1 on failure; lParam: the task id. Neither
// is read: the window takes the outcome of the task it waits for next from
// the worker, on each of these and on every watchdog tick.
#define WM_FILELIST_DONE (WM_USER + 0x200)         // 0x600: FileList.xml is on disk (or failed)
#define WM_FILE_DONE (WM_USER + 0x201)             // 0x601: one listed file is on disk (or failed)
#define WM_DELAYED_DOWNLOAD_DONE (WM_USER + 0x202) // 0x602: the delayed-download mode's single file ended

// Progress window's digest thread -> progress window, one per digested file.
// wParam: 0; lParam: the file's task id. The window looks at its own jobs, not
// at the message, which any process can post.
#define WM_FILE_DIGESTED (WM_USER + 0x203) // 0x603

// Progress window -> itself: queue the next slice of the list's files.
// wParam, lParam: 0. Another process's post only brings the next slice
// forward; the window keeps how far it has queued.
#define WM_QUEUE_FILES (WM_USER + 0x204) // 0x604

// Progress window's check of the installed files -> progress window, once the
// check has ended. wParam, lParam: 0. The window looks at its own check.
#define WM_LIST_CHECKED (WM_USER + 0x205) // 0x605

// IPC channel. WM_IPC_DELIVER is sent by the channel window to itself on its
// own thread (wParam: byte length, lParam: the block's text, copied out of it);
// WM_IPC_NOTIFY is the same id as the channel's delivery to the progress
// window (wParam: a new CParasHelper the receiver owns, lParam: 0).
#define WM_IPC_DELIVER (WM_USER + 0x100) // 0x500
#define WM_IPC_NOTIFY (WM_USER + 0x100)  // 0x500
// Any thread -> channel window. wParam: an IPCPostRequest the channel thread owns.
#define WM_IPC_POST (WM_USER + 0x101) // 0x501
// Owner's thread -> channel window: destroy the window and end the thread.
// wParam, lParam: 0. Any process can post this id too, so the channel acts on
// it only once its owner has begun to stop it (a flag in the channel object
// that no other process can set); WM_CLOSE, which anyone may send, ends nothing.
#define WM_IPC_STOP (WM_USER + 0x102) // 0x502

// Progress window's watchdog timer, ticking every kWatchdogIntervalMs.
#define IDT_WATCHDOG 1

static_assert(WM_FILELIST_DONE == 0x600 && WM_FILE_DONE == 0x601 && WM_DELAYED_DOWNLOAD_DONE == 0x602,
              "the worker's completion messages are fixed");
static_assert(WM_IPC_DELIVER == 0x500 && WM_IPC_POST == 0x501, "the channel's messages are fixed");
