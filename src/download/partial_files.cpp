#include "download/partial_files.h"

#include "base/file_names.h"
#include "base/unique_handle.h"

#include <cwchar>
#include <new>
#include <vector>

namespace {

// Written after the target's own name and this process's id: never taken for
// an installed file, and two instances updating one folder at once never
// write into each other's copy. A partial file's resume record has the same
// name with the other suffix, of the same length.
const wchar_t kPartialSuffix[] = L".rvpart";
const wchar_t kRecordSuffix[] = L".rvinfo";
constexpr size_t kPartialSuffixLength = sizeof(kPartialSuffix) / sizeof(kPartialSuffix[0]) - 1;
static_assert(sizeof(kPartialSuffix) == sizeof(kRecordSuffix), "both suffixes have one length");

bool HasSuffix(const std::wstring& path, const wchar_t* suffix) {
    return path.size() > kPartialSuffixLength &&
           path.compare(path.size() - kPartialSuffixLength, kPartialSuffixLength, suffix) == 0;
}

// The target of a partial path or a record path: the path without
// ".<process id>.rvpart" (or ".rvinfo"); empty when it is neither.
std::wstring TargetOfPartial(const std::wstring& partialPath) {
    if (!HasSuffix(partialPath, kPartialSuffix) && !HasSuffix(partialPath, kRecordSuffix)) {
        return std::wstring();
    }
    const size_t idEnd = partialPath.size() - kPartialSuffixLength;
    const size_t dot = partialPath.rfind(L'.', idEnd - 1);
    if (dot == std::wstring::npos || dot == 0 || dot + 1 == idEnd ||
        partialPath.find_first_not_of(L"0123456789", dot + 1) != idEnd) {
        return std::wstring();
    }
    return partialPath.substr(0, dot);
}

// The process id in a partial path (TargetOfPartial gave a target for it).
DWORD OwnerOfPartial(const std::wstring& partialPath) {
    const size_t idEnd = partialPath.size() - kPartialSuffixLength;
    const size_t dot = partialPath.rfind(L'.', idEnd - 1);
    return static_cast<DWORD>(std::wcstoul(partialPath.c_str() + dot + 1, nullptr, 10));
}

// The full form of path in its long names, which tells two spellings of one
// file apart only by letter case. Throws std::bad_alloc.
bool FullPathOf(const std::wstring& path, std::wstring& full) {
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, buffer, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    full = base::LongFormOf(std::wstring(buffer, length));
    return true;
}

} // namespace

std::wstring PartialPathOf(const std::wstring& target) {
    return target + L"." + std::to_wstring(::GetCurrentProcessId()) + kPartialSuffix;
}

std::wstring RecordPathOf(const std::wstring& partialPath) {
    if (!HasSuffix(partialPath, kPartialSuffix)) {
        return std::wstring();
    }
    return partialPath.substr(0, partialPath.size() - kPartialSuffixLength) + kRecordSuffix;
}

void RemovePartialFile(const wchar_t* path) {
    ::SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path);
    const std::wstring record = RecordPathOf(path);
    if (!record.empty()) {
        ::DeleteFileW(record.c_str());
    }
}

bool CLeftoverPartialFiles::NameLess::operator()(const std::wstring& a, const std::wstring& b) const noexcept {
    return base::CompareFileNames(a, b) == CSTR_LESS_THAN;
}

void CLeftoverPartialFiles::Protect(const std::vector<std::wstring>& paths) noexcept {
    for (const std::wstring& path : paths) {
        try {
            std::wstring full;
            if (FullPathOf(path, full)) {
                m_setTargets.insert(full);
            }
        } catch (const std::bad_alloc&) {
            // Unprotected files would be at risk: none is removed from now on.
            m_bRemoveNothing = true;
            return;
        }
    }
}

void CLeftoverPartialFiles::RemoveFor(const std::wstring& target) noexcept {
    ResumeRecord unused;
    try {
        Settle(target, nullptr, std::wstring(), unused);
    } catch (const std::bad_alloc&) {
        // Nothing removed: a leftover only takes room, and the next run removes it.
    }
}

