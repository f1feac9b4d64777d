#pragma once

#include "digest/md5.h"

#include <string>
#include <vector>

// The digests of many files, in the order of their paths, each what
// FileDigest gives for it ("" for a file that cannot be read).
//
// The caller's thread reads the files one after another, each from start to
// end, so a disk sees the one sequential reader it would see for a single
// digest; up to one thread per processor digests what has been read, several
// files at a time. The memory used is fixed whatever the number and the
// size of the files.
//
// No exception leaves it, and every thread it starts has ended when it
// returns. Short of memory part-way, it digests the files again one after
// another on the caller's thread; a file that still finds no memory gets ""
// like a file that cannot be read, so it never counts as up to date
// against a real digest. False, with digests emptied, only when there is no
// memory for the results themselves. Any thread.
//
// observer, when given, sees every chunk read, on the caller's thread; once
// it says stop, nothing more is read, and every file not read whole by then
// gets "".
bool FileDigests(const std::vector<std::wstring>& paths, std::vector<std::string>& digests,
                 CDigestObserver* observer = nullptr) noexcept;
