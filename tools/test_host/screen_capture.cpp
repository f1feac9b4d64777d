#include "screen_capture.h"

#include "base/unique_handle.h"

#include <cstring>

bool CaptureScreen(const RECT& rect, BITMAPINFOHEADER& header, std::vector<uint8_t>& bits) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height; // bottom-up, as BMP files store it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    HDC screen = ::GetDC(nullptr);
    if (screen == nullptr) {
        return false;
    }
    void* section = nullptr;
    base::unique_memory_dc memory(::CreateCompatibleDC(screen));
    base::unique_gdiobj bitmap(::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &section, nullptr, 0));
    bool captured = false;
    if (memory && bitmap) {
        HGDIOBJ old = ::SelectObject(memory.get(), bitmap.get());
        if (::BitBlt(memory.get(), 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
            ::GdiFlush();
            const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
            info.bmiHeader.biSizeImage = stride * static_cast<DWORD>(height);
            bits.resize(info.bmiHeader.biSizeImage);
            std::memcpy(bits.data(), section, bits.size());
            header = info.bmiHeader;
            captured = true;
        }
        ::SelectObject(memory.get(), old);
    }
    ::ReleaseDC(nullptr, screen);
    return captured;
}

bool SaveScreenAsBmp(const std::wstring& path) {
    const RECT screen = {0, 0, ::GetSystemMetrics(SM_CXSCREEN), ::GetSystemMetrics(SM_CYSCREEN)};
    BITMAPINFOHEADER info{};
    std::vector<uint8_t> bits;
    if (!CaptureScreen(screen, info, bits)) {
        return false;
    }
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42; // "BM"
    header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    header.bfSize = header.bfOffBits + info.biSizeImage;
    base::unique_file file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    DWORD written = 0;
    return ::WriteFile(file.get(), &header, sizeof(header), &written, nullptr) &&
           ::WriteFile(file.get(), &info, sizeof(info), &written, nullptr) &&
           ::WriteFile(file.get(), bits.data(), static_cast<DWORD>(bits.size()), &written, nullptr);
}
