#include "screen_capture.h"

#include <windows.h>

bool SaveScreenAsBmp(const std::wstring& path) {
    const int width = ::GetSystemMetrics(SM_CXSCREEN);
    const int height = ::GetSystemMetrics(SM_CYSCREEN);
    if (width <= 0 || height <= 0) {
        return false;
    }
    HDC screen = ::GetDC(nullptr);
    if (screen == nullptr) {
        return false;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height; // bottom-up, as BMP files store it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool saved = false;
    if (memory != nullptr && bitmap != nullptr) {
        HGDIOBJ old = ::SelectObject(memory, bitmap);
        if (::BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY)) {
            ::GdiFlush();
            const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
            const DWORD imageSize = stride * static_cast<DWORD>(height);
            BITMAPFILEHEADER header{};
            header.bfType = 0x4D42; // "BM"
            header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
            header.bfSize = header.bfOffBits + imageSize;
            info.bmiHeader.biSizeImage = imageSize;
            HANDLE file =
                ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                DWORD written = 0;
                saved = ::WriteFile(file, &header, sizeof(header), &written, nullptr) &&
                        ::WriteFile(file, &info.bmiHeader, sizeof(info.bmiHeader), &written, nullptr) &&
                        ::WriteFile(file, bits, imageSize, &written, nullptr);
                ::CloseHandle(file);
            }
        }
        ::SelectObject(memory, old);
    }
    if (bitmap != nullptr) {
        ::DeleteObject(bitmap);
    }
    if (memory != nullptr) {
        ::DeleteDC(memory);
    }
    ::ReleaseDC(nullptr, screen);
    return saved;
}
