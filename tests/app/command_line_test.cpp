#include "app/command_line.h"

#include "base/handle_wire.h"

#include <climits>

#include <gtest/gtest.h>

namespace {

CCommandLine Parsed(const std::wstring& text) {
    CCommandLine options;
    options.Parse(text);
    return options;
}

} // namespace

TEST(CommandLineTest, EmptyOrBlankTextGivesNoOptions) {
    for (const wchar_t* text : {L"", L" ", L"     "}) {
        CCommandLine options = Parsed(text);
        EXPECT_FALSE(options.HasOption(L"")) << "text: [" << testing::PrintToString(std::wstring(text)) << "]";
        EXPECT_EQ(options.GetOption(L"gameid"), L"");
        EXPECT_EQ(options.GetOptionInt(L"gameid"), 0);
    }
}

TEST(CommandLineTest, AllThreePrefixesGiveTheSameName) {
    for (const wchar_t* text :
         {L"-gameid:12", L"--gameid:12", L"/gameid:12", L"x -gameid:12", L"x --gameid:12", L"x /gameid:12"}) {
        CCommandLine options = Parsed(text);
        EXPECT_TRUE(options.HasOption(L"gameid")) << testing::PrintToString(std::wstring(text));
        EXPECT_EQ(options.GetOption(L"gameid"), L"12");
        EXPECT_EQ(options.GetOptionInt(L"gameid"), 12);
    }
}

TEST(CommandLineTest, NamesAreCaseSensitive) {
    CCommandLine options = Parsed(L"-GameId:12");
    EXPECT_FALSE(options.HasOption(L"gameid"));
    EXPECT_EQ(options.GetOption(L"GameId"), L"12");
}

TEST(CommandLineTest, ColonIsLookedForBeforeBlankAndEqualsSign) {
    CCommandLine options = Parsed(L"x -key=a:b");
    EXPECT_EQ(options.GetOption(L"key=a"), L"b");
    EXPECT_FALSE(options.HasOption(L"key"));

    // Without a colon the equals sign separates.
    EXPECT_EQ(Parsed(L"x -key=a").GetOption(L"key"), L"a");

    // A quoted token with a blank inside: the colon of the drive wins.
    CCommandLine quoted = Parsed(L"x \"-apppath D:\\x\"");
    EXPECT_EQ(quoted.GetOption(L"apppath D"), L"\\x");
    EXPECT_FALSE(quoted.HasOption(L"apppath"));

    // A quoted blank without any colon separates at the blank.
    EXPECT_EQ(Parsed(L"x \"-apppath games\"").GetOption(L"apppath"), L"games");
}

TEST(CommandLineTest, QuotedPathWithTrailingBackslashLosesTheEscapedQuote) {
    // "D:\games\" in quotes arrives as D:\games followed by a literal quote,
    // which is removed.
    CCommandLine options = Parsed(L"-gameid:1 -apppath:\"D:\\games\\\" -norun");
    EXPECT_EQ(options.GetOption(L"apppath"), L"D:\\games\" -norun");

    CCommandLine last = Parsed(L"-gameid:1 -apppath:\"D:\\games\\\"");
    EXPECT_EQ(last.GetOption(L"apppath"), L"D:\\games");

    // A doubled backslash is an escaped backslash: the quote then closes.
    CCommandLine doubled = Parsed(L"-gameid:1 -apppath:\"D:\\games\\\\\" -norun");
    EXPECT_EQ(doubled.GetOption(L"apppath"), L"D:\\games\\");
    EXPECT_TRUE(doubled.HasOption(L"norun"));
}

TEST(CommandLineTest, FirstTokenFollowsProgramNameRules) {
    // The first token ends at the first blank even inside quotes, and keeps
    // its quotes; only one trailing quote is removed from the value.
    CCommandLine options = Parsed(L"-a:\"x y\" -b");
    EXPECT_EQ(options.GetOption(L"a"), L"\"x");
    EXPECT_FALSE(options.HasOption(L"b")); // "y -b" has no prefix
}

TEST(CommandLineTest, FirstOccurrenceWins) {
    EXPECT_EQ(Parsed(L"-gameid:5 -gameid:7").GetOptionInt(L"gameid"), 5);
    EXPECT_EQ(Parsed(L"-gameid -gameid:7").GetOption(L"gameid"), L"");
}

TEST(CommandLineTest, OptionWithoutValueIsPresentAndReadsAsZero) {
    CCommandLine options = Parsed(L"-gameid -norun:0 -noprocess");
    EXPECT_TRUE(options.HasOption(L"gameid"));
    EXPECT_EQ(options.GetOptionInt(L"gameid"), 0);
    EXPECT_TRUE(options.HasOption(L"norun"));
    EXPECT_EQ(options.GetOption(L"norun"), L"0");
    EXPECT_TRUE(options.HasOption(L"noprocess"));
}

