#pragma once

#include <string>
#include <vector>

// An IPC message: a name, an optional id and text parameters, with its packed
// text form (fixed-width upper-case hexadecimal lengths, see Pack). One
// owner thread at a time.
class CParasHelper {
public:
    // Parameters are wide-string pointers ended by (const wchar_t*)-1, not by null.
    CParasHelper(const wchar_t* name, int id, ...);
    // Unpacks a parameter text; a null or malformed text gives an empty message.
    explicit CParasHelper(const wchar_t* text);
    // Unpacks exactly length characters; the text needs no terminating zero.
    CParasHelper(const wchar_t* text, size_t length);
    virtual ~CParasHelper() = default;

    // The packed text; empty when a field would not fit its width (a name
    // over 255, a parameter or total over 16,777,215 characters).
    std::wstring Pack() const;

    int m_nId = 0;
    std::wstring m_strName;
    std::vector<std::wstring> m_vecParams;

private:
    void Unpack(const wchar_t* text, size_t length);
};

// The parameter terminator of the variadic constructor.
#define PARAS_END (reinterpret_cast<const wchar_t*>(static_cast<intptr_t>(-1)))
