#include "digest/fetch_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(IsWebUrlTest, TakesHttpAndHttpsInAnyLetterCaseOnly) {
    for (const wchar_t* url : {L"http://h/a", L"HTTPS://h/a", L"Http://127.0.0.1:80/x"}) {
        EXPECT_TRUE(IsWebUrl(url)) << testing::PrintToString(std::wstring(url));
    }
    for (const wchar_t* url : {L"", L"file:///C:/a", L"\\\\h\\s\\a", L"ftp://h/a", L"http:/h", L"httpx://h",
                               L" http://h/a", L"res://x", L"C:\\a"}) {
        EXPECT_FALSE(IsWebUrl(url)) << testing::PrintToString(std::wstring(url));
    }
}

} // namespace
