#include "host_wire.h"

#include "base/handle_wire.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kHeaderBytes = 12;

bool ReadHexField(const wchar_t* text, size_t chars, size_t* pos, size_t width, uint32_t* value) {
    if (chars - *pos < width) {
        return false;
    }
    uint32_t result = 0;
    for (size_t i = 0; i < width; ++i) {
        const wchar_t c = text[*pos + i];
        if (c >= L'0' && c <= L'9') {
            result = result * 16 + static_cast<uint32_t>(c - L'0');
        } else if (c >= L'A' && c <= L'F') {
            result = result * 16 + static_cast<uint32_t>(c - L'A' + 10);
        } else {
            return false;
        }
    }
    *pos += width;
    *value = result;
    return true;
}

void AppendHexField(std::wstring& out, uint32_t value, int width) {
    wchar_t field[16] = {};
    std::swprintf(field, 16, L"%0*X", width, value);
    out += field;
}

uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void WriteLe32(unsigned char* p, uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

} // namespace

std::wstring HostBlockName(int32_t low, int32_t high) {
    wchar_t name[64] = {};
    std::swprintf(name, 64, L"VODIDEVE_IPC_FILE_%ld_%ld", static_cast<long>(low), static_cast<long>(high));
    return name;
}

std::wstring HostPack(const CHostMessage& message) {
    size_t total = 2 + message.name.size() + (message.id != 0 ? 18 : 2);
    for (const std::wstring& param : message.params) {
        total += 6 + param.size();
    }
    if (message.name.size() > 0xFF || total > 0xFFFFFF) {
        return std::wstring();
    }
    std::wstring text;
    AppendHexField(text, static_cast<uint32_t>(total), 6);
    AppendHexField(text, static_cast<uint32_t>(message.name.size()), 2);
    text += message.name;
    if (message.id != 0) {
        text += L"10";
        AppendHexField(text, static_cast<uint32_t>(message.id), 8);
        text += L"00000000";
    } else {
        text += L"00";
    }
    for (const std::wstring& param : message.params) {
        AppendHexField(text, static_cast<uint32_t>(param.size()), 6);
        text += param;
    }
    return text;
}

bool HostUnpack(const wchar_t* text, size_t chars, CHostMessage* message, std::wstring* fault) {
    *message = CHostMessage();
    size_t pos = 0;
    uint32_t total = 0;
    if (!ReadHexField(text, chars, &pos, 6, &total)) {
        *fault = L"total field";
        return false;
    }
    if (total != chars - 6) {
        *fault = L"total does not match the text";
        return false;
    }
    uint32_t nameLength = 0;
    if (!ReadHexField(text, chars, &pos, 2, &nameLength) || chars - pos < nameLength) {
        *fault = L"name length";
        return false;
    }
    message->name.assign(text + pos, nameLength);
    pos += nameLength;
    if (chars - pos < 2) {
        *fault = L"id marker";
        return false;
    }
    if (text[pos] == L'1' && text[pos + 1] == L'0') {
        pos += 2;
        uint32_t id = 0;
        uint32_t zeros = 1;
        if (!ReadHexField(text, chars, &pos, 8, &id) || !ReadHexField(text, chars, &pos, 8, &zeros) || zeros != 0) {
            *fault = L"id";
            return false;
        }
        message->id = static_cast<int32_t>(id);
    } else if (text[pos] == L'0' && text[pos + 1] == L'0') {
        pos += 2;
    } else {
        *fault = L"id marker";
        return false;
    }
    while (pos < chars) {
        uint32_t length = 0;
        if (!ReadHexField(text, chars, &pos, 6, &length) || chars - pos < length) {
            *fault = L"parameter length";
            return false;
        }
        message->params.emplace_back(text + pos, length);
        pos += length;
    }
    return true;
}

CReceivedBlock ReadHostBlock(const unsigned char* view, size_t viewSize) {
    CReceivedBlock block;
    if (viewSize < kHeaderBytes) {
        block.raw.assign(view, view + viewSize);
        block.fault = L"block smaller than its header";
        return block;
    }
    block.bHeader = true;
    block.hSenderWnd = base::WindowFromWire(ReadLe32(view));
    block.uSenderHandle = ReadLe32(view + 4);
    block.cbPayload = ReadLe32(view + 8);
    if (block.cbPayload > viewSize - kHeaderBytes) {
        block.raw.assign(view, view + viewSize);
        block.fault = L"payload length runs past the block";
        return block;
    }
    block.raw.assign(view, view + kHeaderBytes + block.cbPayload);
    if (block.cbPayload < 2 || block.cbPayload % 2 != 0) {
        block.fault = L"payload length not a whole number of characters";
        return block;
    }
    // Copied out: the view gives no alignment promise for UTF-16 units.
    std::wstring text(block.cbPayload / 2, L'\0');
    std::memcpy(&text[0], view + kHeaderBytes, block.cbPayload);
    if (text.back() != L'\0') {
        block.fault = L"payload not ended by U+0000";
        return block;
    }
    text.pop_back();
    if (text.find(L'\0') != std::wstring::npos) {
        block.fault = L"U+0000 inside the text";
        return block;
    }
    block.bWellFormed = HostUnpack(text.data(), text.size(), &block.message, &block.fault);
    return block;
}

size_t HostBlockSize(const std::wstring& packed) {
    return kHeaderBytes + (packed.size() + 1) * 2;
}

void WriteHostBlock(unsigned char* view, HWND hOwnWnd, HANDLE hBlock, const std::wstring& packed) {
    const uint32_t cbPayload = static_cast<uint32_t>((packed.size() + 1) * 2);
    WriteLe32(view, base::HandleToWire(hOwnWnd));
    WriteLe32(view + 4, base::HandleToWire(hBlock));
    WriteLe32(view + 8, cbPayload);
    std::memcpy(view + kHeaderBytes, packed.c_str(), cbPayload);
}
