#pragma once

#include <windows.h>
#include <objbase.h>

namespace base {

// CoInitialize for the calling thread, CoUninitialize when the scope ends.
// The result of CoInitialize is kept only to pair the calls correctly.
class CComInit {
public:
    explicit CComInit(DWORD dwCoInit = COINIT_APARTMENTTHREADED) noexcept : m_hr(::CoInitializeEx(nullptr, dwCoInit)) {}
    ~CComInit() {
        if (SUCCEEDED(m_hr)) {
            ::CoUninitialize();
        }
    }
    CComInit(const CComInit&) = delete;
    CComInit& operator=(const CComInit&) = delete;
    HRESULT Result() const noexcept { return m_hr; }

private:
    HRESULT m_hr;
};

// BeginPaint/EndPaint as a pair; the window thread only.
class CPaintGuard {
public:
    explicit CPaintGuard(HWND hWnd) noexcept : m_hWnd(hWnd), m_ps{}, m_hdc(::BeginPaint(hWnd, &m_ps)) {}
    ~CPaintGuard() { ::EndPaint(m_hWnd, &m_ps); }
    CPaintGuard(const CPaintGuard&) = delete;
    CPaintGuard& operator=(const CPaintGuard&) = delete;
    HDC Dc() const noexcept { return m_hdc; }

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps;
    HDC m_hdc;
};

// A selected GDI object, put back when the scope ends.
class CSelectObjectGuard {
public:
    CSelectObjectGuard(HDC hdc, HGDIOBJ obj) noexcept : m_hdc(hdc), m_old(::SelectObject(hdc, obj)) {}
    ~CSelectObjectGuard() {
        if (m_old != nullptr && m_old != HGDI_ERROR) {
            ::SelectObject(m_hdc, m_old);
        }
    }
    CSelectObjectGuard(const CSelectObjectGuard&) = delete;
    CSelectObjectGuard& operator=(const CSelectObjectGuard&) = delete;

private:
    HDC m_hdc;
    HGDIOBJ m_old;
};

} // namespace base
