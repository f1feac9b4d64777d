#include "mainwnd/main_process_wnd.h"

#include "base/messages.h"
#include "base/scope_guards.h"
#include "base/unique_handle.h"
#include "download/download_thread.h"
#include "ipc/paras_helper.h"
#include "res/resource.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <objidl.h>
#include <gdiplus.h>

namespace {

const int kStripWidth = 250;
const int kStripHeight = 12;

} // namespace

CMainProcessWnd::~CMainProcessWnd() = default;

LONG CMainProcessWnd::Create(HINSTANCE hInstance) {
    // GDI+ stays started, and the images alive, until the process ends.
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);

    LoadPngResource(hInstance, IDR_PNG_TRACK, &m_pImgTrack);
    LoadPngResource(hInstance, IDR_PNG_FILL, &m_pImgFill);

    const RECT rect = {0, 0, kStripWidth, kStripHeight};
    // Hidden at first: the workflow shows it once there are files to fetch.
    CWindowImpl::Create(nullptr, rect, nullptr, WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, WS_EX_TOOLWINDOW);
    CenterOnWorkArea();

    // Without a thread of its own the window checks each file itself, as
    // it is told when it hands one over.
    m_digestThread.Start(m_hWnd, WM_FILE_DIGESTED);
    m_pDownloadThread = new CDownloadThread;
    return m_pDownloadThread->Start(FALSE);
}

BOOL CMainProcessWnd::LoadPngResource(HINSTANCE hInstance, UINT id, Gdiplus::Image** image) {
    HRSRC resource = ::FindResourceW(hInstance, MAKEINTRESOURCEW(id), L"png");
    if (resource == nullptr) {
        return FALSE;
    }
    const DWORD size = ::SizeofResource(hInstance, resource);
    HGLOBAL loaded = ::LoadResource(hInstance, resource);
    const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr || size == 0) {
        return FALSE;
    }
    // The block stays allocated for the life of the process: the image keeps
    // reading from the stream over it.
    HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr) {
        *image = nullptr;
        return TRUE;
    }
    void* target = ::GlobalLock(block);
    if (target != nullptr) {
        std::memcpy(target, bytes, size);
        ::GlobalUnlock(block);
    }
    IStream* stream = nullptr;
    if (target == nullptr || FAILED(::CreateStreamOnHGlobal(block, FALSE, &stream))) {
        *image = nullptr;
        return TRUE;
    }
    // A decoding failure stays in the image's status; drawing skips it then.
    // GDI+ objects come from GdipAlloc, which gives null rather than throwing.
    *image = new Gdiplus::Image(stream);
    stream->Release();
    return TRUE;
}

