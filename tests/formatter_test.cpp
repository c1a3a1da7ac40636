// The runtime's bounded formatter _vsnprintf, which every diagnostic line goes through: how it
// cuts, when it terminates, what it returns, and how it prints pointers.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/windows_api.h"

namespace {

constexpr char kUntouched = '#';

int Format(char* pBuffer, size_t nCount, const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    int nResult = _vsnprintf(pBuffer, nCount, szFormat, args);
    va_end(args);
    return nResult;
}

// The digits the runtime prints for an address: upper-case, one per nibble of a pointer.
std::string PointerDigits(uintptr_t nValue) {
    std::string digits;
    for (int nShift = static_cast<int>(8 * sizeof(void*)) - 4; nShift >= 0; nShift -= 4) {
        digits.push_back("0123456789ABCDEF"[(nValue >> nShift) & 0xF]);
    }
    return digits;
}

struct SBoundCase {
    size_t nCount;
    int nExpectedResult;
    const char* szExpectedBytes;  // the first bytes of the buffer, terminator included if written
};

class FormatterBounds : public testing::TestWithParam<SBoundCase> {};

// "abc42" is five characters long.
TEST_P(FormatterBounds, WritesAtMostCountAndTerminatesOnlyWhenShorter) {
    const SBoundCase& c = GetParam();
    char szBuffer[16];
    memset(szBuffer, kUntouched, sizeof(szBuffer));
    int nResult = Format(szBuffer, c.nCount, "abc%d", 42);
    EXPECT_EQ(nResult, c.nExpectedResult);
    size_t nExpected = strlen(c.szExpectedBytes);
    bool bTerminated = nResult >= 0 && static_cast<size_t>(nResult) < c.nCount;
    EXPECT_EQ(std::string(szBuffer, nExpected), c.szExpectedBytes);
    if (bTerminated) {
        EXPECT_EQ(szBuffer[nExpected], '\0');
        EXPECT_EQ(szBuffer[nExpected + 1], kUntouched);
    } else {
        EXPECT_EQ(szBuffer[nExpected], kUntouched) << "nothing may be written past count";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FormatterBounds,
                         testing::Values(SBoundCase{16, 5, "abc42"},  // room to spare
                                         SBoundCase{6, 5, "abc42"},   // room for the terminator
                                         SBoundCase{5, 5, "abc42"},   // exact fit: no terminator
                                         SBoundCase{4, -1, "abc4"},   // cut
                                         SBoundCase{1, -1, "a"},      // cut to one character
                                         SBoundCase{0, -1, ""}));     // no room at all

TEST(Formatter, EmptyTextFitsIntoNoRoom) {
    char szBuffer[4];
    memset(szBuffer, kUntouched, sizeof(szBuffer));
    EXPECT_EQ(Format(szBuffer, 0, "%s", ""), 0);
    EXPECT_EQ(szBuffer[0], kUntouched);
}

// Without a buffer and without room the text is measured, not refused.
TEST(Formatter, NullBufferWithoutRoomMeasuresTheText) {
    EXPECT_EQ(Format(nullptr, 0, "abc%d", 42), 5);
    EXPECT_EQ(Format(nullptr, 0, "%s|%p", "hello", nullptr),
              static_cast<int>(6 + 2 * sizeof(void*)));
    EXPECT_EQ(Format(nullptr, 0, "%s", ""), 0);
}

TEST(Formatter, PointerIsUpperCaseHexPaddedToPointerWidth) {
    struct SCase {
        uintptr_t nValue;
    } cases[] = {{0}, {0x1234abcd}, {static_cast<uintptr_t>(-1)}, {0xa}};
    for (const SCase& c : cases) {
        char szBuffer[64];
        int nResult = Format(szBuffer, sizeof(szBuffer), "[%p]", reinterpret_cast<void*>(c.nValue));
        std::string expected = "[" + PointerDigits(c.nValue) + "]";
        EXPECT_EQ(szBuffer, expected);
        EXPECT_EQ(nResult, static_cast<int>(expected.size()));
        EXPECT_EQ(expected.size(), 2 + 2 * sizeof(void*));
    }
}

TEST(Formatter, PointerFieldWidthAlignsWithBlanks) {
    char szBuffer[64];
    void* pValue = reinterpret_cast<void*>(static_cast<uintptr_t>(0xBEEF));
    std::string digits = PointerDigits(0xBEEF);
    std::string padding(30 - digits.size(), ' ');
    Format(szBuffer, sizeof(szBuffer), "%30p|", pValue);
    EXPECT_EQ(std::string(szBuffer), padding + digits + "|");
    Format(szBuffer, sizeof(szBuffer), "%-30p|", pValue);
    EXPECT_EQ(std::string(szBuffer), digits + padding + "|");
}

// The conversions the module's lines use, and the argument list read at the right types even
// when a pointer sits between integers of other widths.
TEST(Formatter, ConversionsReadEachArgumentAtItsType) {
    struct SCase {
        std::string expected;
        std::string actual;
    };
    char szBuffer[128];
    void* pValue = reinterpret_cast<void*>(static_cast<uintptr_t>(0x10));
    std::vector<SCase> cases;
    Format(szBuffer, sizeof(szBuffer), "Mirel[Error]: ComponentID=%d CreatorID=%u", -12,
           3000000000u);
    cases.push_back({"Mirel[Error]: ComponentID=-12 CreatorID=3000000000", szBuffer});
    Format(szBuffer, sizeof(szBuffer), "ComponentID:0x%08x Pointer:0x%p", 795, pValue);
    cases.push_back({"ComponentID:0x0000031b Pointer:0x" + PointerDigits(0x10), szBuffer});
    Format(szBuffer, sizeof(szBuffer), "%c%p%d %s", 'a', pValue, 7, "tail");
    cases.push_back({"a" + PointerDigits(0x10) + "7 tail", szBuffer});
    Format(szBuffer, sizeof(szBuffer), "%*d|%-4s|%.2s|%6.2f|%%", 5, 42, "ab", "xyz", 2.5);
    cases.push_back({"   42|ab  |xy|  2.50|%", szBuffer});
    Format(szBuffer, sizeof(szBuffer), "%lld %I64d %u", -5000000000LL, 6000000000LL, 1u);
    cases.push_back({"-5000000000 6000000000 1", szBuffer});
    // Short conversions narrow what was passed as an int; long ones read a long.
    Format(szBuffer, sizeof(szBuffer), "%hd %hu %hx %ld %lu %lx", 70000, 70000, 0x12345, -7L,
           4000000000UL, 0xABCDUL);
    cases.push_back({"4464 4464 2345 -7 4000000000 abcd", szBuffer});
    for (const SCase& c : cases) {
        EXPECT_EQ(c.actual, c.expected);
    }
}

// A diagnostic line is formatted into 1023 characters of a zeroed 1024-byte buffer; a longer
// text fills them exactly and the last byte, untouched, terminates it.
TEST(Formatter, LongTextFillsTheWholeCount) {
    std::string text(3000, 'x');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    char szBuffer[1024] = {0};
    EXPECT_EQ(Format(szBuffer, 1023, "%s%s", "L:", text.c_str()), -1);
    EXPECT_EQ(strlen(szBuffer), 1023u);
    EXPECT_EQ(std::string(szBuffer), ("L:" + text).substr(0, 1023));
}

}  // namespace
