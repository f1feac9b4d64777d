#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace base {

// One move-only owner for every kind of Windows handle. A trait names the
// handle type, its empty value and how it is released; copies are impossible,
// so nothing is ever closed twice. Any thread, one owner at a time.
template <typename Traits>
class CUniqueHandle {
public:
    using pointer = typename Traits::pointer;

    CUniqueHandle() noexcept : m_value(Traits::Empty()) {}
    explicit CUniqueHandle(pointer value) noexcept : m_value(value) {}
    ~CUniqueHandle() { reset(); }

    CUniqueHandle(CUniqueHandle&& other) noexcept : m_value(other.release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;

    explicit operator bool() const noexcept { return m_value != Traits::Empty(); }
    pointer get() const noexcept { return m_value; }

    void reset(pointer value = Traits::Empty()) noexcept {
        pointer old = m_value;
        m_value = value;
        if (old != Traits::Empty()) {
            Traits::Close(old);
        }
    }

    pointer release() noexcept {
        pointer old = m_value;
        m_value = Traits::Empty();
        return old;
    }

    // Releases what is held before handing out the address to be filled.
    pointer* put() noexcept {
        reset();
        return &m_value;
    }

private:
    pointer m_value;
};

struct HandleTraits {
    using pointer = HANDLE;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not as null.
struct FileHandleTraits {
    using pointer = HANDLE;
    static pointer Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

// FindFirstFileW also reports failure as INVALID_HANDLE_VALUE; its handle is
// a search, not a kernel object, and only FindClose ends it.
struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer Empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::FindClose(h); }
};

struct ModuleTraits {
    using pointer = HMODULE;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::FreeLibrary(h); }
};

struct RegKeyTraits {
    using pointer = HKEY;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::RegCloseKey(h); }
};

struct MappedViewTraits {
    using pointer = void*;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer p) noexcept { ::UnmapViewOfFile(p); }
};

struct GdiObjectTraits {
    using pointer = HGDIOBJ;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::DeleteObject(h); }
};

// Memory device contexts from CreateCompatibleDC; not those of GetDC or
// BeginPaint, which are released, not deleted.
struct MemoryDcTraits {
    using pointer = HDC;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::DeleteDC(h); }
};

struct LocalMemTraits {
    using pointer = HLOCAL;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer h) noexcept { ::LocalFree(h); }
};

struct BstrTraits {
    using pointer = BSTR;
    static pointer Empty() noexcept { return nullptr; }
    static void Close(pointer s) noexcept { ::SysFreeString(s); }
};

using unique_handle = CUniqueHandle<HandleTraits>; // events, threads, mappings, processes
using unique_event = CUniqueHandle<HandleTraits>;
using unique_file = CUniqueHandle<FileHandleTraits>;
using unique_find = CUniqueHandle<FindHandleTraits>;
using unique_hmodule = CUniqueHandle<ModuleTraits>;
using unique_hkey = CUniqueHandle<RegKeyTraits>;
using unique_view = CUniqueHandle<MappedViewTraits>;
using unique_gdiobj = CUniqueHandle<GdiObjectTraits>;
using unique_memory_dc = CUniqueHandle<MemoryDcTraits>;
using unique_hlocal = CUniqueHandle<LocalMemTraits>;
using unique_bstr = CUniqueHandle<BstrTraits>;

// Runs a callable when the scope ends, unless dismissed.
template <typename F>
class CScopeExit {
public:
    explicit CScopeExit(F f) noexcept : m_f(std::move(f)) {}
    ~CScopeExit() {
        if (m_active) {
            m_f();
        }
    }
    CScopeExit(const CScopeExit&) = delete;
    CScopeExit& operator=(const CScopeExit&) = delete;
    void Dismiss() noexcept { m_active = false; }

private:
    F m_f;
    bool m_active = true;
};

template <typename F>
CScopeExit<F> ScopeExit(F f) noexcept {
    return CScopeExit<F>(std::move(f));
}

} // namespace base
