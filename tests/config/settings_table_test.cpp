#include "config/settings_table.h"

#include "config_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

// "配置测试": a folder name that code page 1252 cannot hold.
const std::wstring kChineseName = L"\u914d\u7f6e\u6d4b\u8bd5";

TEST(Utf8ToWideTest, NullAndEmptyGiveEmpty) {
    EXPECT_EQ(Utf8ToWide(nullptr), L"");
    EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(Utf8ToWideTest, CharactersOutsideTheAnsiCodePageComeThrough) {
    // "游戏/é" in UTF-8, with a character outside the basic plane (U+1F3AE)
    // that needs a surrogate pair.
    EXPECT_EQ(Utf8ToWide("\xe6\xb8\xb8\xe6\x88\x8f/\xc3\xa9\xf0\x9f\x8e\xae"), L"\u6e38\u620f/\u00e9\U0001F3AE");
}

TEST(WideToAnsiTest, NullAndEmptyGiveEmpty) {
    EXPECT_EQ(WideToAnsi(nullptr), "");
    EXPECT_EQ(WideToAnsi(L""), "");
}

TEST(WideToAnsiTest, UsesTheAnsiCodePageAndItsReplacementCharacter) {
    if (::GetACP() != 1252) {
        GTEST_SKIP() << "the expected bytes are those of code page 1252";
    }
    EXPECT_EQ(WideToAnsi(L"C:\\Spiele\\caf\u00e9"), "C:\\Spiele\\caf\xe9");
    // Characters the code page lacks become "?", so such a path names no file.
    EXPECT_EQ(WideToAnsi((L"C:\\" + kChineseName).c_str()), "C:\\????");
}

TEST(GetModuleFolderTest, IsTheProgramFolderWithoutBackslashEvenOutsideTheAnsiCodePage) {
    test::CTempFolder folder(L"_" + kChineseName);
    const ProbeOutput output = RunProbe(folder.Path(), L"folder");
    ASSERT_EQ(output.exitCode, 0u);
    EXPECT_EQ(output.Value(L"folder"), folder.Path());
}

TEST(GetModuleFolderTest, KeepsTheBackslashOfADriveRoot) {
    test::CTempFolder folder;
    wchar_t windows[MAX_PATH] = {};
    ASSERT_NE(::GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    const std::wstring root = std::wstring(windows).substr(0, 3); // "C:\"

    // The probe lies in the drive's root; its output goes to the test's folder.
    const std::wstring probe = root + L"rv_config_probe_" + std::to_wstring(::GetCurrentProcessId()) + L".exe";
    const ProbeOutput output = RunProbe(folder.Path(), L"folder", probe);
    ::DeleteFileW(probe.c_str());
    ASSERT_EQ(output.exitCode, 0u);
    EXPECT_EQ(output.Value(L"folder"), root);
}

} // namespace
