#include "ipc/paras_helper.h"

#include <cstdarg>
#include <cwchar>
#include <new>

namespace {

constexpr size_t kTotalDigits = 6;
constexpr size_t kNameLengthDigits = 2;
constexpr size_t kMarkerDigits = 2;
constexpr size_t kIdHalfDigits = 8;
constexpr size_t kParamLengthDigits = 6;

void AppendHex(std::wstring& out, uint32_t value, size_t digits) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    for (size_t shift = digits * 4; shift > 0; shift -= 4) {
        out += kDigits[(value >> (shift - 4)) & 0xF];
    }
}

// Reads a packed text front to back and refuses, rather than guesses, at the
// first field that is not well formed or would run past its limit.
class CTextCursor {
public:
    CTextCursor(const wchar_t* text, size_t length) : m_pText(text), m_nLeft(length) {}

    // Only 0-9 and A-F: a lower-case digit is as foreign as any other letter.
    bool ReadHex(size_t digits, uint32_t* value) {
        if (m_nLeft < digits) {
            return false;
        }
        uint32_t result = 0;
        for (size_t i = 0; i < digits; ++i) {
            const wchar_t c = m_pText[i];
            uint32_t digit = 0;
            if (c >= L'0' && c <= L'9') {
                digit = c - L'0';
            } else if (c >= L'A' && c <= L'F') {
                digit = c - L'A' + 10;
            } else {
                return false;
            }
            result = (result << 4) | digit;
        }
        Skip(digits);
        *value = result;
        return true;
    }

    bool ReadText(size_t length, std::wstring* text) {
        if (m_nLeft < length) {
            return false;
        }
        text->assign(m_pText, length);
        Skip(length);
        return true;
    }

    // From here on only the characters that the total field counts are read.
    bool Limit(size_t length) {
        if (m_nLeft < length) {
            return false;
        }
        m_nLeft = length;
        return true;
    }

    size_t Left() const { return m_nLeft; }

private:
    void Skip(size_t count) {
        m_pText += count;
        m_nLeft -= count;
    }

    const wchar_t* m_pText;
    size_t m_nLeft;
};

} // namespace

CParasHelper::CParasHelper(const wchar_t* name, int id, ...) : m_nId(id) {
    if (name != nullptr) {
        m_strName = name;
    }
    va_list args;
    va_start(args, id);
    for (;;) {
        const wchar_t* param = va_arg(args, const wchar_t*);
        if (param == PARAS_END) {
            break;
        }
        m_vecParams.emplace_back(param != nullptr ? param : L"");
    }
    va_end(args);
}

CParasHelper::CParasHelper(const wchar_t* text) {
    if (text != nullptr) {
        Unpack(text, std::wcslen(text));
    }
}

CParasHelper::CParasHelper(const wchar_t* text, size_t length) {
    if (text != nullptr) {
        Unpack(text, length);
    }
}

std::wstring CParasHelper::Pack() const {
    if (m_strName.size() > kMaxName) {
        return std::wstring();
    }
    size_t total = kNameLengthDigits + m_strName.size() + kMarkerDigits + (m_nId != 0 ? 2 * kIdHalfDigits : 0);
    for (const std::wstring& param : m_vecParams) {
        // Checked one by one so the sum can never wrap.
        if (param.size() > kMaxParam) {
            return std::wstring();
        }
        total += kParamLengthDigits + param.size();
        if (total > kMaxTotal) {
            return std::wstring();
        }
    }

    std::wstring text;
    try {
        text.reserve(kTotalDigits + total);
    } catch (const std::bad_alloc&) {
        return std::wstring();
    }
    AppendHex(text, static_cast<uint32_t>(total), kTotalDigits);
    AppendHex(text, static_cast<uint32_t>(m_strName.size()), kNameLengthDigits);
    text += m_strName;
    if (m_nId != 0) {
        text += L"10";
        AppendHex(text, static_cast<uint32_t>(m_nId), kIdHalfDigits);
        text.append(kIdHalfDigits, L'0');
    } else {
        text += L"00";
    }
    for (const std::wstring& param : m_vecParams) {
        AppendHex(text, static_cast<uint32_t>(param.size()), kParamLengthDigits);
        text += param;
    }
    return text;
}

void CParasHelper::Unpack(const wchar_t* text, size_t length) {
    // Fields go into locals first: a text that fails half-way leaves the
    // message empty, never half filled.
    CTextCursor cursor(text, length);
    uint32_t total = 0;
    uint32_t nameLength = 0;
    uint32_t marker = 0;
    std::wstring name;
    if (!cursor.ReadHex(kTotalDigits, &total) || !cursor.Limit(total) ||
        !cursor.ReadHex(kNameLengthDigits, &nameLength) || !cursor.ReadText(nameLength, &name) ||
        !cursor.ReadHex(kMarkerDigits, &marker)) {
        return;
    }
    uint32_t id = 0;
    if (marker != 0) {
        // The sum of both halves, so the zeros-first form reads the same id.
        uint32_t first = 0;
        uint32_t second = 0;
        if (!cursor.ReadHex(kIdHalfDigits, &first) || !cursor.ReadHex(kIdHalfDigits, &second)) {
            return;
        }
        id = first + second;
    }
    std::vector<std::wstring> params;
    while (cursor.Left() > 0) {
        uint32_t paramLength = 0;
        std::wstring param;
        if (!cursor.ReadHex(kParamLengthDigits, &paramLength) || !cursor.ReadText(paramLength, &param)) {
            return;
        }
        params.push_back(std::move(param));
    }
    m_strName = std::move(name);
    m_nId = static_cast<int>(id);
    m_vecParams = std::move(params);
}
