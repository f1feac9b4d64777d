#pragma once

#include "digest/md5.h"

#include <string>
#include <vector>

// One entry of FileList.xml: the UTF-16 texts of its attributes.
struct FileListItem {
    std::wstring FilePath; // "\bin\game.exe": joined to the target folder without a separator
    std::wstring url;
    std::wstring md5;
    std::wstring opt; // "RUN", "DELAY" (any letter case) or anything else for an ordinary file
    std::wstring CMD; // parameters for a file that is started
};

// Reads the text of a FileList.xml into its entries, in document order, each
// checked against targetFolder. Returns false, leaving entries as they were,
// when the list is unusable: targetFolder is empty, the text cannot be parsed
// or has no root element, an entry's FilePath is not a plain relative path
// or does not stay inside targetFolder, an entry's url is not an http:// or
// https:// address, or two entries name the same file (compared as Windows
// compares names, either separator) with different digests. Of two entries
// for the same file with one digest, the first stands for both. FilePaths
// come out with backslashes only. A list without entries is usable. Touches
// no file. Any thread.
bool ParseFileList(const std::string& text, const std::wstring& targetFolder, std::vector<FileListItem>& entries);

// What the check of a file list found, on its way to the download, run and
// delay lists.
struct FileListCheck {
    std::vector<FileListItem> download; // missing or differing, not DELAY
    std::vector<FileListItem> run;      // RUN entries, and a delivered DELAY file
    std::vector<FileListItem> delay;    // DELAY files not yet delivered
    bool bRunReplaced = false;          // a delivered DELAY file replaces the run entries read before it
    // The full, long-named path of every file the list names, up to date or
    // not: none of them is ever a leftover of another file's download.
    std::vector<std::wstring> listedPaths;
};

// Reads FileList.xml from the executable's folder (ParseFileList), makes
// entries that name one file under two spellings one entry (a short 8.3 name
// and its long one among them; with two digests the list is unusable) and
// compares each file under targetFolder with its digest. observer, when
// given, sees every chunk read (FileDigests); once it says stop, nothing more
// is read and every file not read whole counts as differing, so the caller
// that said stop drops what it gets. False when the file cannot be read or
// the list is unusable. Reads files, changes none. Any thread.
bool CheckFileList(const std::wstring& targetFolder, FileListCheck& check, CDigestObserver* observer = nullptr);
// Adds what a check found to the download, run and delay lists, all three or
// none (false: no memory). Main thread only, like the list accessors.
bool CommitFileList(FileListCheck& check) noexcept;
// CheckFileList, then CommitFileList: an unusable list adds nothing to any
// list. Each call adds its entries again; nothing empties the lists. Main
// thread only.
bool LoadFileList(const std::wstring& targetFolder);

std::vector<FileListItem> GetDownloadList();
std::vector<FileListItem> GetRunList();
std::vector<FileListItem> GetDelayList();

// True when the file can be read and its MD5 equals md5, without regard to
// letter case. A file that cannot be read (or is missing) never passes, not
// even against an empty md5.
bool CheckFileMd5(const std::wstring& path, const std::wstring& md5);
// The comparison CheckFileMd5 makes, for a digest already computed
// (FileDigest's text): equal without regard to letter case, never for "".
bool DigestMatches(const std::string& digest, const std::wstring& md5);

// True when filePath is a plain relative path that names a file: one leading
// separator at most ("\bin\game.exe"), and no empty name (doubled or
// trailing separator), no "." or ".." name, no name ending in a dot or a
// blank, no colon (drive or stream), no wildcard or control character, no
// UNC or device prefix, no "%" (an environment reference), no reserved device
// name (CON, NUL, COM1, "nul.txt" and the rest, any letter case); "/" counts
// as a separator too. Any thread.
bool IsPlainRelativePath(const std::wstring& filePath);
// True when folder joined directly with filePath, made full with
// GetFullPathNameW, lies inside the full folder followed by a backslash (so
// "C:\game2\x" is not inside "C:\game"). False for an empty folder. Any thread.
bool IsPathInsideFolder(const std::wstring& folder, const std::wstring& filePath);
