#pragma once

#include <string>

// Saves the whole screen as a 24-bit BMP file; false when it could not.
// Main thread only (it uses the screen's device context).
bool SaveScreenAsBmp(const std::wstring& path);