TEST(CommandLineTest, GetOptionIntReadsLeadingDigitsAndSaturates) {
    CCommandLine options = Parsed(L"-a:12abc -b:abc -c:-42 -d:+7 -e:99999999999 -f:-99999999999 -g:2147483647 "
                                  L"-h:-2147483648 -i:2147483648 -j:00012 -k:-");
    EXPECT_EQ(options.GetOptionInt(L"a"), 12);
    EXPECT_EQ(options.GetOptionInt(L"b"), 0);
    EXPECT_EQ(options.GetOptionInt(L"c"), -42);
    EXPECT_EQ(options.GetOptionInt(L"d"), 7);
    EXPECT_EQ(options.GetOptionInt(L"e"), INT_MAX);
    EXPECT_EQ(options.GetOptionInt(L"f"), INT_MIN);
    EXPECT_EQ(options.GetOptionInt(L"g"), INT_MAX);
    EXPECT_EQ(options.GetOptionInt(L"h"), INT_MIN);
    EXPECT_EQ(options.GetOptionInt(L"i"), INT_MAX);
    EXPECT_EQ(options.GetOptionInt(L"j"), 12);
    EXPECT_EQ(options.GetOptionInt(L"k"), 0);
    EXPECT_EQ(options.GetOptionInt(L"absent"), 0);
}

TEST(CommandLineTest, HugeDigitRunsSaturateWithoutOverflow) {
    EXPECT_EQ(Parsed(L"-a:" + std::wstring(5000, L'9')).GetOptionInt(L"a"), INT_MAX);
    EXPECT_EQ(Parsed(L"-a:-" + std::wstring(5000, L'9')).GetOptionInt(L"a"), INT_MIN);
}

TEST(CommandLineTest, TokensWithoutPrefixAreIgnored) {
    CCommandLine options = Parsed(L"x gameid:5 D:\\x -norun");
    EXPECT_FALSE(options.HasOption(L"gameid"));
    EXPECT_FALSE(options.HasOption(L"D"));
    EXPECT_TRUE(options.HasOption(L"norun"));
}

TEST(CommandLineTest, LoneDashesStoreTheEmptyName) {
    EXPECT_TRUE(Parsed(L"x -").HasOption(L""));
    EXPECT_TRUE(Parsed(L"x --").HasOption(L""));
    EXPECT_EQ(Parsed(L"x --").GetOption(L""), L"");
    EXPECT_EQ(Parsed(L"x -:v").GetOption(L""), L"v");
}

TEST(CommandLineTest, OnlyBlanksAreTrimmed) {
    CCommandLine options = Parsed(L"   -gameid:12   ");
    EXPECT_EQ(options.GetOptionInt(L"gameid"), 12);
    // A tab is a separator for the splitter but not trimmed from a value.
    EXPECT_EQ(Parsed(L"x \"-a:v\t\"").GetOption(L"a"), L"v\t");
}

TEST(CommandLineTest, BlankInOwnDelayCommandLineCutsTheValue) {
    // The command line the program builds for a background instance.
    CCommandLine options = Parsed(L" -norun -noprocess -downtype:http://h/a b.pak -apppath:\\data\\a b.pak");
    EXPECT_EQ(options.GetOption(L"downtype"), L"http://h/a");
    EXPECT_EQ(options.GetOption(L"apppath"), L"\\data\\a");
    EXPECT_TRUE(options.HasOption(L"norun"));
    EXPECT_TRUE(options.HasOption(L"noprocess"));
}

TEST(CommandLineTest, UrlValuesKeepTheirColons) {
    CCommandLine options = Parsed(L"-openurl:http://127.0.0.1:8765/FileList.xml -apppath:C:\\Games\\x -biw:1234");
    EXPECT_EQ(options.GetOption(L"openurl"), L"http://127.0.0.1:8765/FileList.xml");
    EXPECT_EQ(options.GetOption(L"apppath"), L"C:\\Games\\x");
    EXPECT_EQ(options.GetOptionInt(L"biw"), 1234);
}

// The host prints its window as HandleToDecimal does; the option must give
// back the very same handle, negative values included.
TEST(CommandLineTest, HostWindowSurvivesTheBiwOption) {
    for (uint32_t wire : {0x10064u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu}) {
        const HWND hWnd = base::WindowFromWire(wire);
        CCommandLine options = Parsed(L"-openurl:http://a/b -biw:" + base::HandleToDecimal(hWnd) + L" -gameid:3");
        EXPECT_EQ(base::WindowFromDecimalOption(options.GetOptionInt(L"biw")), hWnd) << wire;
    }
}
