#pragma once

#include <string>

// A typed value of an IPC message field, turned into its parameter text and
// back. Plain values: one owner thread at a time.
template <typename T>
class CLASS_DATATYPE_BASE {
public:
    virtual std::wstring ToString() const = 0;
    virtual void FromString(const std::wstring& text) = 0;

    T m_value{};

protected:
    // Never deleted through the base: messages hold their fields by value.
    ~CLASS_DATATYPE_BASE() = default;
};

// Signed 32-bit decimal: a minus sign for negative values, no fill; read back
// as wcstol with base 10 reads it (leading blanks, a sign, digits up to the
// first other character; no digits gives 0, overflow gives the nearest limit).
class CLASS_DATATYPE_BASE_Long : public CLASS_DATATYPE_BASE<long> {
public:
    std::wstring ToString() const override;
    void FromString(const std::wstring& text) override;
};

// The names tell a field's type; both convert as signed 32-bit values, so a
// C_DWORD holding 0xFFFFFFFF reads "-1".
class C_DWORD : public CLASS_DATATYPE_BASE_Long {};
class C_int : public CLASS_DATATYPE_BASE_Long {};
