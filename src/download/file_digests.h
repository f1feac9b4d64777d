#pragma once

#include <string>
#include <vector>

// The digests of many files, in the order of their paths, each what
// FileDigest gives for it ("" for a file that cannot be read).
//
// The caller's thread reads the files one after another, each from start to
// end, so a disk sees the one sequential reader it would see for a single
// digest; up to one thread per processor digests what has been read, several
// files at a time. The memory used is fixed whatever the number and the
// size of the files. Any thread.
std::vector<std::string> FileDigests(const std::vector<std::wstring>& paths);
