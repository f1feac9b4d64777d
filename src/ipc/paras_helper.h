#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// An IPC message: a name, an optional id and text parameters, with its packed
// text form. Every length in the text counts UTF-16 code units and stands in
// a fixed-width field of upper-case hexadecimal digits:
//
//   total(6) namelen(2) name  "00" | "10" id(8) "00000000"  { paramlen(6) param }...
//
// where total counts the characters after its own field. Nothing ends the
// text but its length. One owner thread at a time; a message crosses threads
// only inside a posted window message.
class CParasHelper {
public:
    // Parameters are wide-string pointers ended by PARAS_END, not by null (a
    // null pointer stands for an empty parameter). An id of 0 means none.
    CParasHelper(const wchar_t* name, int id, ...);
    // Unpacks a zero-terminated parameter text; a null or malformed text
    // gives an empty message (no name, id 0, no parameters).
    explicit CParasHelper(const wchar_t* text);
    // Unpacks from exactly length characters; needs no terminating zero and
    // never reads beyond them. Pass the length as a size_t: with an int the
    // message constructor above is the better match, and it then reads a
    // parameter list that is not there.
    CParasHelper(const wchar_t* text, size_t length);
    virtual ~CParasHelper() = default;

    // The packed text; empty when a field would not fit its width (a name
    // over 255, a parameter or the total over 16,777,215 characters), so a
    // corrupt length field never goes out.
    std::wstring Pack() const;

    // No name, no id and no parameters: what a malformed text unpacks to.
    bool IsEmpty() const { return m_strName.empty() && m_nId == 0 && m_vecParams.empty(); }

    int m_nId = 0;
    std::wstring m_strName;
    std::vector<std::wstring> m_vecParams;

    static constexpr size_t kMaxName = 0xFF;
    static constexpr size_t kMaxParam = 0xFFFFFF;
    static constexpr size_t kMaxTotal = 0xFFFFFF;

private:
    void Unpack(const wchar_t* text, size_t length);
};

// The parameter terminator of the variadic constructor.
#define PARAS_END (reinterpret_cast<const wchar_t*>(static_cast<intptr_t>(-1)))
