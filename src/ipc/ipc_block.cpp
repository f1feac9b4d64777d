#include "ipc/ipc_block.h"

#include "base/handle_wire.h"

#include <cstring>
#include <cwchar>
#include <new>

std::wstring FormatBlockName(uint32_t low, uint32_t high) {
    // "VODIDEVE_IPC_FILE_" + two signed 32-bit numbers of up to 11 characters.
    wchar_t name[64] = {};
    std::swprintf(name, sizeof(name) / sizeof(name[0]), L"VODIDEVE_IPC_FILE_%ld_%ld",
                  static_cast<long>(static_cast<int32_t>(low)), static_cast<long>(static_cast<int32_t>(high)));
    return name;
}

namespace {

// Committed, with a protection that allows reading and no guard, which would
// turn the first touch into an exception.
bool IsReadableRegion(const MEMORY_BASIC_INFORMATION& info) {
    if (info.State != MEM_COMMIT || (info.Protect & PAGE_GUARD) != 0) {
        return false;
    }
    switch (info.Protect & 0xFF) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
    case PAGE_EXECUTE_WRITECOPY:
        return true;
    default:
        return false;
    }
}

} // namespace

size_t ReadableViewSize(const void* view) {
    if (view == nullptr) {
        return 0;
    }
    const auto* at = static_cast<const unsigned char*>(view);
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(at, &info, sizeof(info)) == 0) {
        return 0;
    }
    const void* const allocation = info.AllocationBase;
    size_t readable = 0;
    // One region per run of pages alike; the walk ends at the first that is
    // not readable or belongs to another allocation, and at the address
    // space's end, where VirtualQuery fails.
    while (info.AllocationBase == allocation && IsReadableRegion(info)) {
        const auto* end = static_cast<const unsigned char*>(info.BaseAddress) + info.RegionSize;
        readable += static_cast<size_t>(end - at);
        at = end;
        if (::VirtualQuery(at, &info, sizeof(info)) == 0) {
            break;
        }
    }
    return readable;
}

bool ReadBlock(const void* view, size_t viewSize, IPCBlockContents* contents) {
    *contents = IPCBlockContents();
    if (view == nullptr || viewSize < kBlockHeaderSize) {
        return false;
    }
    IPCBlockHeader header;
    std::memcpy(&header, view, sizeof(header));
    contents->hSenderWnd = base::WindowFromWire(header.hSenderWnd);
    contents->hSenderBlock = base::HandleFromWire(header.hSenderBlock);
    contents->cbPayload = header.cbPayload;
    // The peer writes L; the view is what we can read. Trust only the second.
    if (header.cbPayload <= viewSize - kBlockHeaderSize) {
        contents->bPayloadFits = true;
        contents->pText = reinterpret_cast<const wchar_t*>(static_cast<const unsigned char*>(view) + kBlockHeaderSize);
    }
    return true;
}

size_t PayloadChars(const wchar_t* text, size_t cbPayload) {
    if (text == nullptr) {
        return 0;
    }
    const size_t limit = cbPayload / sizeof(wchar_t);
    size_t length = 0;
    while (length < limit && text[length] != L'\0') {
        ++length;
    }
    return length;
}

bool ReadOwnMemory(const void* from, void* to, size_t size) noexcept {
    if (size == 0) {
        return true;
    }
    SIZE_T read = 0;
    return from != nullptr && ::ReadProcessMemory(::GetCurrentProcess(), from, to, size, &read) && read == size;
}

bool CopyBlock(const void* view, IPCReceivedBlock* block) {
    *block = IPCReceivedBlock();
    // The readable run bounds what is asked for; the reads themselves never
    // touch the view directly, as its pages can change under them.
    const size_t viewSize = ReadableViewSize(view);
    IPCBlockHeader header;
    if (viewSize < kBlockHeaderSize || !ReadOwnMemory(view, &header, sizeof(header))) {
        return false;
    }
    block->hSenderWnd = base::WindowFromWire(header.hSenderWnd);
    block->hSenderBlock = base::HandleFromWire(header.hSenderBlock);
    block->cbPayload = header.cbPayload;
    const size_t cbPayload = header.cbPayload;
    if (cbPayload > kMaxPayloadBytes || cbPayload > viewSize - kBlockHeaderSize) {
        return true;
    }
    try {
        std::wstring text(cbPayload / sizeof(wchar_t), L'\0');
        if (!ReadOwnMemory(static_cast<const unsigned char*>(view) + kBlockHeaderSize, &text[0],
                           text.size() * sizeof(wchar_t))) {
            return true;
        }
        text.resize(PayloadChars(text.c_str(), cbPayload));
        block->text.swap(text);
        block->bText = true;
    } catch (const std::bad_alloc&) {
        // A text too large to copy is dropped like a malformed one.
    }
    return true;
}
