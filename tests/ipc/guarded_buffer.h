#pragma once

#include <cstddef>
#include <cstring>

#include <windows.h>

// Memory whose end touches a page that may not be read: bytes placed at the
// end of it make any read past them fault, so a parser that overreads its
// input crashes the test instead of passing by luck. One thread.
class CGuardedBuffer {
public:
    explicit CGuardedBuffer(size_t capacity) {
        SYSTEM_INFO info{};
        ::GetSystemInfo(&info);
        m_nPage = info.dwPageSize;
        m_nUsable = (capacity + m_nPage - 1) / m_nPage * m_nPage;
        m_pBase = static_cast<unsigned char*>(
            ::VirtualAlloc(nullptr, m_nUsable + m_nPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        if (m_pBase != nullptr && !::VirtualProtect(m_pBase + m_nUsable, m_nPage, PAGE_NOACCESS, &old)) {
            ::VirtualFree(m_pBase, 0, MEM_RELEASE);
            m_pBase = nullptr;
        }
    }
    ~CGuardedBuffer() {
        if (m_pBase != nullptr) {
            ::VirtualFree(m_pBase, 0, MEM_RELEASE);
        }
    }
    CGuardedBuffer(const CGuardedBuffer&) = delete;
    CGuardedBuffer& operator=(const CGuardedBuffer&) = delete;

    bool IsValid() const { return m_pBase != nullptr; }
    size_t Capacity() const { return m_nUsable; }

    // Copies size bytes so that they end where the guard page begins.
    void* Place(const void* data, size_t size) {
        unsigned char* at = m_pBase + m_nUsable - size;
        if (size > 0) {
            std::memcpy(at, data, size);
        }
        return at;
    }

private:
    unsigned char* m_pBase = nullptr;
    size_t m_nPage = 0;
    size_t m_nUsable = 0;
};
