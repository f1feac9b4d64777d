#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

// The pixels of rect as the screen shows them, as a 24-bit bottom-up DIB
// (rows padded to 4 bytes, blue, green, red): what a BMP file stores. False
// when the screen cannot be read. Any thread (each call takes the screen's
// device context for itself).
bool CaptureScreen(const RECT& rect, BITMAPINFOHEADER& header, std::vector<uint8_t>& bits);

// Saves the whole screen as a 24-bit BMP file; false when it could not.
bool SaveScreenAsBmp(const std::wstring& path);
