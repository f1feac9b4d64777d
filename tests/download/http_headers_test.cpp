#include "download/bind_status_callback.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kHeaders[] = L"HTTP/1.1 200 OK\r\n"
                           L"Server: test\r\n"
                           L"content-length:   4711  \r\n"
                           L"Content-Length-Extra: 5\r\n"
                           L"Content-Encoding: gzip\r\n"
                           L"\r\n";

TEST(BindStatusCallbackTest, FindsResponseHeadersWithoutRegardToCase) {
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

TEST(BindStatusCallbackTest, ContentLengthIsPlainDigitsOrNothing) {
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

// A server that redirects in a circle must not keep a transfer alive: a
// redirect is no sign of bytes arriving, and after ten the body is refused,
// which the worker turns into a failed download at once.
TEST(BindStatusCallbackTest, RedirectsAreNoProgressAndTenAreTheMost) {
    auto signals = std::make_shared<TransferSignals>();
    auto* callback = new CBindStatusCallback(signals, INVALID_HANDLE_VALUE, INT64_MAX, INT64_MAX);
    for (int i = 0; i < 10; ++i) {
        callback->OnProgress(0, 0, BINDSTATUS_REDIRECTING, L"http://127.0.0.1/loop");
    }
    EXPECT_FALSE(callback->Refused());
    EXPECT_EQ(signals->nActivity.load(), 0) << "a redirect fed the watchdog";
    callback->OnProgress(0, 0, BINDSTATUS_REDIRECTING, L"http://127.0.0.1/loop");
    EXPECT_TRUE(callback->Refused());
    callback->Release();
}
