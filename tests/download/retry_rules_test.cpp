#include "download/retry_rules.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(RetryRulesTest, OnlyTheLinksAndTheServersPassingTroublesAreTriedAgain) {
    struct Row {
        TransferFailure failure;
        bool transient;
    };
    const Row rows[] = {
        {FAILURE_CONNECT, true},   {FAILURE_RESET, true},    {FAILURE_CUT, true},          {FAILURE_STALLED, true},
        {FAILURE_TOO_SLOW, true},  {FAILURE_NONE, false},    {FAILURE_CERTIFICATE, false}, {FAILURE_REDIRECTS, false},
        {FAILURE_SIZE, false},     {FAILURE_DISK, false},    {FAILURE_DIGEST, false},      {FAILURE_UNSAFE_URL, false},
        {FAILURE_PROTOCOL, false}, {FAILURE_STOPPED, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsTransientFailure(row.failure, 503), row.transient) << "failure " << row.failure;
    }
    for (DWORD status : {408u, 429u, 500u, 502u, 503u, 504u}) {
        EXPECT_TRUE(IsTransientFailure(FAILURE_STATUS, status)) << status;
    }
    for (DWORD status : {0u, 200u, 304u, 400u, 401u, 403u, 404u, 410u, 416u, 501u, 505u, 599u}) {
        EXPECT_FALSE(IsTransientFailure(FAILURE_STATUS, status)) << status;
    }
}

RetryRules WithoutJitter() {
    RetryRules rules;
    rules.nJitterPercent = 0;
    return rules;
}

// The waits a schedule gives for failures in a row, until it says stop.
std::vector<DWORD> Waits(CRetrySchedule& schedule, int64_t retryAfterMs = -1, int most = 100) {
    std::vector<DWORD> waits;
    DWORD wait = 0;
    while (static_cast<int>(waits.size()) < most && schedule.NextWait(FAILURE_RESET, 0, retryAfterMs, false, wait)) {
        waits.push_back(wait);
    }
    return waits;
}

TEST(RetryRulesTest, WaitsDoubleFromOneSecondForFiveAttempts) {
    CRetrySchedule schedule(WithoutJitter(), 1);
    EXPECT_EQ(Waits(schedule), (std::vector<DWORD>{1000, 2000, 4000, 8000}));
    EXPECT_EQ(schedule.Attempts(), 5);
    EXPECT_EQ(schedule.WaitedMs(), 15000u);

    // A permanent failure ends at once, whatever came before.
    CRetrySchedule permanent(WithoutJitter(), 1);
    DWORD wait = 7;
    EXPECT_FALSE(permanent.NextWait(FAILURE_STATUS, 404, 1000, false, wait));
    EXPECT_EQ(wait, 0u);
    EXPECT_FALSE(permanent.NextWait(FAILURE_CERTIFICATE, 0, -1, false, wait));
}

TEST(RetryRulesTest, JitterMovesEachWaitWithinItsShareAndNoWaitPassesTheLongest) {
    RetryRules rules;
    rules.nMostAttempts = 8;
    rules.dwMostWaitingMs = 1000000;
    std::vector<std::vector<DWORD>> sequences;
    for (uint32_t seed = 1; seed <= 50; ++seed) {
        CRetrySchedule schedule(rules, seed);
        const std::vector<DWORD> waits = Waits(schedule);
        ASSERT_EQ(waits.size(), 7u);
        DWORD base = 1000;
        for (DWORD wait : waits) {
            EXPECT_GE(wait, base - base / 5) << "seed " << seed;
            EXPECT_LE(wait, base + base / 5 < 30000 ? base + base / 5 : 30000) << "seed " << seed;
            base = base * 2 < 30000 ? base * 2 : 30000;
        }
        sequences.push_back(waits);
    }
    // Clients that failed together do not all come back together.
    int differing = 0;
    for (size_t i = 1; i < sequences.size(); ++i) {
        differing += sequences[i] != sequences[0] ? 1 : 0;
    }
    EXPECT_GE(differing, 40);
}

TEST(RetryRulesTest, RetryAfterIsTheWaitWithinTheLongestOneAndTheWholeWaitingIsBounded) {
    CRetrySchedule asked(RetryRules(), 1);
    EXPECT_EQ(Waits(asked, 2000), (std::vector<DWORD>{2000, 2000, 2000, 2000}));
    CRetrySchedule now(RetryRules(), 1);
    EXPECT_EQ(Waits(now, 0), (std::vector<DWORD>{0, 0, 0, 0}));

    // An hour is asked for: 30 s each, and no more than two minutes in all.
    RetryRules many;
    many.nMostAttempts = 100;
    CRetrySchedule capped(many, 1);
    EXPECT_EQ(Waits(capped, 3600 * 1000), (std::vector<DWORD>{30000, 30000, 30000, 30000}));
    EXPECT_EQ(capped.WaitedMs(), 120000u);
}

TEST(RetryRulesTest, AnAttemptThatMadeProgressStartsANewSeriesButNotANewAllowanceOfWaiting) {
    RetryRules rules = WithoutJitter();
    CRetrySchedule schedule(rules, 1);
    DWORD wait = 0;
    ASSERT_TRUE(schedule.NextWait(FAILURE_CUT, 0, -1, false, wait));
    ASSERT_TRUE(schedule.NextWait(FAILURE_CUT, 0, -1, false, wait));
    ASSERT_TRUE(schedule.NextWait(FAILURE_CUT, 0, -1, false, wait));
    EXPECT_EQ(wait, 4000u);
    // Progress: back to the first wait, and four more attempts.
    ASSERT_TRUE(schedule.NextWait(FAILURE_CUT, 0, -1, true, wait));
    EXPECT_EQ(wait, 1000u);
    EXPECT_EQ(schedule.Attempts(), 1);
    EXPECT_EQ(Waits(schedule), (std::vector<DWORD>{2000, 4000, 8000}));

    // Progress on every attempt still ends once the waiting is used up.
    rules.dwMostWaitingMs = 3500;
    CRetrySchedule progressing(rules, 1);
    int attempts = 0;
    while (progressing.NextWait(FAILURE_CUT, 0, -1, true, wait)) {
        ASSERT_EQ(wait, 1000u);
        ASSERT_LT(++attempts, 100);
    }
    EXPECT_EQ(attempts, 3);
}

} // namespace
