#include "ipc/data_types.h"

#include "ipc/ipc_messages.h"
#include "ipc/paras_helper.h"

#include <gtest/gtest.h>

#include <climits>

TEST(LongValueTest, ToStringIsPlainSignedDecimal) {
    C_int value;
    const struct {
        long value;
        const wchar_t* text;
    } cases[] = {{0, L"0"}, {56, L"56"}, {-1, L"-1"}, {LONG_MAX, L"2147483647"}, {LONG_MIN, L"-2147483648"}};
    for (const auto& c : cases) {
        value.m_value = c.value;
        EXPECT_EQ(value.ToString(), c.text) << c.value;
    }
    value.m_value = LONG_MIN;
    EXPECT_EQ(value.ToString().size(), 11u);
}

TEST(LongValueTest, DwordConvertsAsSigned) {
    C_DWORD value;
    value.m_value = static_cast<long>(0xFFFFFFFFu);
    EXPECT_EQ(value.ToString(), L"-1");
    value.FromString(L"4294967295");
    // Read as a signed long, an unsigned figure over the limit saturates.
    EXPECT_EQ(value.m_value, LONG_MAX);
}

TEST(LongValueTest, FromStringReadsLikeWcstol) {
    C_int value;
    const struct {
        const wchar_t* text;
        long value;
    } cases[] = {{L"1234", 1234},
                 {L"  -17", -17},
                 {L"+5", 5},
                 {L"42abc", 42},
                 {L"abc", 0},
                 {L"", 0},
                 {L"0x10", 0},
                 {L"-2147483648", LONG_MIN},
                 {L"99999999999", LONG_MAX},
                 {L"-99999999999", LONG_MIN}};
    for (const auto& c : cases) {
        value.m_value = 7;
        value.FromString(c.text);
        EXPECT_EQ(value.m_value, c.value) << c.text;
    }
}

TEST(DownProcessMessageTest, ToParasNamesTheMessageAndOrdersItsFields) {
    IPC_MainProcess_OnDownProcess report;
    report.m_gameId.m_value = 1234;
    report.m_progress.m_value = -1;
    const std::unique_ptr<CParasHelper> paras = report.ToParas();
    ASSERT_NE(paras, nullptr);
    EXPECT_EQ(paras->m_strName, L"IPC_MainProcess_OnDownProcess");
    EXPECT_EQ(std::wstring(IPC_MainProcess_OnDownProcess::GetMsgName()).size(), 29u);
    EXPECT_EQ(paras->m_nId, 0);
    EXPECT_EQ(paras->m_vecParams, (std::vector<std::wstring>{L"1234", L"-1"}));
}
