#include "app/crash_report.h"

#include "test_support/files.h"
#include "test_support/temp_folder.h"

#include <shlobj.h>

#include <string>

#include <gtest/gtest.h>

TEST(FolderUtilitiesTest, PreparePathCreatesEveryFolderAndReturnsThePathUnchanged) {
    test::CTempFolder temp;
    const std::wstring path = temp.Path() + L"\\a\\b";
    EXPECT_EQ(PreparePath(path, true), path);
    EXPECT_TRUE(test::FolderExists(temp.Path() + L"\\a"));
    EXPECT_TRUE(test::FolderExists(temp.Path() + L"\\a\\b"));

    const std::wstring other = temp.Path() + L"\\c\\d";
    EXPECT_EQ(PreparePath(other, false), other);
    EXPECT_FALSE(test::PathExists(temp.Path() + L"\\c"));
    EXPECT_EQ(PreparePath(L"", true), L"");
}

TEST(FolderUtilitiesTest, LastComponentWithoutSeparatorIsAFileName) {
    test::CTempFolder temp;
    CreateDirectoryTree(temp.Path() + L"\\a\\b");
    EXPECT_TRUE(test::FolderExists(temp.Path() + L"\\a"));
    EXPECT_FALSE(test::PathExists(temp.Path() + L"\\a\\b"));

    CreateDirectoryTree(temp.Path() + L"\\x\\y\\");
    EXPECT_TRUE(test::FolderExists(temp.Path() + L"\\x\\y"));
}

TEST(FolderUtilitiesTest, ForwardSlashCountsOnlyWhereNoBackslashFollows) {
    test::CTempFolder temp;
    // Walked at its backslashes only: the prefixes are ...\a/b and ...\a/b\c,
    // and \a itself is never tried, so neither can be made.
    CreateDirectoryTree(temp.Path() + L"\\a/b\\c\\");
    EXPECT_FALSE(test::PathExists(temp.Path() + L"\\a"));

    // After the last backslash, forward slashes separate.
    CreateDirectoryTree(temp.Path() + L"\\p/q/");
    EXPECT_TRUE(test::FolderExists(temp.Path() + L"\\p"));
    EXPECT_TRUE(test::FolderExists(temp.Path() + L"\\p\\q"));
}

TEST(FolderUtilitiesTest, OverlongPathsAndRootsCreateNothing) {
    test::CTempFolder temp;
    std::wstring path = temp.Path() + L"\\long\\";
    path += std::wstring(261 - path.size() - 1, L'x') + L"\\";
    ASSERT_EQ(path.size(), 261u);
    CreateDirectoryTree(path);
    EXPECT_FALSE(test::PathExists(temp.Path() + L"\\long"));

    CreateDirectoryTree(L"C:\\");
    CreateDirectoryTree(L"");
    EXPECT_TRUE(test::FolderExists(L"C:\\"));
}

TEST(FolderUtilitiesTest, FileInTheWayOfAFolderIsLeftAlone) {
    test::CTempFolder temp;
    const std::wstring file = temp.Path() + L"\\taken";
    ASSERT_TRUE(test::WriteFileBytes(file, "precious"));
    CreateDirectoryTree(temp.Path() + L"\\taken\\inner\\");
    ASSERT_TRUE(test::PathExists(file));
    EXPECT_FALSE(test::FolderExists(file));
    EXPECT_EQ(test::ReadFileBytes(file), "precious");
}

TEST(FolderUtilitiesTest, ModuleRelativePathIsTheExecutablesFolderWithBackslash) {
    const std::wstring folder = test::ModuleFolder();
    EXPECT_EQ(GetModuleRelativePath(L"RadeVare.exe"), folder + L"\\RadeVare.exe");
    EXPECT_EQ(GetModuleRelativePath(L""), folder + L"\\");
}

TEST(FolderUtilitiesTest, DumpFolderLiesUnderRoamingApplicationData) {
    WCHAR appData[MAX_PATH] = {};
    ASSERT_TRUE(::SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, FALSE));
    const std::wstring expected = std::wstring(appData) + L"\\VodiDeve\\zezoro";
    EXPECT_EQ(GetDumpFolderPath(), expected);
    EXPECT_EQ(GetDumpFolder(), expected);
    EXPECT_TRUE(test::FolderExists(expected));
}

TEST(CrashReporterTest, WithoutDumpDllThereIsNoReporter) {
    // The test programs' folder holds no Dump.dll.
    EXPECT_EQ(InstallCrashReporter(), 0);
}
