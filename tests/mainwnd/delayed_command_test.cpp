#include "mainwnd/delayed_command.h"

#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

// What the new instance reads: its entry point receives the parameters
// without their leading blank.
CCommandLine AsChildSeesIt(const std::wstring& parameters) {
    CCommandLine options;
    options.Parse(parameters.substr(parameters.find_first_not_of(L' ')));
    return options;
}

} // namespace

TEST(DelayedCommandTest, PlainValuesKeepTheFixedFormat) {
    EXPECT_EQ(BuildDelayedDownloadParameters(L"http://h:8/a/b.pak", L"\\data\\b.pak"),
              L" -norun -noprocess -downtype:http://h:8/a/b.pak -apppath:\\data\\b.pak");
    // A trailing backslash without blanks needs no quotes either.
    EXPECT_EQ(QuoteArgumentValue(L"\\data\\"), L"\\data\\");
}

TEST(DelayedCommandTest, ValuesWithBlanksReachTheNewInstanceWhole) {
    struct Case {
        const wchar_t* url;
        const wchar_t* filePath;
    } cases[] = {
        {L"http://h/a b.pak", L"\\data\\a b.pak"},
        {L"http://h/x.pak", L"\\My Games\\"},
        {L"http://h/x.pak", L"\\My Games\\\\"},
        {L"http://h/x.pak", L"\\tab\there"},
        {L"http://h/x.pak", L"\\Program Files\\Game One\\run me.exe"},
        {L"http://h/x.pak", L"\\a\\\\b c\\"},
    };
    for (const Case& c : cases) {
        const std::wstring parameters = BuildDelayedDownloadParameters(c.url, c.filePath);
        CCommandLine options = AsChildSeesIt(parameters);
        EXPECT_EQ(options.GetOption(L"downtype"), c.url) << testing::PrintToString(parameters);
        EXPECT_EQ(options.GetOption(L"apppath"), c.filePath) << testing::PrintToString(parameters);
        EXPECT_TRUE(options.HasOption(L"norun"));
        EXPECT_TRUE(options.HasOption(L"noprocess"));
    }
}

TEST(DelayedCommandTest, EmbeddedQuotesAreEscaped) {
    EXPECT_EQ(QuoteArgumentValue(L"a\"b"), L"\"a\\\"b\"");
    EXPECT_EQ(QuoteArgumentValue(L"a\\\"b c"), L"\"a\\\\\\\"b c\"");
    CCommandLine options = AsChildSeesIt(BuildDelayedDownloadParameters(L"http://h/x.pak", L"\\a\"b c\\d"));
    EXPECT_EQ(options.GetOption(L"apppath"), L"\\a\"b c\\d");
}

TEST(DelayedCommandTest, EmptyValuesStayEmpty) {
    EXPECT_EQ(QuoteArgumentValue(L""), L"");
    CCommandLine options = AsChildSeesIt(BuildDelayedDownloadParameters(L"", L""));
    EXPECT_TRUE(options.HasOption(L"downtype"));
    EXPECT_EQ(options.GetOption(L"downtype"), L"");
    EXPECT_EQ(options.GetOption(L"apppath"), L"");
}
