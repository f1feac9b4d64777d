#include "config/file_list.h"

#include "base/file_names.h"
#include "config/settings_table.h"
#include "config/xml_file.h"
#include "digest/fetch_rules.h"
#include "digest/file_digests.h"
#include "digest/md5.h"

#include <tinyxml.h>

#include <cwchar>
#include <map>
#include <new>

#include <windows.h>
#include <shlwapi.h>

namespace {

// Process-wide, changed only by LoadFileList; the accessors hand out copies.
std::vector<FileListItem> g_downloadList;
std::vector<FileListItem> g_runList;
std::vector<FileListItem> g_delayList;

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool EqualsIgnoreCase(const wchar_t* text, size_t length, const wchar_t* other) {
    return ::CompareStringOrdinal(text, static_cast<int>(length), other, -1, TRUE) == CSTR_EQUAL;
}

// Windows opens a device, not a file, for these names in any folder and in
// any letter case. The device is named by the part before the first dot with
// blanks at its end ignored, so "nul.txt" and "NUL .log" are the device too.
// The superscript digits count as digits for COM and LPT.
bool IsReservedDeviceName(const wchar_t* component, size_t length) {
    size_t end = 0;
    while (end < length && component[end] != L'.') {
        ++end;
    }
    while (end > 0 && component[end - 1] == L' ') {
        --end;
    }
    static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"};
    for (const wchar_t* device : kDevices) {
        if (EqualsIgnoreCase(component, end, device)) {
            return true;
        }
    }
    if (end == 4 && (EqualsIgnoreCase(component, 3, L"COM") || EqualsIgnoreCase(component, 3, L"LPT"))) {
        const wchar_t digit = component[3];
        return (digit >= L'0' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
    }
    return false;
}

// One name between separators. Windows drops a trailing dot or blank when it
// opens a path, so "game.exe." would reach another file than the one checked;
// the same rule refuses "." and "..". A colon is a drive or a stream, and the
// other characters cannot be in a file name at all (wildcards, and the "?" of
// the "\\?\" prefix). A "%" is refused too: the worker expands environment
// references in the path it writes, so "%APPDATA%\x" would be checked here as
// one path and written as another.
bool IsPlainComponent(const wchar_t* component, size_t length) {
    if (length == 0) {
        return false;
    }
    const wchar_t last = component[length - 1];
    if (last == L'.' || last == L' ') {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = component[i];
        if (c < 0x20 || std::wcschr(L"<>:\"|?*%", c) != nullptr) {
            return false;
        }
    }
    return !IsReservedDeviceName(component, length);
}

bool GetFullPath(const std::wstring& path, std::wstring& fullPath) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return false;
    }
    std::vector<wchar_t> buffer(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, buffer.data(), nullptr);
    if (length == 0 || length >= needed) {
        return false;
    }
    fullPath.assign(buffer.data(), length);
    return true;
}

bool IsOpt(const std::wstring& opt, const wchar_t* value) {
    return _wcsicmp(opt.c_str(), value) == 0;
}

// What lies under targetFolder for each entry: whether its path exists, and
// the digest of the file there ("" when it cannot be read), all files read
// in one go.
struct PresentFile {
    bool exists = false;
    std::wstring digest;
};

std::vector<PresentFile> ReadPresentFiles(const std::wstring& targetFolder, const std::vector<FileListItem>& items,
                                          CDigestObserver* observer) {
    std::vector<PresentFile> present(items.size());
    std::vector<std::wstring> paths(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const std::wstring localPath = targetFolder + items[i].FilePath;
        present[i].exists = ::PathFileExistsW(localPath.c_str()) != FALSE;
        if (present[i].exists) {
            paths[i] = localPath;
        }
    }
    // No memory even for the digests: no file can be taken as up to date,
    // and the list fails like one that cannot be read.
    std::vector<std::string> digests;
    if (!FileDigests(paths, digests, observer)) {
        throw std::bad_alloc();
    }
    for (size_t i = 0; i < items.size(); ++i) {
        present[i].digest = Utf8ToWide(digests[i].c_str());
    }
    return present;
}

// The form in which two FilePaths (backslashes only) name the same file: the
// leading separator is optional.
std::wstring ComparablePath(const std::wstring& filePath) {
    std::wstring path = filePath;
    if (!path.empty() && path[0] == L'\\') {
        path.erase(0, 1);
    }
    return path;
}

// Orders paths as Windows compares file names: ordinal, without regard to case.
struct FilePathLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return base::CompareFileNames(a, b) == CSTR_LESS_THAN;
    }
};

// The full, long-named form of a listed file's path (GetFullPathNameW, then
// base::LongFormOf): one spelling for all its aliases. The folders of a list
// are few, so each is made long once. Throws std::bad_alloc.
class CListedNames {
public:
    explicit CListedNames(const std::wstring& targetFolder) : m_strTargetFolder(targetFolder) {}

