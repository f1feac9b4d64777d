#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

// Window and kernel handles that leave the process (the channel's block
// header, the close message's wParam, the host window on the command line)
// are 32-bit values on both widths. Windows keeps such handles within 32
// significant bits so that 32-bit and 64-bit processes can exchange them; a
// 64-bit process widens a 32-bit handle by sign extension, as HandleToLong
// and LongToHandle do. Every conversion goes through these functions, so the
// 32-bit and the x86-64 build agree with each other and with the host.
// Any thread.
namespace base {

inline uint32_t HandleToWire(const void* handle) noexcept {
    return static_cast<uint32_t>(HandleToLong(handle));
}

inline HANDLE HandleFromWire(uint32_t value) noexcept {
    return LongToHandle(static_cast<LONG>(value));
}

inline HWND WindowFromWire(uint32_t value) noexcept {
    return static_cast<HWND>(HandleFromWire(value));
}

// A message parameter that carries a handle from another process: Windows
// zero-extends a 32-bit sender's wParam, so only its low 32 bits count.
inline HANDLE HandleFromParam(WPARAM wParam) noexcept {
    return HandleFromWire(static_cast<uint32_t>(wParam));
}

inline WPARAM HandleToParam(const void* handle) noexcept {
    return static_cast<WPARAM>(HandleToWire(handle));
}

// The signed decimal form of the -biw option, which the option parser reads
// back as a signed 32-bit number.
inline std::wstring HandleToDecimal(const void* handle) {
    return std::to_wstring(static_cast<int32_t>(HandleToWire(handle)));
}

inline HWND WindowFromDecimalOption(int value) noexcept {
    return WindowFromWire(static_cast<uint32_t>(value));
}

} // namespace base
