#pragma once

#include <memory>
#include <new>

#include <windows.h>

namespace base {

template <class T>
DWORD WINAPI SharedThreadProc(LPVOID param) noexcept {
    const std::unique_ptr<std::shared_ptr<T>> shared(static_cast<std::shared_ptr<T>*>(param));
    (*shared)->Run();
    return 0;
}

// Starts a thread that runs shared->Run() (which lets nothing escape) with a
// reference of its own to shared, released as the thread ends: its owner may
// go while the thread still runs, held in a read that never returns, say.
// The thread's handle, or null when no thread, or no memory, could be had.
template <class T>
HANDLE StartSharedThread(const std::shared_ptr<T>& shared) noexcept {
    auto* threadRef = new (std::nothrow) std::shared_ptr<T>(shared);
    if (threadRef == nullptr) {
        return nullptr;
    }
    const HANDLE thread = ::CreateThread(nullptr, 0, &SharedThreadProc<T>, threadRef, 0, nullptr);
    if (thread == nullptr) {
        delete threadRef;
    }
    return thread;
}

} // namespace base
