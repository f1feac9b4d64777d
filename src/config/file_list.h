#pragma once

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

// Reads FileList.xml from the executable's folder and adds its entries to
// the download, run and delay lists, comparing each file under targetFolder
// with its digest. Returns false when the list is unusable: it cannot be
// opened or parsed, it has no root element, or an entry's FilePath does not
// stay inside the target folder; an unusable list adds nothing.
// Main thread only, like the list accessors.
bool LoadFileList(const std::wstring& targetFolder);

std::vector<FileListItem> GetDownloadList();
std::vector<FileListItem> GetRunList();
std::vector<FileListItem> GetDelayList();

// True when the file's MD5 equals md5, without regard to letter case.
bool CheckFileMd5(const std::wstring& path, const std::wstring& md5);

// True when filePath is a plain relative path: no "." or ".." component, no
// drive or stream colon, no UNC or device prefix, no reserved device name
// (CON, NUL, COM1...), no component ending in a dot or a blank; "/" counts
// as a separator too. A leading separator is allowed ("\bin\game.exe").
bool IsPlainRelativePath(const std::wstring& filePath);
// True when folder joined directly with filePath, made full with
// GetFullPathNameW, lies inside folder followed by a backslash.
bool IsPathInsideFolder(const std::wstring& folder, const std::wstring& filePath);
