#include "download/http_headers.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kHeaders[] = L"HTTP/1.1 200 OK\r\n"
                           L"Server: test\r\n"
                           L"content-length:   4711  \r\n"
                           L"Content-Length-Extra: 5\r\n"
                           L"Content-Encoding: gzip\r\n"
                           L"\r\n";

TEST(HttpHeadersTest, FindsResponseHeadersWithoutRegardToCase) {
    EXPECT_EQ(FindResponseHeader(kHeaders, L"Content-Length"), L"4711");
    EXPECT_EQ(FindResponseHeader(kHeaders, L"CONTENT-ENCODING"), L"gzip");
    EXPECT_EQ(FindResponseHeader(kHeaders, L"Content-Type"), L"");
    // The status line and a longer header name are no match.
    EXPECT_EQ(FindResponseHeader(kHeaders, L"HTTP/1.1 200 OK"), L"");
    EXPECT_EQ(FindResponseHeader(L"Content-Length: 5", L"Content-Length"), L"5");
    EXPECT_EQ(FindResponseHeader(L"Content-Length:", L"Content-Length"), L"");
    EXPECT_EQ(FindResponseHeader(nullptr, L"Content-Length"), L"");
    EXPECT_EQ(FindResponseHeader(L"", L"Content-Length"), L"");
}