bool CLeftoverPartialFiles::TakeOverFor(const std::wstring& target, const ResumeRecord& wanted,
                                        const std::wstring& ownPartial, ResumeRecord& taken) noexcept {
    try {
        return Settle(target, &wanted, ownPartial, taken);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CLeftoverPartialFiles::Settle(const std::wstring& target, const ResumeRecord* wanted,
                                   const std::wstring& ownPartial, ResumeRecord& taken) {
    std::wstring full;
    if (!FullPathOf(target, full)) {
        return false;
    }
    const size_t separator = full.rfind(L'\\');
    if (separator == std::wstring::npos || separator + 1 == full.size()) {
        return false;
    }
    m_setTargets.insert(full);
    const std::wstring folder = full.substr(0, separator + 1);
    if (m_setReadFolders.insert(folder).second) {
        ReadFolder(folder);
    }
    const auto found = m_mapLeftovers.equal_range(full);
    // A file of the package this run has already downloaded may have a
    // partial file's name; it is not a leftover, and neither is anything of
    // a process that may still be running.
    std::vector<std::wstring> gone;
    for (auto leftover = found.first; leftover != found.second; ++leftover) {
        if (m_setTargets.count(leftover->second) == 0 && ProcessIsGone(OwnerOfPartial(leftover->second))) {
            gone.push_back(leftover->second);
        }
    }
    m_mapLeftovers.erase(found.first, found.second);

    bool tookOver = false;
    if (wanted != nullptr) {
        // The matching partial file with the most bytes; its record is read
        // once, here.
        const std::wstring* best = nullptr;
        ResumeRecord bestRecord;
        int64_t bestSize = -1;
        for (const std::wstring& path : gone) {
            if (!HasSuffix(path, kPartialSuffix)) {
                continue;
            }
            ResumeRecord record;
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (!ReadResumeRecord(RecordPathOf(path), record) ||
                !RecordMatches(record, wanted->strTarget, wanted->strMd5, wanted->strUrl) ||
                !::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
                continue;
            }
            const int64_t size = static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
            if (size > bestSize && size <= record.nTotal) {
                best = &path;
                bestSize = size;
                bestRecord = record;
            }
        }
        // The rename is the claim: of two runs that find the same leftover,
        // one moves it and the other finds it gone and starts afresh.
        if (best != nullptr && !ownPartial.empty() &&
            ::MoveFileExW(best->c_str(), ownPartial.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            taken = bestRecord;
            tookOver = true;
        }
    }
    if (m_bRemoveNothing) {
        return tookOver;
    }
    for (const std::wstring& path : gone) {
        // Not made writable first: a read-only file is one that someone
        // keeps from being changed. The partial file taken over is gone
        // from its old name already.
        ::DeleteFileW(path.c_str());
    }
    return tookOver;
}

bool CLeftoverPartialFiles::ProcessIsGone(DWORD id) const {
    // Known to be gone: no process has the id, or the one that has it has
    // ended. A refusal (access denied: another user's process, or an
    // elevated one) and any other failure mean a process that may still be
    // writing its partial files.
    const base::unique_handle process(m_pfnOpenProcess(SYNCHRONIZE, FALSE, id));
    if (!process) {
        return ::GetLastError() == ERROR_INVALID_PARAMETER;
    }
    return ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

void CLeftoverPartialFiles::ReadFolder(const std::wstring& folder) {
    // One pass over the folder: the pattern's directory read costs in
    // proportion to the folder's size, once per folder rather than per file.
    WIN32_FIND_DATAW found;
    const base::unique_find find(::FindFirstFileW((folder + L"*.rv*").c_str(), &found));
    if (!find) {
        return;
    }
    const DWORD self = ::GetCurrentProcessId();
    do {
        const std::wstring path = folder + found.cFileName;
        const std::wstring target = TargetOfPartial(path);
        // A folder is never a leftover, nor a name this program does not
        // write (an id with a leading zero, or too long for a process id).
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 || target.empty() ||
            path.size() - target.size() - 1 - kPartialSuffixLength > 10) {
            continue;
        }
        const DWORD owner = OwnerOfPartial(path);
        const wchar_t* suffix = HasSuffix(path, kPartialSuffix) ? kPartialSuffix : kRecordSuffix;
        if (owner != self && path == target + L"." + std::to_wstring(owner) + suffix) {
            m_mapLeftovers.emplace(target, path);
        }
    } while (::FindNextFileW(find.get(), &found));
}

bool PlaceDownloadedFile(const std::wstring& partialPath) {
    const std::wstring target = HasSuffix(partialPath, kPartialSuffix) ? TargetOfPartial(partialPath) : std::wstring();
    if (target.empty()) {
        return false;
    }
    // A read-only file is one the user or the game keeps from being changed;
    // Windows refuses to replace it, and so does this program on every system.
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    const bool replaceable = attributes == INVALID_FILE_ATTRIBUTES ||
                             (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (replaceable &&
        ::MoveFileExW(partialPath.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const std::wstring record = RecordPathOf(partialPath);
        if (!record.empty()) {
            ::DeleteFileW(record.c_str());
        }
        return true;
    }
    RemovePartialFile(partialPath.c_str());
    return false;
}

void DiscardDownloadedFile(const std::wstring& partialPath) {
    RemovePartialFile(partialPath.c_str());
}
