// A test program that passes its one test, prints a perfect summary, and
// then, when RADEVARE_CRASH_ON_EXIT is set, crashes while the process ends.
// check_run_test.py runs it both ways through the judge.
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

struct CCrashOnExit {
    ~CCrashOnExit() {
        if (std::getenv("RADEVARE_CRASH_ON_EXIT") != nullptr) {
            volatile int* nowhere = nullptr;
            *nowhere = 1;
        }
    }
};

CCrashOnExit g_crashOnExit;

} // namespace

TEST(CrashAfterSummaryTest, Passes) {
    EXPECT_EQ(1 + 1, 2);
}
