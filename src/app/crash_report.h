#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// The record the platform's crash reporter (Dump.dll beside the executable)
// receives by address and may keep: its layout is fixed, UTF-16 texts each
// zero-terminated within 260 characters.
struct CrashReportInfo {
    WCHAR szAppPath[MAX_PATH];      // the executable's folder + "RadeVare.exe"
    WCHAR szDumpFolder[MAX_PATH];   // the dump folder, created beforehand, no trailing backslash
    WCHAR szAppName[MAX_PATH];      // "RadeVare"
    DWORD dwValueA;                 // 0
    DWORD dwValueB;                 // 1
    WCHAR szVendorName[MAX_PATH];   // "VodiDeve"
    WCHAR szReporterPath[MAX_PATH]; // the executable's folder + "CrashReport.exe"
};
static_assert(sizeof(CrashReportInfo) == 2608, "the crash reporter reads 2608 bytes");
static_assert(offsetof(CrashReportInfo, szDumpFolder) == 520, "field offset fixed by the reporter");
static_assert(offsetof(CrashReportInfo, szAppName) == 1040, "field offset fixed by the reporter");
static_assert(offsetof(CrashReportInfo, dwValueA) == 1560, "field offset fixed by the reporter");
static_assert(offsetof(CrashReportInfo, dwValueB) == 1564, "field offset fixed by the reporter");
static_assert(offsetof(CrashReportInfo, szVendorName) == 1568, "field offset fixed by the reporter");
static_assert(offsetof(CrashReportInfo, szReporterPath) == 2088, "field offset fixed by the reporter");

// Offers the program to Dump.dll when it lies beside the executable; returns
// the reporter's answer, or 0 without a reporter. Main thread, once, at start.
int InstallCrashReporter();

// The executable's folder with a trailing backslash, followed by name.
std::wstring GetModuleRelativePath(const std::wstring& name);
// The user's application-data folder + "VodiDeve\zezoro"; creates nothing.
std::wstring GetDumpFolderPath();
// The same path, its folder tree created first.
std::wstring GetDumpFolder();
// Returns path unchanged; with create set, first makes the folder tree of
// path taken as a folder.
std::wstring PreparePath(const std::wstring& path, bool create);
// Creates every folder of path that a separator follows; the last component
// of a path without a trailing separator is taken as a file name. A file in
// the way of a folder is left alone.
void CreateDirectoryTree(const std::wstring& path);
