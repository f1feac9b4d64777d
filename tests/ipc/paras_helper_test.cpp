#include "ipc/paras_helper.h"

#include "guarded_buffer.h"
#include "ipc/ipc_messages.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// The progress report of game 1234 at 56 percent, as it goes on the wire.
const wchar_t kProgressReport[] = L"000033"
                                  L"1D"
                                  L"IPC_MainProcess_OnDownProcess"
                                  L"00"
                                  L"000004"
                                  L"1234"
                                  L"000002"
                                  L"56";

// A failure report of a run without a game id.
const wchar_t kFailureReport[] = L"000031"
                                 L"1D"
                                 L"IPC_MainProcess_OnDownProcess"
                                 L"00"
                                 L"000002"
                                 L"-1"
                                 L"000002"
                                 L"-1";

std::wstring Report(long gameId, long progress) {
    IPC_MainProcess_OnDownProcess report;
    report.m_gameId.m_value = gameId;
    report.m_progress.m_value = progress;
    return report.ToParas()->Pack();
}

void ExpectSameMessage(const CParasHelper& actual, const CParasHelper& expected) {
    EXPECT_EQ(actual.m_strName, expected.m_strName);
    EXPECT_EQ(actual.m_nId, expected.m_nId);
    EXPECT_EQ(actual.m_vecParams, expected.m_vecParams);
}

} // namespace

TEST(ParasHelperPackTest, ReportsPackIntoTheGoldenTexts) {
    EXPECT_EQ(Report(1234, 56), kProgressReport);
    EXPECT_EQ(Report(1234, 56).size(), 57u);
    EXPECT_EQ(Report(-1, -1), kFailureReport);
    EXPECT_EQ(Report(-1, -1).size(), 55u);

    const CParasHelper unpacked(kProgressReport);
    EXPECT_EQ(unpacked.m_strName, L"IPC_MainProcess_OnDownProcess");
    EXPECT_EQ(unpacked.m_nId, 0);
    EXPECT_EQ(unpacked.m_vecParams, (std::vector<std::wstring>{L"1234", L"56"}));
}

TEST(ParasHelperPackTest, NoParametersAndNoIdGiveTotalNamePlusFour) {
    const CParasHelper ping(L"Ping", 0, PARAS_END);
    EXPECT_EQ(ping.Pack(), L"000008"
                           L"04Ping00");
    const CParasHelper nameless(nullptr, 0, PARAS_END);
    EXPECT_EQ(nameless.Pack(), L"0000040000");
}

TEST(ParasHelperPackTest, EmptyAndNullParametersSurvive) {
    const CParasHelper message(L"E", 0, L"", L"x", nullptr, PARAS_END);
    const std::wstring text = message.Pack();
    EXPECT_EQ(text, L"000018"
                    L"01E00"
                    L"000000"
                    L"000001x"
                    L"000000");
    EXPECT_EQ(CParasHelper(text.c_str()).m_vecParams, (std::vector<std::wstring>{L"", L"x", L""}));
}

TEST(ParasHelperPackTest, IdIsEightDigitsThenEightZeros) {
    const CParasHelper message(L"M", 0x12345, PARAS_END);
    EXPECT_EQ(message.Pack(), L"000015"
                              L"01M"
                              L"10"
                              L"00012345"
                              L"00000000");
    EXPECT_EQ(CParasHelper(message.Pack().c_str()).m_nId, 0x12345);
    // Written the other way round, the zeros first, it reads the same.
    EXPECT_EQ(CParasHelper(L"00001501M10"
                           L"00000000"
                           L"00012345")
                  .m_nId,
              0x12345);
    // The halves add up modulo 2^32.
    EXPECT_EQ(CParasHelper(L"00001501M10"
                           L"FFFFFFFF"
                           L"00000002")
                  .m_nId,
              1);
    const CParasHelper negative(L"M", -1, PARAS_END);
    EXPECT_EQ(negative.Pack(), L"00001501M10FFFFFFFF00000000");
    EXPECT_EQ(CParasHelper(negative.Pack().c_str()).m_nId, -1);
}

TEST(ParasHelperPackTest, RefusesFieldsThatDoNotFit) {
    EXPECT_EQ(CParasHelper(std::wstring(255, L'n').c_str(), 0, PARAS_END).Pack().size(), 6u + 2 + 255 + 2);
    EXPECT_EQ(CParasHelper(std::wstring(256, L'n').c_str(), 0, PARAS_END).Pack(), L"");

    // Total exactly 0xFFFFFF: empty name, no id, one parameter.
    CParasHelper largest(L"", 0, PARAS_END);
    largest.m_vecParams.push_back(std::wstring(CParasHelper::kMaxTotal - 10, L'p'));
    const std::wstring text = largest.Pack();
    ASSERT_EQ(text.size(), 6u + CParasHelper::kMaxTotal);
    EXPECT_EQ(text.substr(0, 6), L"FFFFFF");
    EXPECT_EQ(CParasHelper(text.data(), text.size()).m_vecParams, largest.m_vecParams);

    largest.m_vecParams[0] += L'p';
    EXPECT_EQ(largest.Pack(), L"");
    largest.m_vecParams[0].assign(CParasHelper::kMaxParam + 1, L'p');
    EXPECT_EQ(largest.Pack(), L"");
}

