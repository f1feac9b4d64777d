#pragma once

#include <cstdint>
#include <string>

// What the download worker may fetch, and what the file list's reader
// accepts of what it fetched: the two must agree, so both take it from here.

// The most bytes the file list may have: its reader takes it whole into
// memory, and its download takes no more either.
constexpr int64_t kMaxFileListBytes = 16 * 1024 * 1024;

// True for an http:// or https:// address (scheme in any letter case). The
// worker fetches nothing else: a file:// address would copy a local file
// into the game, and a UNC path would make Windows sign in to another
// machine. Any thread.
bool IsWebUrl(const std::wstring& url);
