#pragma once

#include "config/file_list.h"
#include "test_support/files.h"
#include "test_support/temp_folder.h"
#include "utf8.h"

#include <string>
#include <vector>

#include <windows.h>

// Helpers shared by the configuration tests, beside the shared ones of
// test_support/. Main thread of the test only.

// What one run of config_probe produced: its exit code and its records.
struct ProbeOutput {
    DWORD exitCode = 0xFFFFFFFF;
    std::vector<std::vector<std::wstring>> records;

    // The second field of the first record with this tag, "" when there is none.
    std::wstring Value(const std::wstring& tag) const;
    // Every "loaded" record, as flags, in call order.
    std::vector<bool> Loaded() const;
    // The items of one list ("download", "run" or "delay"), in list order.
    std::vector<FileListItem> Items(const std::wstring& list) const;
};

// Copies config_probe.exe from the test's own folder into folder (or to
// probePath when given), runs it with arguments and folder as its working
// folder, and reads what it wrote into folder. The configuration readers
// then find their files in folder, away from other test programs.
ProbeOutput RunProbe(const std::wstring& folder, const std::wstring& arguments,
                     const std::wstring& probePath = std::wstring());

// The MD5 digests of RFC 1321's test suite, to compare files without
// computing digests with the code under test.
constexpr char kTextAbc[] = "abc";
constexpr wchar_t kMd5Abc[] = L"900150983cd24fb0d6963f7d28e17f72";
constexpr char kTextDigest[] = "message digest";
constexpr wchar_t kMd5Digest[] = L"f96b697d7cb7938d525a2f31aaf161d0";