TEST(ParasHelperUnpackTest, MalformedTextsGiveAnEmptyMessage) {
    const wchar_t* const cases[] = {
        L"",
        L"00003",                                   // total cut short
        L"00003a1DIPC_MainProcess_OnDownProcess00", // lower-case digit
        L"0000G800",                                // not a digit at all
        L"00000A04Ping00",                          // total runs past the end
        L"00000504Ping00",                          // name runs past the total
        L"00000704Ping00",                          // marker cut by the total
        L"00000804PingX0",                          // marker not a digit
        L"00001004Ping1000000001",                  // id cut short
        L"00001404Ping100000000100000000",          // id past the total
        L"00001804Ping10000000010000000a",          // lower-case id digit
        L"00000F04Ping00000005ab",                  // parameter runs past the total
        L"00000C04Ping000000",                      // parameter length cut short
        L"00000E04Ping0000000a",                    // lower-case parameter length
    };
    for (const wchar_t* text : cases) {
        const CParasHelper message(text);
        EXPECT_TRUE(message.IsEmpty()) << testing::PrintToString(std::wstring(text));
    }
    EXPECT_TRUE(CParasHelper(static_cast<const wchar_t*>(nullptr)).IsEmpty());
    EXPECT_TRUE(CParasHelper(nullptr, size_t{12}).IsEmpty());
}

TEST(ParasHelperUnpackTest, ReadsOnlyWhatTheTotalCounts) {
    // Whatever follows the counted characters (in a block: the U+0000) is not
    // part of the message.
    const std::wstring text = std::wstring(kProgressReport) + L"000003abc";
    ExpectSameMessage(CParasHelper(text.c_str()), CParasHelper(kProgressReport));
    // Exactly the given length is read, zero or not.
    EXPECT_TRUE(CParasHelper(kProgressReport, size_t{56}).IsEmpty());
    EXPECT_EQ(CParasHelper(kProgressReport, size_t{57}).m_vecParams.size(), 2u);
}

namespace {

std::wstring RandomText(std::mt19937& rng, size_t maxLength) {
    static const wchar_t kAlphabet[] = L"09AFaf,:-\t \\\x00E9\x4E0B\xD800\xFFFF";
    std::uniform_int_distribution<size_t> length(0, maxLength);
    std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) / sizeof(kAlphabet[0]) - 1);
    std::wstring text(length(rng), L'x');
    for (wchar_t& c : text) {
        c = kAlphabet[pick(rng)]; // may pick the alphabet's U+0000 too
    }
    return text;
}

CParasHelper RandomMessage(std::mt19937& rng) {
    CParasHelper message(nullptr, 0, PARAS_END);
    message.m_strName = RandomText(rng, 40);
    message.m_nId = rng() % 2 == 0 ? 0 : static_cast<int>(rng());
    const size_t params = rng() % 6;
    for (size_t i = 0; i < params; ++i) {
        message.m_vecParams.push_back(RandomText(rng, 30));
    }
    return message;
}

// Changes a packed text the way a faulty or hostile peer might: characters
// swapped for digits of the wrong case, foreign letters or zeros; characters
// dropped or added; the text cut short.
int Mutate(std::wstring& text, std::mt19937& rng) {
    static const wchar_t kNoise[] = L"0123456789ABCDEFabcdefG-\x00FF\xFFFF";
    const int mutations = static_cast<int>(rng() % 4);
    for (int i = 0; i < mutations && !text.empty(); ++i) {
        const size_t at = rng() % text.size();
        switch (rng() % 4) {
        case 0:
            text[at] = kNoise[rng() % (sizeof(kNoise) / sizeof(kNoise[0]))];
            break;
        case 1:
            text.erase(at, 1 + rng() % 3);
            break;
        case 2:
            text.insert(at, 1, kNoise[rng() % (sizeof(kNoise) / sizeof(kNoise[0]) - 1)]);
            break;
        default:
            text.resize(at);
            break;
        }
    }
    return mutations;
}

} // namespace

TEST(ParasHelperUnpackTest, MutatedTextsNeverCrashOrReadPastTheirEnd) {
    constexpr int kCases = 20000;
    CGuardedBuffer buffer(64 * 1024);
    ASSERT_TRUE(buffer.IsValid());
    std::mt19937 rng(20240605);
    int accepted = 0;
    int refused = 0;
    for (int i = 0; i < kCases; ++i) {
        const CParasHelper original = RandomMessage(rng);
        std::wstring text = original.Pack();
        ASSERT_FALSE(text.empty());
        const int mutations = Mutate(text, rng);

        // The text ends where the guard page begins: one character too many
        // read is an access violation.
        const auto* placed = static_cast<const wchar_t*>(buffer.Place(text.data(), text.size() * sizeof(wchar_t)));
        const CParasHelper parsed(placed, text.size());
        if (mutations == 0) {
            ExpectSameMessage(parsed, original);
        }
        if (parsed.IsEmpty()) {
            ++refused;
        } else {
            ++accepted;
            // Whatever is accepted is a message that packs and reads back alike.
            const std::wstring repacked = parsed.Pack();
            ExpectSameMessage(CParasHelper(repacked.data(), repacked.size()), parsed);
        }

        // The zero-terminated form, its U+0000 the last character before the guard.
        const std::wstring terminated = text + L'\0';
        const auto* placedTerminated =
            static_cast<const wchar_t*>(buffer.Place(terminated.c_str(), terminated.size() * sizeof(wchar_t)));
        const CParasHelper fromTerminated(placedTerminated);
        if (text.find(L'\0') == std::wstring::npos) {
            ExpectSameMessage(fromTerminated, parsed);
        }
    }
    // Both outcomes must have been reached, or the mutations prove nothing.
    EXPECT_GT(accepted, kCases / 4);
    EXPECT_GT(refused, kCases / 10);
    std::printf("mutated texts: %d accepted, %d refused\n", accepted, refused);
}
