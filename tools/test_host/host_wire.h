#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

// The host end of the channel's wire format: block names, the 12-byte block
// header and the packed message text. Written apart from the client's code
// on purpose, so that a fault both ends would share still shows. Plain
// functions on plain data: any thread.

struct CHostMessage {
    std::wstring name;
    int32_t id = 0;
    std::vector<std::wstring> params;
};

// "VODIDEVE_IPC_FILE_<low>_<high>", each half a signed 32-bit decimal.
std::wstring HostBlockName(int32_t low, int32_t high);

// The packed text of a message (without the terminating U+0000); empty when a
// length does not fit its field.
std::wstring HostPack(const CHostMessage& message);

// Reads a packed text of exactly chars characters, strictly: upper-case
// digits only, the total must match the text, the id in the form
// "10" + 8 digits + "00000000" or absent as "00". On failure says why.
bool HostUnpack(const wchar_t* text, size_t chars, CHostMessage* message, std::wstring* fault);

// A received block as the host sees it.
struct CReceivedBlock {
    bool bHeader = false;       // the view held the 12-byte header
    HWND hSenderWnd = nullptr;  // from the header
    uint32_t uSenderHandle = 0; // from the header, echoed in the close message
    uint32_t cbPayload = 0;     // L from the header
    bool bWellFormed = false;   // header, payload and text all as they must be
    CHostMessage message;
    std::wstring fault;             // what is wrong when not well formed
    std::vector<unsigned char> raw; // the block's bytes, at most what the view holds
};

// Reads a block from a view of viewSize readable bytes and never beyond it.
CReceivedBlock ReadHostBlock(const unsigned char* view, size_t viewSize);

// Writes a block for message into a view of 12 + L bytes (see HostBlockSize).
size_t HostBlockSize(const std::wstring& packed);
void WriteHostBlock(unsigned char* view, HWND hOwnWnd, HANDLE hBlock, const std::wstring& packed);
