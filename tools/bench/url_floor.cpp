// url_floor: the least a download client can do under the same Wine: one
// URLDownloadToFileW after another, in one process with COM initialised,
// into files of a target folder. The benchmark sets RadeVare's whole runs
// against it.
//
// usage: url_floor.exe JOBS_FILE
//   JOBS_FILE: UTF-8 lines "URL<TAB>Windows path of the file to write"; the
//   files' folders are made first, before any download, when missing. Exit code 0 when every
//   download succeeded, 1 at the first that failed (it says which), 2 bad usage.

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <windows.h>
#include <urlmon.h>

namespace {

bool ReadJobs(const wchar_t* path, std::vector<std::pair<std::wstring, std::wstring>>* jobs) {
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::string text;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    ::CloseHandle(file);
    const int wide = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring all(static_cast<size_t>(wide), L'\0');
    if (wide > 0) {
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &all[0], wide);
    }
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = all.size();
        }
        std::wstring line = all.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        const size_t tab = line.find(L'\t');
        if (tab == std::wstring::npos || tab == 0 || tab + 1 == line.size()) {
            return false;
        }
        jobs->emplace_back(line.substr(0, tab), line.substr(tab + 1));
    }
    return !jobs->empty();
}

// Makes every missing folder above the file.
void MakeFolders(const std::wstring& file) {
    for (size_t at = file.find(L'\\', 3); at != std::wstring::npos; at = file.find(L'\\', at + 1)) {
        ::CreateDirectoryW(file.substr(0, at).c_str(), nullptr);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::pair<std::wstring, std::wstring>> jobs;
    if (argc != 2 || !ReadJobs(argv[1], &jobs)) {
        std::fwprintf(stderr, L"usage: url_floor.exe JOBS_FILE (lines URL<TAB>path)\n");
        return 2;
    }
    if (FAILED(::CoInitialize(nullptr))) {
        std::fwprintf(stderr, L"url_floor: CoInitialize failed\n");
        return 1;
    }
    // The folders first, each once: a bare client makes them no more often
    // than RadeVare does, which makes each one before its files are queued.
    std::set<std::wstring> folders;
    for (const auto& job : jobs) {
        const size_t last = job.second.rfind(L'\\');
        if (last != std::wstring::npos && folders.insert(job.second.substr(0, last)).second) {
            MakeFolders(job.second);
        }
    }
    int status = 0;
    for (const auto& job : jobs) {
        const HRESULT hr = ::URLDownloadToFileW(nullptr, job.first.c_str(), job.second.c_str(), 0, nullptr);
        if (FAILED(hr)) {
            std::fwprintf(stderr, L"url_floor: %ls failed (0x%08lx)\n", job.first.c_str(),
                          static_cast<unsigned long>(hr));
            status = 1;
            break;
        }
    }
    ::CoUninitialize();
    if (status == 0) {
        std::printf("url_floor: %u downloads\n", static_cast<unsigned>(jobs.size()));
    }
    return status;
}
