#include "ipc/ipc_block.h"

#include "base/handle_wire.h"

#include <cstring>
#include <cwchar>

std::wstring FormatBlockName(uint32_t low, uint32_t high) {
    // "VODIDEVE_IPC_FILE_" + two signed 32-bit numbers of up to 11 characters.
    wchar_t name[64] = {};
    std::swprintf(name, sizeof(name) / sizeof(name[0]), L"VODIDEVE_IPC_FILE_%ld_%ld",
                  static_cast<long>(static_cast<int32_t>(low)), static_cast<long>(static_cast<int32_t>(high)));
    return name;
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
