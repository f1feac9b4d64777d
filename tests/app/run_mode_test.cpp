#include "app/run_mode.h"

#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

RunMode ModeOf(const std::wstring& raw) {
    CCommandLine options;
    options.Parse(raw);
    return SelectRunMode(raw, options);
}

} // namespace

TEST(RunModeTest, DowntypeWinsOverOpenurl) {
    EXPECT_EQ(ModeOf(L"-downtype:http://h/a.bin -openurl:http://h/FileList.xml"), RunMode::DelayedDownload);
    EXPECT_EQ(ModeOf(L"-openurl:http://h/FileList.xml -downtype:http://h/a.bin"), RunMode::DelayedDownload);
    EXPECT_EQ(ModeOf(L" -norun -noprocess -downtype:http://h/a.bin -apppath:\\a.bin"), RunMode::DelayedDownload);
}

TEST(RunModeTest, OpenurlSelectsOpenUrlModeEvenWhenEmpty) {
    EXPECT_EQ(ModeOf(L"-openurl:http://h/FileList.xml -apppath:C:\\g -gameid:3 -biw:77"), RunMode::OpenUrl);
    EXPECT_EQ(ModeOf(L"-openurl:"), RunMode::OpenUrl);
    EXPECT_EQ(ModeOf(L"-openurl"), RunMode::OpenUrl);
}

TEST(RunModeTest, EmptyCommandLineAndSetupMarkersSelectSetup) {
    EXPECT_EQ(ModeOf(L""), RunMode::Setup);
    EXPECT_EQ(ModeOf(L"DovuVadedeZizaz"), RunMode::Setup);
    EXPECT_EQ(ModeOf(L"/S anzhuang"), RunMode::Setup);
    // "http://" anywhere, even inside an option the program does not know.
    EXPECT_EQ(ModeOf(L"-source:http://example/x"), RunMode::Setup);
    EXPECT_EQ(ModeOf(L"-gameid:3 xDovuVadedeZizazx"), RunMode::Setup);
}

TEST(RunModeTest, SetupMarkersAreCaseSensitive) {
    EXPECT_EQ(ModeOf(L"dovuvadedezizaz"), RunMode::None);
    EXPECT_EQ(ModeOf(L"ANZHUANG"), RunMode::None);
    EXPECT_EQ(ModeOf(L"-source:HTTP://example/x"), RunMode::None);
    EXPECT_EQ(ModeOf(L"-source:https://example/x"), RunMode::None);
}

TEST(RunModeTest, OptionsOfNoModeSelectNone) {
    EXPECT_EQ(ModeOf(L"-gameid:3"), RunMode::None);
    EXPECT_EQ(ModeOf(L"-noprocess -norun -biw:0"), RunMode::None);
    // Blanks only are not an empty command line.
    EXPECT_EQ(ModeOf(L"   "), RunMode::None);
    // Names are case-sensitive: these are no mode options.
    EXPECT_EQ(ModeOf(L"-DownType:x -OpenUrl:y"), RunMode::None);
}

TEST(RunModeTest, GameCenterKeysOnlyForTheirMarker) {
    EXPECT_TRUE(RequestsGameCenterKeys(L"x DovuVadedeZizaz y"));
    EXPECT_FALSE(RequestsGameCenterKeys(L"anzhuang"));
    EXPECT_FALSE(RequestsGameCenterKeys(L""));
}
