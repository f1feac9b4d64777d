#include "download/http_headers.h"

#include <cwchar>

namespace {

// An entity tag longer than this is no validator worth keeping beside a
// partial file: real ones are a hash or two in quotes.
constexpr size_t kMostValidatorChars = 256;

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Reads plain decimal digits at text[pos], at least one, into value;
// false on none or on a value past 63 bits.
bool ReadNumber(const std::wstring& text, size_t& pos, int64_t& value) {
    const size_t start = pos;
    value = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
        const int digit = text[pos] - L'0';
        if (value > (INT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
        ++pos;
    }
    return pos > start;
}

std::wstring Trimmed(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        return std::wstring();
    }
    const size_t last = text.find_last_not_of(L" \t");
    return text.substr(first, last - first + 1);
}

int MonthOf(const wchar_t* name) {
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    for (int i = 0; i < 12; ++i) {
        if (wcsncmp(name, kMonths[i], 3) == 0) {
            return i + 1;
        }
    }
    return 0;
}

bool ToSeconds(int year, int month, int day, int hour, int minute, int second, int64_t& seconds) {
    if (year < 1601 || year > 30827 || month < 1 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    SYSTEMTIME time = {};
    time.wYear = static_cast<WORD>(year);
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    // A leap second names the second before the next minute.
    time.wSecond = static_cast<WORD>(second == 60 ? 59 : second);
    FILETIME file;
    if (!::SystemTimeToFileTime(&time, &file)) {
        return false; // the 31st of a month that has 30 days, say
    }
    const uint64_t ticks = static_cast<uint64_t>(file.dwHighDateTime) << 32 | file.dwLowDateTime;
    seconds = static_cast<int64_t>(ticks / 10000000);
    return true;
}

// "hh:mm:ss" at text[pos].
bool ReadClock(const std::wstring& text, size_t& pos, int& hour, int& minute, int& second) {
    if (pos + 8 > text.size() || text[pos + 2] != L':' || text[pos + 5] != L':') {
        return false;
    }
    for (size_t i : {0u, 1u, 3u, 4u, 6u, 7u}) {
        if (!IsDigit(text[pos + i])) {
            return false;
        }
    }
    hour = (text[pos] - L'0') * 10 + (text[pos + 1] - L'0');
    minute = (text[pos + 3] - L'0') * 10 + (text[pos + 4] - L'0');
    second = (text[pos + 6] - L'0') * 10 + (text[pos + 7] - L'0');
    pos += 8;
    return true;
}

bool Expect(const std::wstring& text, size_t& pos, const wchar_t* literal) {
    const size_t length = wcslen(literal);
    if (text.compare(pos, length, literal) != 0) {
        return false;
    }
    pos += length;
    return true;
}

bool ReadDigits(const std::wstring& text, size_t& pos, size_t count, int& value) {
    if (pos + count > text.size()) {
        return false;
    }
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (!IsDigit(text[pos + i])) {
            return false;
        }
        value = value * 10 + (text[pos + i] - L'0');
    }
    pos += count;
    return true;
}

bool IsStrongEntityTag(const std::wstring& tag) {
    if (tag.size() < 2 || tag.size() > kMostValidatorChars || tag.front() != L'"' || tag.back() != L'"') {
        return false;
    }
    for (size_t i = 1; i + 1 < tag.size(); ++i) {
        const wchar_t c = tag[i];
        // etagc: visible characters but the quote, and obs-text.
        if (c == L'"' || c <= 0x20 || c == 0x7F || c > 0xFF) {
            return false;
        }
    }
    return true;
}

} // namespace

std::wstring FindResponseHeader(LPCWSTR szHeaders, LPCWSTR szName) {
    if (szHeaders == nullptr || szName == nullptr) {
        return std::wstring();
    }
    const size_t nameLength = wcslen(szName);
    const wchar_t* line = szHeaders;
    while (*line != L'\0') {
        const wchar_t* end = line;
        while (*end != L'\0' && *end != L'\r' && *end != L'\n') {
            ++end;
        }
        if (static_cast<size_t>(end - line) > nameLength && line[nameLength] == L':' &&
            _wcsnicmp(line, szName, nameLength) == 0) {
            const wchar_t* value = line + nameLength + 1;
            while (value < end && (*value == L' ' || *value == L'\t')) {
                ++value;
            }
            const wchar_t* valueEnd = end;
            while (valueEnd > value && (valueEnd[-1] == L' ' || valueEnd[-1] == L'\t')) {
                --valueEnd;
            }
            return std::wstring(value, valueEnd);
        }
        line = end;
        while (*line == L'\r' || *line == L'\n') {
            ++line;
        }
    }
    return std::wstring();
}