void CMainProcessWnd::CenterOnWorkArea() {
    RECT window = {};
    if (!GetWindowRect(&window)) {
        return;
    }
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    HMONITOR monitor = ::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (monitor == nullptr || !::GetMonitorInfoW(monitor, &info)) {
        return;
    }
    const RECT& work = info.rcWork;
    int left = (work.left + work.right) / 2 - width / 2;
    int top = (work.top + work.bottom) / 2 - height / 2;
    if (left + width > work.right) {
        left = work.right - width;
    }
    if (left < work.left) {
        left = work.left;
    }
    if (top + height > work.bottom) {
        top = work.bottom - height;
    }
    if (top < work.top) {
        top = work.top;
    }
    SetWindowPos(nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int CMainProcessWnd::DonePercentage() const {
    if (m_vecFiles.empty() || m_nDoneCount <= 0) {
        return 0;
    }
    // In integers: done / total x 100 in floating point truncates 29 of 100
    // files to 28.
    return static_cast<int>(static_cast<long long>(m_nDoneCount) * 100 / static_cast<long long>(m_vecFiles.size()));
}

int CMainProcessWnd::FillWidth(int width) const {
    return width * DonePercentage() / 100;
}

LRESULT CMainProcessWnd::OnEraseBkgnd() {
    // All drawing happens here: WM_PAINT is answered without painting, and
    // the erase that every repaint request asks for paints and validates.
    base::CPaintGuard paint(m_hWnd);
    RECT client = {};
    GetClientRect(&client);
    const int width = client.right;
    const int height = client.bottom;
    HDC window = paint.Dc();
    if (window == nullptr || width <= 0 || height <= 0) {
        return 1;
    }
    // The strip is composed off screen and put on the window in one copy.
    // Drawn straight onto the window, the track and then the fill, the
    // screen could show the bare track between the two: Wine hands a
    // window's pixels to the display whenever any thread of the process goes
    // idle, in mid-paint too, and a player would see the bar flicker.
    base::unique_memory_dc frame(::CreateCompatibleDC(window));
    base::unique_gdiobj bitmap(::CreateCompatibleBitmap(window, width, height));
    if (!frame || !bitmap) {
        // Short of GDI objects: a bar that may flicker rather than none.
        DrawStrip(window, width, height);
        return 1;
    }
    base::CSelectObjectGuard select(frame.get(), bitmap.get());
    // The frame starts as the window is now, so that what the images' curved
    // transparent ends let through is what it was before.
    ::BitBlt(frame.get(), 0, 0, width, height, window, 0, 0, SRCCOPY);
    DrawStrip(frame.get(), width, height);
    ::BitBlt(window, 0, 0, width, height, frame.get(), 0, 0, SRCCOPY);
    return 1;
}

void CMainProcessWnd::DrawStrip(HDC hdc, int width, int height) const {
    Gdiplus::Graphics graphics(hdc);
    if (m_pImgTrack != nullptr && m_pImgTrack->GetLastStatus() == Gdiplus::Ok) {
        graphics.DrawImage(m_pImgTrack, 0, 0, width, height);
    }
    if (!m_vecFiles.empty() && m_nDoneCount != 0 && m_pImgFill != nullptr &&
        m_pImgFill->GetLastStatus() == Gdiplus::Ok) {
        const int fill = FillWidth(width);
        if (fill > 0) {
            graphics.DrawImage(m_pImgFill, 0, 0, fill, height);
        }
    }
}

BOOL CMainProcessWnd::ProcessWindowMessage(HWND, UINT uMsg, WPARAM wParam, LPARAM, LRESULT& lResult, DWORD) {
    switch (uMsg) {
    case WM_CREATE:
        lResult = 0;
        return TRUE;
    case WM_DESTROY:
        // No quit message: the process ends through the workflow's ways out.
        lResult = 0;
        return TRUE;
    case WM_PAINT:
        lResult = 1;
        return TRUE;
    case WM_ERASEBKGND:
        lResult = OnEraseBkgnd();
        return TRUE;
    case WM_TIMER:
        OnTimer();
        lResult = 0;
        return TRUE;
    case WM_CLOSE:
        // Alt+F4, or a WM_CLOSE from any process: an ending like the others,
        // never a window destroyed under a run that would go on unseen.
        EndRun(ENDING_CLOSED);
        lResult = 0;
        return TRUE;
    case WM_FILELIST_DONE:
    case WM_FILE_DONE:
    case WM_DELAYED_DOWNLOAD_DONE:
        // Which task ended is asked of the worker, never read off the message.
        TakeWorkerOutcomes();
        lResult = uMsg == WM_FILE_DONE ? 1 : 0;
        return TRUE;
    case WM_LIST_CHECKED:
        OnListChecked();
        lResult = 0;
        return TRUE;
    case WM_FILE_DIGESTED:
        TakeVerifiedFiles();
        lResult = 0;
        return TRUE;
    case WM_QUEUE_FILES:
        QueueFiles();
        lResult = 0;
        return TRUE;
    case WM_IPC_NOTIFY:
        // Messages from the host carry nothing this program acts on. The
        // channel hands over only what it posted itself: a wParam posted by
        // another process is no object of ours and is left alone.
        m_ipc.TakeDelivered(wParam);
        lResult = 0;
        return TRUE;
    default:
        return FALSE;
    }
}
