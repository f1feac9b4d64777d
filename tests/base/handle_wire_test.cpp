#include "base/handle_wire.h"

#include <cstdint>

#include <gtest/gtest.h>

namespace {

intptr_t Bits(const void* handle) {
    return reinterpret_cast<intptr_t>(handle);
}

} // namespace

// What a 32-bit process writes must come back as the same 32 bits, and a
// handle read off the wire must be what Windows itself would make of it.
TEST(HandleWireTest, WireValuesRoundTripOnEveryWidth) {
    for (uint32_t value : {0u, 1u, 0x1234u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        EXPECT_EQ(base::HandleToWire(base::HandleFromWire(value)), value) << value;
        EXPECT_EQ(base::HandleToWire(base::WindowFromWire(value)), value) << value;
    }
}

TEST(HandleWireTest, HighValuesAreSignExtendedAsWindowsDoes) {
    // On x86-64 a zero-extended 0xFFFFFFFE would be a different handle from
    // the -2 that Windows hands a 64-bit process for it.
    EXPECT_EQ(Bits(base::HandleFromWire(0xFFFFFFFEu)), -2);
    EXPECT_EQ(Bits(base::HandleFromWire(0x80000000u)), static_cast<intptr_t>(INT32_MIN));
    EXPECT_EQ(Bits(base::HandleFromWire(0x7FFFFFFFu)), 0x7FFFFFFF);
    EXPECT_EQ(base::HandleFromWire(0), nullptr);
}

TEST(HandleWireTest, MessageParametersCountOnlyTheirLow32Bits) {
    // A 32-bit sender's wParam reaches a 64-bit window zero-extended.
    const WPARAM fromNarrowSender = static_cast<WPARAM>(0xFFFFFFF0u);
    EXPECT_EQ(Bits(base::HandleFromParam(fromNarrowSender)), -16);
    EXPECT_EQ(base::HandleToParam(base::HandleFromParam(fromNarrowSender)), fromNarrowSender);
    EXPECT_EQ(Bits(base::HandleFromParam(static_cast<WPARAM>(0x1A4))), 0x1A4);
}

TEST(HandleWireTest, DecimalFormIsSigned) {
    EXPECT_EQ(base::HandleToDecimal(nullptr), L"0");
    EXPECT_EQ(base::HandleToDecimal(base::HandleFromWire(0x10064u)), L"65636");
    EXPECT_EQ(base::HandleToDecimal(base::HandleFromWire(0xFFFFFFFEu)), L"-2");
    EXPECT_EQ(base::HandleToDecimal(base::HandleFromWire(0x80000000u)), L"-2147483648");
    EXPECT_EQ(base::WindowFromDecimalOption(-2), base::WindowFromWire(0xFFFFFFFEu));
    EXPECT_EQ(base::WindowFromDecimalOption(INT32_MIN), base::WindowFromWire(0x80000000u));
}

TEST(HandleWireTest, RealWindowSurvivesTheWire) {
    const HWND hWnd = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(hWnd, nullptr);
    EXPECT_EQ(base::WindowFromWire(base::HandleToWire(hWnd)), hWnd);
    EXPECT_TRUE(::IsWindow(base::WindowFromWire(base::HandleToWire(hWnd))));
    ::DestroyWindow(hWnd);
}
