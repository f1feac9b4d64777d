#include "app/command_line.h"

#include <gtest/gtest.h>

TEST(CommandLineTest, Placeholder) {
    CCommandLine options;
    options.Parse(L"-gameid:12");
    EXPECT_EQ(options.GetOptionInt(L"gameid"), 12);
}
