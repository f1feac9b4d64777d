#pragma once

#include <cstdint>
#include <string>

#include <windows.h>

// Readers of the response headers a transfer acts on. Every value comes from
// a server and is read strictly: anything that is not exactly the form the
// transfer relies on counts as missing. Any thread.

// The value of one header ("Content-Length") from raw response headers
// (lines separated by CR LF, the status line first); empty when the header is
// missing. The name is matched without regard to case; blanks around the
// value are dropped.
std::wstring FindResponseHeader(LPCWSTR szHeaders, LPCWSTR szName);

// A Content-Length value as a number: -1 unless it is plain decimal digits
// that fit 63 bits.
int64_t ParseContentLength(const std::wstring& value);

// A Content-Range value: "bytes FIRST-LAST/TOTAL" of a partial answer, or
// "bytes */TOTAL" of a refused range. -1 in the fields it does not give.
struct ContentRange {
    int64_t nFirst = -1;
    int64_t nLast = -1;
    int64_t nTotal = -1;
};
// False unless the value is one of the two forms with a known total, and a
// range lies within that total (FIRST <= LAST < TOTAL).
bool ParseContentRange(const std::wstring& value, ContentRange& range);

// An HTTP date in any of the three forms servers send (IMF-fixdate such as
// "Sun, 06 Nov 1994 08:49:37 GMT", the old RFC 850 form and the C library's
// asctime form) as seconds since 1601, the FILETIME epoch; false otherwise.
bool ParseHttpDate(const std::wstring& value, int64_t& seconds);

// How long a Retry-After value asks the client to wait, in milliseconds:
// delay-seconds, or an HTTP date counted from nowSeconds (seconds since
// 1601); a date already past asks for 0. -1 when the value is neither.
int64_t ParseRetryAfter(const std::wstring& value, int64_t nowSeconds);

// The validator an If-Range may carry for a body: its entity tag when that
// is strong ("W/" marks a weak one, which If-Range must not use), otherwise
// its Last-Modified date when there is a valid one; empty when the body has
// neither and cannot be resumed.
std::wstring ResumeValidator(LPCWSTR szHeaders);