    bool FullNameOf(const std::wstring& filePath, std::wstring& name) {
        std::wstring full;
        if (!GetFullPath(m_strTargetFolder + filePath, full)) {
            return false;
        }
        const size_t separator = full.rfind(L'\\');
        if (separator == std::wstring::npos) {
            return false;
        }
        const std::wstring folder = full.substr(0, separator);
        auto known = m_mapFolders.find(folder);
        if (known == m_mapFolders.end()) {
            known = m_mapFolders.emplace(folder, base::LongFormOf(folder)).first;
        }
        const std::wstring file = full.substr(separator);
        // A file's own name is looked up only when it may be a short one.
        name = file.find(L'~') == std::wstring::npos ? known->second + file : base::LongFormOf(known->second + file);
        return true;
    }

private:
    std::wstring m_strTargetFolder;
    std::map<std::wstring, std::wstring, FilePathLess> m_mapFolders;
};

// Two entries whose paths name one file (a short name and its long one, say)
// are one entry, as two spellings that differ only in case or separator
// already are: the first stands for both when their digests agree, and the
// list is unusable when they do not. names gets the full, long-named path of
// each entry kept. Throws std::bad_alloc.
bool MergeAliases(const std::wstring& targetFolder, std::vector<FileListItem>& items,
                  std::vector<std::wstring>& names) {
    CListedNames listed(targetFolder);
    std::map<std::wstring, size_t, FilePathLess> seen;
    std::vector<FileListItem> kept;
    std::vector<std::wstring> keptNames;
    for (FileListItem& item : items) {
        std::wstring name;
        if (!listed.FullNameOf(item.FilePath, name)) {
            return false;
        }
        const auto inserted = seen.emplace(name, kept.size());
        if (!inserted.second) {
            if (_wcsicmp(kept[inserted.first->second].md5.c_str(), item.md5.c_str()) != 0) {
                return false;
            }
            continue;
        }
        kept.push_back(std::move(item));
        keptNames.push_back(std::move(name));
    }
    items.swap(kept);
    names.swap(keptNames);
    return true;
}

FileListItem ReadItem(const TiXmlElement& entry) {
    FileListItem item;
    item.FilePath = Utf8ToWide(entry.Attribute("FilePath"));
    item.url = Utf8ToWide(entry.Attribute("url"));
    item.md5 = Utf8ToWide(entry.Attribute("md5"));
    item.opt = Utf8ToWide(entry.Attribute("opt"));
    item.CMD = Utf8ToWide(entry.Attribute("CMD"));
    return item;
}

} // namespace

bool IsPlainRelativePath(const std::wstring& filePath) {
    const wchar_t* const text = filePath.c_str();
    const size_t size = filePath.size();
    // One leading separator is the usual form ("\bin\game.exe"); a second one
    // would make a UNC or device prefix, and is refused as an empty name.
    size_t begin = (size > 0 && IsSeparator(text[0])) ? 1 : 0;
    if (begin == size) {
        return false; // names no file
    }
    for (;;) {
        size_t end = begin;
        while (end < size && !IsSeparator(text[end])) {
            ++end;
        }
        // Empty names (doubled or trailing separators) are refused too: they
        // name no file, and what they mean differs between Windows functions.
        if (!IsPlainComponent(text + begin, end - begin)) {
            return false;
        }
        if (end == size) {
            return true;
        }
        begin = end + 1;
    }
}

bool IsPathInsideFolder(const std::wstring& folder, const std::wstring& filePath) {
    if (folder.empty()) {
        return false;
    }
    try {
        std::wstring fullFolder;
        std::wstring fullPath;
        if (!GetFullPath(folder, fullFolder) || !GetFullPath(folder + filePath, fullPath)) {
            return false;
        }
        // With the backslash, "C:\game2\x" does not pass as inside "C:\game";
        // a drive root ("C:\") has it already.
        if (fullFolder.back() != L'\\') {
            fullFolder += L'\\';
        }
        return fullPath.size() > fullFolder.size() &&
               EqualsIgnoreCase(fullPath.c_str(), fullFolder.size(), fullFolder.c_str());
    } catch (...) {
        return false;
    }
}