TEST(HttpHeadersTest, ContentLengthIsPlainDigitsOrNothing) {
    EXPECT_EQ(ParseContentLength(L"0"), 0);
    EXPECT_EQ(ParseContentLength(L"4711"), 4711);
    EXPECT_EQ(ParseContentLength(L"5000000000"), 5000000000LL); // more than 32 bits
    EXPECT_EQ(ParseContentLength(L"9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseContentLength(L"9223372036854775808"), -1); // overflow
    EXPECT_EQ(ParseContentLength(L"99999999999999999999999"), -1);
    EXPECT_EQ(ParseContentLength(L""), -1);
    EXPECT_EQ(ParseContentLength(L"-5"), -1);
    EXPECT_EQ(ParseContentLength(L"12abc"), -1);
    EXPECT_EQ(ParseContentLength(L"1 2"), -1);
    EXPECT_EQ(ParseContentLength(L"+3"), -1);
}

} // namespace

namespace {

TEST(HttpHeadersTest, ContentRangeIsAPartWithinItsTotalOrARefusalThatNamesTheTotal) {
    ContentRange range;
    ASSERT_TRUE(ParseContentRange(L"bytes 100-199/1000", range));
    EXPECT_EQ(range.nFirst, 100);
    EXPECT_EQ(range.nLast, 199);
    EXPECT_EQ(range.nTotal, 1000);
    ASSERT_TRUE(ParseContentRange(L"bytes 0-5000000000/6000000000", range));
    EXPECT_EQ(range.nLast, 5000000000LL);
    ASSERT_TRUE(ParseContentRange(L"bytes */4711", range));
    EXPECT_EQ(range.nFirst, -1);
    EXPECT_EQ(range.nLast, -1);
    EXPECT_EQ(range.nTotal, 4711);
    // Every other form tells the transfer nothing it can join bytes by.
    for (const wchar_t* bad : {L"", L"bytes 100-199/*", L"bytes 200-100/1000", L"bytes 0-1000/1000",
                               L"bytes 0-99/1000 ", L"items 0-99/1000", L"bytes=0-99/1000", L"bytes -5-99/1000",
                               L"bytes 0-99", L"bytes */", L"bytes 1-2/3/4", L"bytes 0-99999999999999999999/1"}) {
        EXPECT_FALSE(ParseContentRange(bad, range)) << testing::PrintToString(std::wstring(bad));
        EXPECT_EQ(range.nTotal, -1);
    }
}

TEST(HttpHeadersTest, HttpDatesInTheirThreeFormsAreOneMoment) {
    int64_t fixdate = 0;
    int64_t rfc850 = 0;
    int64_t asctime = 0;
    ASSERT_TRUE(ParseHttpDate(L"Sun, 06 Nov 1994 08:49:37 GMT", fixdate));
    ASSERT_TRUE(ParseHttpDate(L"Sunday, 06-Nov-94 08:49:37 GMT", rfc850));
    ASSERT_TRUE(ParseHttpDate(L"Sun Nov  6 08:49:37 1994", asctime));
    EXPECT_EQ(fixdate, rfc850);
    EXPECT_EQ(fixdate, asctime);
    int64_t later = 0;
    ASSERT_TRUE(ParseHttpDate(L"Sun, 06 Nov 1994 08:50:38 GMT", later));
    EXPECT_EQ(later - fixdate, 61);
    // 1601-01-01 is the epoch of the seconds.
    int64_t epoch = -1;
    ASSERT_TRUE(ParseHttpDate(L"Mon, 01 Jan 1601 00:00:00 GMT", epoch));
    EXPECT_EQ(epoch, 0);
    for (const wchar_t* bad : {L"", L"yesterday", L"Sun, 06 Nov 1994 08:49:37", L"Sun, 31 Nov 1994 08:49:37 GMT",
                               L"Sun, 06 Nov 1994 24:00:00 GMT", L"Sun, 06 Xyz 1994 08:49:37 GMT",
                               L"Sun, 6 Nov 1994 08:49:37 GMT", L"Sun Nov 6 08:49:37 1994"}) {
        int64_t seconds = 0;
        EXPECT_FALSE(ParseHttpDate(bad, seconds)) << testing::PrintToString(std::wstring(bad));
    }
}

TEST(HttpHeadersTest, RetryAfterIsSecondsOrADateFromNow) {
    int64_t now = 0;
    ASSERT_TRUE(ParseHttpDate(L"Thu, 10 Dec 2026 12:00:00 GMT", now));
    EXPECT_EQ(ParseRetryAfter(L"2", now), 2000);
    EXPECT_EQ(ParseRetryAfter(L" 120 ", now), 120000);
    EXPECT_EQ(ParseRetryAfter(L"0", now), 0);
    EXPECT_EQ(ParseRetryAfter(L"Thu, 10 Dec 2026 12:00:05 GMT", now), 5000);
    EXPECT_EQ(ParseRetryAfter(L"Thu, 10 Dec 2026 11:00:00 GMT", now), 0) << "a moment already past";
    EXPECT_EQ(ParseRetryAfter(L"99999999999999999", now), INT64_MAX) << "kept finite";
    for (const wchar_t* bad : {L"", L"-1", L"1.5", L"soon", L"2 s"}) {
        EXPECT_EQ(ParseRetryAfter(bad, now), -1) << testing::PrintToString(std::wstring(bad));
    }
}

TEST(HttpHeadersTest, AResumeValidatorIsAStrongTagOrElseAValidDate) {
    EXPECT_EQ(ResumeValidator(L"HTTP/1.1 200 OK\r\nETag: \"5f3a-1b\"\r\nLast-Modified: Sun, 06 Nov 1994 "
                              L"08:49:37 GMT\r\n\r\n"),
              L"\"5f3a-1b\"");
    // A weak tag may not stand in an If-Range: the date does.
    EXPECT_EQ(ResumeValidator(L"HTTP/1.1 200 OK\r\nETag: W/\"5f3a\"\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 "
                              L"GMT\r\n\r\n"),
              L"Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(ResumeValidator(L"HTTP/1.1 200 OK\r\nLast-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n"),
              L"Sun, 06 Nov 1994 08:49:37 GMT");
    // Neither: nothing to resume by. A tag without quotes, or with a quote
    // or a blank inside, is no entity tag.
    for (const wchar_t* headers :
         {L"HTTP/1.1 200 OK\r\n\r\n", L"HTTP/1.1 200 OK\r\nETag: W/\"x\"\r\n\r\n", L"HTTP/1.1 200 OK\r\nETag: abc\r\n",
          L"HTTP/1.1 200 OK\r\nETag: \"a\"b\"\r\n", L"HTTP/1.1 200 OK\r\nETag: \"a b\"\r\n",
          L"HTTP/1.1 200 OK\r\nLast-Modified: last week\r\n"}) {
        EXPECT_EQ(ResumeValidator(headers), L"") << testing::PrintToString(std::wstring(headers));
    }
    EXPECT_EQ(ResumeValidator((L"HTTP/1.1 200 OK\r\nETag: \"" + std::wstring(300, L'x') + L"\"\r\n").c_str()), L"")
        << "a tag too long to keep beside a file";
}

} // namespace
