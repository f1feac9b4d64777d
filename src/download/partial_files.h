#pragma once

#include "download/resume_record.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

// A download with a save path is written into a partial file beside its
// target, never into the target itself: the worker names it and cleans up
// after killed runs; the window puts it in place or discards it.

// The partial file this process downloads target into: beside it, so that
// putting it in place is a rename on the same volume, and named after the
// process, "<target>.<process id>.rvpart". Any thread.
std::wstring PartialPathOf(const std::wstring& target);

// The resume record beside partialPath: the same name, ".rvinfo" for
// ".rvpart"; empty when partialPath is not a partial file's name. Any thread.
std::wstring RecordPathOf(const std::wstring& partialPath);

// Removes a partial file of this process's own, also one left read-only,
// with its resume record. Any thread.
void RemovePartialFile(const wchar_t* path);

// The partial files that killed runs left behind (and their resume records),
// taken over or removed target by target as this run is about to download
// into each target. A file is a leftover of target only when its name is
// exactly target's partial name or record name under another process's id
// (target + ".<id>.rvpart" or ".<id>.rvinfo", compared as Windows compares
// names) and that process is known to be gone: no process has the
// id, or the one that has it has ended. An id whose process cannot be asked
// about (OpenProcess refused, as for another user's or an elevated process)
// counts as alive, this process's own id is never a leftover (its partial
// files are this run's, some still waiting to be checked and placed), and a
// target this object was already asked about (a file of the package this
// run has downloaded, whatever its name) or protected (every file the
// package lists) is never removed, nor is a read-only file or a folder.
// Paths name one file when their full paths (GetFullPathNameW: either
// separator, doubled ones, "." and "..") in their long names (a short 8.3
// name is the long one it stands for) agree without regard to case; each
// folder is read once, in one pass, when the first of its targets comes.
// One thread at a time.
class CLeftoverPartialFiles {
public:
    // Files that are never leftovers, whatever their names: the files the
    // package lists, up to date or not. Short of memory for them, nothing is
    // removed at all from then on.
    void Protect(const std::vector<std::wstring>& paths) noexcept;
    // Call before writing target's own partial file. Nothing is removed for
    // a path whose full form cannot be made, or without memory to read its
    // folder.
    void RemoveFor(const std::wstring& target) noexcept;
    // The same, but first takes over the leftover whose record matches
    // wanted (target, digest and URL; the one that holds the most bytes when
    // there are several): it becomes ownPartial, this process's own partial
    // file, by a rename, which only one of two runs that try at once can
    // make. True with the leftover's record in taken; false when none
    // matched or none could be taken (this run then starts afresh).
    bool TakeOverFor(const std::wstring& target, const ResumeRecord& wanted, const std::wstring& ownPartial,
                     ResumeRecord& taken) noexcept;

protected:
    // How a partial file's process is looked up. A subclass may replace it:
    // tests do, to meet the refusal that Wine never gives.
    decltype(&::OpenProcess) m_pfnOpenProcess = ::OpenProcess;

private:
    bool ProcessIsGone(DWORD id) const;
    // Notes the partial files and records of other processes in folder
    // (full, with its backslash). Throws std::bad_alloc.
    void ReadFolder(const std::wstring& folder);
    // Removes target's leftovers of processes known to be gone, after
    // taking over the one that matches wanted when it is given.
    bool Settle(const std::wstring& target, const ResumeRecord* wanted, const std::wstring& ownPartial,
                ResumeRecord& taken);

    // Orders full paths as Windows compares file names: ordinal, without regard to case.
    struct NameLess {
        bool operator()(const std::wstring& a, const std::wstring& b) const noexcept;
    };

    std::set<std::wstring, NameLess> m_setReadFolders; // full folder paths, backslash at the end
    std::set<std::wstring, NameLess> m_setTargets;     // full paths of the targets asked about, and the protected
    bool m_bRemoveNothing = false;                     // protection failed part-way
    // Partial files and records of other processes found in the folders
    // read, by the full path of their target; an entry goes once its target
    // is asked about.
    std::multimap<std::wstring, std::wstring, NameLess> m_mapLeftovers;
};

// Puts the partial file of a finished download (its task's strUrl) in place
// of its target in one step, replacing an older file and writing through,
// and removes its resume record. False when the target cannot be replaced
// (read-only, a folder, held open by a running program); the partial file
// is then removed and the target is left as it was. Any thread.
bool PlaceDownloadedFile(const std::wstring& partialPath);
// Removes the partial file of a download whose file is not wanted after all
// (its digest differed), with its record. Any thread.
void DiscardDownloadedFile(const std::wstring& partialPath);