int64_t ParseContentLength(const std::wstring& value) {
    size_t pos = 0;
    int64_t result = 0;
    if (!ReadNumber(value, pos, result) || pos != value.size()) {
        return -1;
    }
    return result;
}

bool ParseContentRange(const std::wstring& value, ContentRange& range) {
    range = ContentRange();
    size_t pos = 0;
    if (value.compare(0, 6, L"bytes ") != 0) {
        return false;
    }
    pos = 6;
    ContentRange read;
    if (pos < value.size() && value[pos] == L'*') {
        ++pos;
    } else if (!ReadNumber(value, pos, read.nFirst) || pos >= value.size() || value[pos++] != L'-' ||
               !ReadNumber(value, pos, read.nLast) || read.nLast < read.nFirst) {
        return false;
    }
    if (pos >= value.size() || value[pos++] != L'/' || !ReadNumber(value, pos, read.nTotal) || pos != value.size()) {
        return false;
    }
    if (read.nFirst >= 0 && read.nLast >= read.nTotal) {
        return false;
    }
    range = read;
    return true;
}

bool ParseHttpDate(const std::wstring& text, int64_t& seconds) {
    size_t pos = 0;
    int day = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int month = 0;
    const size_t comma = text.find(L',');
    if (comma == 3) {
        // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
        pos = 4;
        if (!Expect(text, pos, L" ") || !ReadDigits(text, pos, 2, day) || !Expect(text, pos, L" ") ||
            pos + 3 > text.size() || (month = MonthOf(text.c_str() + pos)) == 0) {
            return false;
        }
        pos += 3;
        if (!Expect(text, pos, L" ") || !ReadDigits(text, pos, 4, year) || !Expect(text, pos, L" ") ||
            !ReadClock(text, pos, hour, minute, second) || !Expect(text, pos, L" GMT") || pos != text.size()) {
            return false;
        }
    } else if (comma != std::wstring::npos && comma > 3) {
        // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"; a two-digit year within
        // fifty years of now, as HTTP asks, is too fine a point: 00-69 is the 2000s.
        pos = comma + 1;
        int shortYear = 0;
        if (!Expect(text, pos, L" ") || !ReadDigits(text, pos, 2, day) || !Expect(text, pos, L"-") ||
            pos + 3 > text.size() || (month = MonthOf(text.c_str() + pos)) == 0) {
            return false;
        }
        pos += 3;
        if (!Expect(text, pos, L"-") || !ReadDigits(text, pos, 2, shortYear) || !Expect(text, pos, L" ") ||
            !ReadClock(text, pos, hour, minute, second) || !Expect(text, pos, L" GMT") || pos != text.size()) {
            return false;
        }
        year = shortYear < 70 ? 2000 + shortYear : 1900 + shortYear;
    } else {
        // asctime: "Sun Nov  6 08:49:37 1994"
        if (text.size() != 24 || text[3] != L' ' || (month = MonthOf(text.c_str() + 4)) == 0 || text[7] != L' ') {
            return false;
        }
        pos = 8;
        if (text[pos] == L' ') {
            ++pos;
            if (!ReadDigits(text, pos, 1, day)) {
                return false;
            }
        } else if (!ReadDigits(text, pos, 2, day)) {
            return false;
        }
        if (!Expect(text, pos, L" ") || !ReadClock(text, pos, hour, minute, second) || !Expect(text, pos, L" ") ||
            !ReadDigits(text, pos, 4, year) || pos != text.size()) {
            return false;
        }
    }
    return ToSeconds(year, month, day, hour, minute, second, seconds);
}

int64_t ParseRetryAfter(const std::wstring& raw, int64_t nowSeconds) {
    const std::wstring value = Trimmed(raw);
    const int64_t delay = ParseContentLength(value);
    if (delay >= 0) {
        // Far past any wait the transfer would make: kept finite.
        return delay > INT64_MAX / 1000 ? INT64_MAX : delay * 1000;
    }
    int64_t at = 0;
    if (!ParseHttpDate(value, at)) {
        return -1;
    }
    return at <= nowSeconds ? 0 : (at - nowSeconds) * 1000;
}

std::wstring ResumeValidator(LPCWSTR szHeaders) {
    const std::wstring tag = FindResponseHeader(szHeaders, L"ETag");
    if (IsStrongEntityTag(tag)) {
        return tag;
    }
    // A weak tag says the body may differ byte for byte: the date, when
    // there is one, is then the only validator left.
    const std::wstring modified = FindResponseHeader(szHeaders, L"Last-Modified");
    int64_t seconds = 0;
    if (modified.size() <= kMostValidatorChars && ParseHttpDate(modified, seconds)) {
        return modified;
    }
    return std::wstring();
}
