#pragma once

#include <windows.h>

#include <string>

// One download, passed and stored by value: copied into the worker's queue,
// out of it, into the result table and out again.
struct DownloadTask {
    std::wstring strRequestUrl; // the URL as requested; never changed
    std::wstring strUrl;        // the URL to fetch; the local file path once the download succeeded
    std::wstring strSavePath;   // target path, may hold %NAME% references; empty = into the internet cache
    std::wstring strFileName;   // the target relative to its folder; bookkeeping only
    UINT uNotifyMsg = 0;        // posted to hNotifyWnd when the task ends
    int nTaskId = 0;            // given by AddTask
    BOOL bRetry = FALSE;        // try again after a transient failure
    HWND hNotifyWnd = nullptr;
    // The digest the file list gives the target (32 hexadecimal digits), or
    // empty: a partial file whose bytes may be joined across runs must be
    // checked against it.
    std::wstring strMd5;
};