bool ParseFileList(const std::string& text, const std::wstring& targetFolder, std::vector<FileListItem>& entries) {
    // Called from the progress window's handlers: nothing may escape.
    try {
        // The list comes over plain HTTP, and without a target folder its
        // paths would be taken from the root of the current drive: such a
        // run has nowhere safe to write.
        if (targetFolder.empty()) {
            return false;
        }
        TiXmlDocument document;
        if (!ParseXmlText(text, document)) {
            return false;
        }
        const TiXmlElement* root = document.RootElement();
        if (root == nullptr) {
            return false;
        }

        // One entry that could reach outside the target folder, or make the
        // worker fetch anything but a web address, makes the whole list
        // untrustworthy. The same file named twice is fetched once; named
        // twice with two digests, one of them is wrong and the list is.
        std::vector<FileListItem> items;
        std::map<std::wstring, size_t, FilePathLess> seen;
        for (const TiXmlElement* entry = root->FirstChildElement(); entry != nullptr;
             entry = entry->NextSiblingElement()) {
            FileListItem item = ReadItem(*entry);
            if (!IsPlainRelativePath(item.FilePath) || !IsPathInsideFolder(targetFolder, item.FilePath) ||
                !IsWebUrl(item.url)) {
                return false;
            }
            // One separator from here on: the folders are made, the files
            // written and the programs started with backslashes.
            for (wchar_t& c : item.FilePath) {
                if (c == L'/') {
                    c = L'\\';
                }
            }
            const auto inserted = seen.emplace(ComparablePath(item.FilePath), items.size());
            if (!inserted.second) {
                if (_wcsicmp(items[inserted.first->second].md5.c_str(), item.md5.c_str()) != 0) {
                    return false;
                }
                continue;
            }
            items.push_back(std::move(item));
        }
        entries.swap(items);
        return true;
    } catch (...) {
        return false;
    }
}

bool CheckFileList(const std::wstring& targetFolder, FileListCheck& check, CDigestObserver* observer) {
    // Nothing escapes: the check runs on a thread of the progress window's.
    try {
        std::string text;
        std::vector<FileListItem> items;
        std::vector<std::wstring> names;
        if (!ReadXmlFileText(GetModuleFolder() + L"\\FileList.xml", text) ||
            !ParseFileList(text, targetFolder, items) || !MergeAliases(targetFolder, items, names)) {
            return false;
        }
        FileListCheck found;
        const std::vector<PresentFile> present = ReadPresentFiles(targetFolder, items, observer);
        for (size_t i = 0; i < items.size(); ++i) {
            const FileListItem& item = items[i];
            const bool isDelay = IsOpt(item.opt, L"DELAY");
            // A RUN entry is started at the end whether or not it is fetched now.
            if (IsOpt(item.opt, L"RUN")) {
                found.run.push_back(item);
            }
            // An empty expected digest matches a path that exists but cannot
            // be read (a folder): such an entry is left alone rather than
            // fetched on every run.
            if (present[i].exists && _wcsicmp(present[i].digest.c_str(), item.md5.c_str()) == 0) {
                // A DELAY file already delivered is what is to be started: it
                // replaces every run entry read before it.
                if (isDelay) {
                    found.run.clear();
                    found.run.push_back(item);
                    found.bRunReplaced = true;
                }
            } else if (isDelay) {
                found.delay.push_back(item);
            } else {
                found.download.push_back(item);
            }
        }
        found.listedPaths.swap(names);
        std::swap(check, found);
        return true;
    } catch (...) {
        return false;
    }
}

bool CommitFileList(FileListCheck& check) noexcept {
    // The lists change all together or not at all.
    try {
        const auto joined = [](const std::vector<FileListItem>& before, const std::vector<FileListItem>& added) {
            std::vector<FileListItem> list;
            list.reserve(before.size() + added.size());
            list.insert(list.end(), before.begin(), before.end());
            list.insert(list.end(), added.begin(), added.end());
            return list;
        };
        // The run entries read before a delivered DELAY file are replaced by
        // it, those of earlier lists included.
        std::vector<FileListItem> runList = check.bRunReplaced ? check.run : joined(g_runList, check.run);
        std::vector<FileListItem> downloadList = joined(g_downloadList, check.download);
        std::vector<FileListItem> delayList = joined(g_delayList, check.delay);
        g_downloadList.swap(downloadList);
        g_runList.swap(runList);
        g_delayList.swap(delayList);
        return true;
    } catch (...) {
        return false;
    }
}

bool LoadFileList(const std::wstring& targetFolder) {
    FileListCheck check;
    return CheckFileList(targetFolder, check) && CommitFileList(check);
}

std::vector<FileListItem> GetDownloadList() {
    return g_downloadList;
}

std::vector<FileListItem> GetRunList() {
    return g_runList;
}

std::vector<FileListItem> GetDelayList() {
    return g_delayList;
}

bool DigestMatches(const std::string& digest, const std::wstring& md5) {
    try {
        // No digest means the file could not be read (a download that left no
        // file): that is never a verified file, even for an entry without md5.
        return !digest.empty() && _wcsicmp(Utf8ToWide(digest.c_str()).c_str(), md5.c_str()) == 0;
    } catch (...) {
        return false;
    }
}

bool CheckFileMd5(const std::wstring& path, const std::wstring& md5) {
    try {
        return DigestMatches(FileDigest(path.c_str()), md5);
    } catch (...) {
        return false;
    }
}
