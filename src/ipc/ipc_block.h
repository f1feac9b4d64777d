#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <windows.h>

// One shared-memory block of the channel, as both ends lay it out:
//
//   offset 0   sender's channel window (where the close message goes)
//   offset 4   sender's own handle of the block's mapping, echoed back in the
//              close message; meaningful only in the sender's process
//   offset 8   L, the payload's length in bytes
//   offset 12  L bytes: the packed parameter text in UTF-16LE and one U+0000
//
// Handles and windows are 32-bit values on the wire whatever the process.
// The block's name is made from a performance-counter reading.
// Free functions on plain data: any thread.
struct IPCBlockHeader {
    uint32_t hSenderWnd;
    uint32_t hSenderBlock;
    uint32_t cbPayload;
};
static_assert(sizeof(IPCBlockHeader) == 12, "the header is 12 bytes on the wire");
static_assert(offsetof(IPCBlockHeader, hSenderWnd) == 0 && offsetof(IPCBlockHeader, hSenderBlock) == 4 &&
                  offsetof(IPCBlockHeader, cbPayload) == 8,
              "header fields at 0, 4 and 8");

constexpr size_t kBlockHeaderSize = sizeof(IPCBlockHeader);
// The largest payload the format makes: the longest packed text (its 6
// characters of total and 0xFFFFFF more) and its U+0000, in UTF-16. A header
// that says more is no block of this format, and nothing beyond it is mapped
// or copied.
constexpr size_t kMaxPayloadBytes = (6 + 0xFFFFFF + 1) * sizeof(wchar_t);

// Copies size bytes of this process's memory at from into to with a read
// that reports a fault instead of taking one (ReadProcessMemory on this
// process): false, with to's contents undefined, when any of them could not
// be read, as with a view of a file that another process cut short.
bool ReadOwnMemory(const void* from, void* to, size_t size) noexcept;

// "VODIDEVE_IPC_FILE_%ld_%ld" with each half of the counter read as a signed
// long, so a half of 0x80000000 or more prints with a minus sign; the
// receiver rebuilds the same name from the start message's wParam and lParam.
std::wstring FormatBlockName(uint32_t low, uint32_t high);

// What a received block says, checked against the bytes that can be read.
struct IPCBlockContents {
    HWND hSenderWnd = nullptr;
    HANDLE hSenderBlock = nullptr;
    uint32_t cbPayload = 0;
    const wchar_t* pText = nullptr; // inside the view; valid while it is mapped
    bool bPayloadFits = false;      // L bytes lie within the view
};

// How many bytes from view on can be read without a fault: the run of pages,
// from view's own page on and within the allocation (the mapped view) it lies
// in, that are committed, readable and without PAGE_GUARD. 0 when the first
// of them is not. A section made with SEC_RESERVE maps as reserved pages that
// only commits in its creator's view make readable, so a peer can hand over
// a view whose size says nothing about what may be touched.
size_t ReadableViewSize(const void* view);

// Reads the header of a view of viewSize readable bytes. False when the view
// cannot even hold the header; then nothing is known about the sender. A
// payload longer than the view leaves bPayloadFits false and pText null.
bool ReadBlock(const void* view, size_t viewSize, IPCBlockContents* contents);

// The characters of a payload of cbPayload bytes: up to its first U+0000, and
// never beyond cbPayload bytes whether or not a U+0000 stands there.
size_t PayloadChars(const wchar_t* text, size_t cbPayload);

// A received block as the receiver keeps it: the header's fields and a copy
// of the text, taken out of the view so that nothing parses memory the peer
// can still write to.
struct IPCReceivedBlock {
    HWND hSenderWnd = nullptr;
    HANDLE hSenderBlock = nullptr;
    uint32_t cbPayload = 0; // L, as the header says it
    bool bText = false;     // the payload lay within the readable bytes and was copied
    std::wstring text;      // up to its first U+0000, never beyond L bytes
};

// Reads a mapped view of a block, only within its readable bytes
// (ReadableViewSize) and only with ReadOwnMemory, so that a page that stops
// being readable meanwhile (a file cut short under its view) fails the read
// instead of ending the process. False when not even the header can be
// read, as with a section of reserved pages only: then nothing is known
// about the sender. A payload that runs past the readable bytes, that says
// more than kMaxPayloadBytes, that cannot be read whole or is too large to
// copy leaves bText false with the header known.
bool CopyBlock(const void* view, IPCReceivedBlock* block);
