#pragma once

#include <windows.h>

namespace base {

// An exclusive lock on a slim reader/writer lock, for std::lock_guard and
// std::unique_lock. Uncontended it never leaves the process, and contended
// it waits without the kernel object that the C++ runtime's mutex makes
// (under Wine each wait and wake on one costs a round trip to the server),
// so it suits a lock taken for every piece of a body. Not recursive; any
// thread.
class CSlimLock {
public:
    CSlimLock() noexcept = default;
    CSlimLock(const CSlimLock&) = delete;
    CSlimLock& operator=(const CSlimLock&) = delete;

    void lock() noexcept { ::AcquireSRWLockExclusive(&m_lock); }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

} // namespace base
