#include "app/crash_report.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

// A fresh folder under the temporary folder, removed with its contents.
class TempFolder {
public:
    TempFolder() {
        WCHAR base[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, base);
        m_path = std::wstring(base) + L"rv_app_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                 std::to_wstring(::GetTickCount());
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path;
};

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

TEST(FolderUtilitiesTest, PreparePathCreatesEveryFolderAndReturnsThePathUnchanged) {
    TempFolder temp;
    const std::wstring path = temp.Path() + L"\\a\\b";
    EXPECT_EQ(PreparePath(path, true), path);
    EXPECT_TRUE(IsFolder(temp.Path() + L"\\a"));
    EXPECT_TRUE(IsFolder(temp.Path() + L"\\a\\b"));

    const std::wstring other = temp.Path() + L"\\c\\d";
    EXPECT_EQ(PreparePath(other, false), other);
    EXPECT_FALSE(Exists(temp.Path() + L"\\c"));
    EXPECT_EQ(PreparePath(L"", true), L"");
}

TEST(FolderUtilitiesTest, LastComponentWithoutSeparatorIsAFileName) {
    TempFolder temp;
    CreateDirectoryTree(temp.Path() + L"\\a\\b");
    EXPECT_TRUE(IsFolder(temp.Path() + L"\\a"));
    EXPECT_FALSE(Exists(temp.Path() + L"\\a\\b"));

    CreateDirectoryTree(temp.Path() + L"\\x\\y\\");
    EXPECT_TRUE(IsFolder(temp.Path() + L"\\x\\y"));
}

TEST(FolderUtilitiesTest, ForwardSlashCountsOnlyWhereNoBackslashFollows) {
    TempFolder temp;
    // Walked at its backslashes only: the prefixes are ...\a/b and ...\a/b\c,
    // and \a itself is never tried, so neither can be made.
    CreateDirectoryTree(temp.Path() + L"\\a/b\\c\\");
    EXPECT_FALSE(Exists(temp.Path() + L"\\a"));

    // After the last backslash, forward slashes separate.
    CreateDirectoryTree(temp.Path() + L"\\p/q/");
    EXPECT_TRUE(IsFolder(temp.Path() + L"\\p"));
    EXPECT_TRUE(IsFolder(temp.Path() + L"\\p\\q"));
}

TEST(FolderUtilitiesTest, OverlongPathsAndRootsCreateNothing) {
    TempFolder temp;
    std::wstring path = temp.Path() + L"\\long\\";
    path += std::wstring(261 - path.size() - 1, L'x') + L"\\";
    ASSERT_EQ(path.size(), 261u);
    CreateDirectoryTree(path);
    EXPECT_FALSE(Exists(temp.Path() + L"\\long"));

    CreateDirectoryTree(L"C:\\");
    CreateDirectoryTree(L"");
    EXPECT_TRUE(IsFolder(L"C:\\"));
}

TEST(FolderUtilitiesTest, FileInTheWayOfAFolderIsLeftAlone) {
    TempFolder temp;
    const std::wstring file = temp.Path() + L"\\taken";
    {
        std::ofstream out(file.c_str(), std::ios::binary);
        out << "precious";
    }
    CreateDirectoryTree(temp.Path() + L"\\taken\\inner\\");
    ASSERT_TRUE(Exists(file));
    EXPECT_FALSE(IsFolder(file));
    std::ifstream in(file.c_str(), std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "precious");
}

TEST(FolderUtilitiesTest, ModuleRelativePathIsTheExecutablesFolderWithBackslash) {
    WCHAR exe[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    ::PathRemoveFileSpecW(exe);
    EXPECT_EQ(GetModuleRelativePath(L"RadeVare.exe"), std::wstring(exe) + L"\\RadeVare.exe");
    EXPECT_EQ(GetModuleRelativePath(L""), std::wstring(exe) + L"\\");
}

TEST(FolderUtilitiesTest, DumpFolderLiesUnderRoamingApplicationData) {
    WCHAR appData[MAX_PATH] = {};
    ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, FALSE));
    const std::wstring expected = std::wstring(appData) + L"\\VodiDeve\\zezoro";
    EXPECT_EQ(GetDumpFolderPath(), expected);
    EXPECT_EQ(GetDumpFolder(), expected);
    EXPECT_TRUE(IsFolder(expected));
}

TEST(CrashReporterTest, WithoutDumpDllThereIsNoReporter) {
    // The test programs' folder holds no Dump.dll.
    EXPECT_EQ(InstallCrashReporter(), 0);
}
