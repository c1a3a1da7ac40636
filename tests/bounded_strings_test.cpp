// The bounded copy, append and format routines and their wrappers: result codes, what is written
// and, above all, what is left untouched when a routine refuses.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "base/bounded_strings.h"

namespace {

// A destination with room to spare: bytes beyond the size a routine is given must never change.
struct Buffer {
    explicit Buffer(const char* szStart) {
        memset(m_ach, '#', sizeof(m_ach));
        if (szStart != nullptr) {
            memcpy(m_ach, szStart, strlen(szStart) + 1);
        }
        memcpy(m_achBefore, m_ach, sizeof(m_ach));
    }
    std::string Text() const { return std::string(m_ach, strnlen(m_ach, sizeof(m_ach))); }
    // True when every byte from nFrom on is as it was before the call.
    bool UntouchedFrom(int nFrom) const {
        return memcmp(m_ach + nFrom, m_achBefore + nFrom, sizeof(m_ach) - nFrom) == 0;
    }
    char m_ach[32];
    char m_achBefore[32];
};

struct CopyCase {
    const char* szLabel;
    const char* szDestBefore;  // null: a null destination
    int nSize;
    const char* szSource;
    int nExpected;
    const char* szDestAfter;
};

void RunCopyCases(int (*pfnCopy)(char*, int, const char*), const CopyCase* pCases, size_t nCases) {
    for (size_t i = 0; i < nCases; ++i) {
        const CopyCase& c = pCases[i];
        SCOPED_TRACE(c.szLabel);
        Buffer dest(c.szDestBefore);
        if (c.szDestBefore == nullptr) {
            EXPECT_EQ(c.nExpected, pfnCopy(nullptr, c.nSize, c.szSource));
            continue;
        }
        EXPECT_EQ(c.nExpected, pfnCopy(dest.m_ach, c.nSize, c.szSource));
        EXPECT_EQ(c.szDestAfter, dest.Text());
        EXPECT_TRUE(dest.UntouchedFrom(c.nSize > 0 ? c.nSize : 4));
    }
}

TEST(SafeCopy, CodesAndDestination) {
    const CopyCase cases[] = {
        {"null source, size 0", "old", 0, nullptr, kSafeTooLarge, "old"},
        {"null source, size 5", "old", 5, nullptr, kSafeInvalid, "old"},
        {"null destination", nullptr, 5, "ab", kSafeInvalid, nullptr},
        {"negative size", "old", -1, "ab", kSafeInvalid, "old"},
        {"size 0", "old", 0, "ab", kSafeTooLarge, "old"},
        {"4 characters into 5 bytes", "old", 5, "abcd", kSafeOk, "abcd"},
        {"5 characters into 5 bytes", "old", 5, "abcde", kSafeTooLarge, "old"},
        {"empty source", "old", 1, "", kSafeOk, ""},
    };
    RunCopyCases(SafeCopy, cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(SafeConcat, CodesAndDestination) {
    const CopyCase cases[] = {
        {"2 onto 2 in 5 bytes", "ab", 5, "cd", kSafeOk, "abcd"},
        {"2 onto 2 in 4 bytes", "ab", 4, "cd", kSafeTooLarge, "ab"},
        {"null source, size 0", "ab", 0, nullptr, kSafeTooLarge, "ab"},
        {"null source, size 5", "ab", 5, nullptr, kSafeInvalid, "ab"},
        {"null destination", nullptr, 5, "cd", kSafeInvalid, nullptr},
        {"empty onto empty", "", 1, "", kSafeOk, ""},
        // A destination not terminated within its size counts as full.
        {"unterminated destination", "abcdefgh", 4, "x", kSafeTooLarge, "abcdefgh"},
    };
    RunCopyCases(SafeConcat, cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(SafeCopyN, CodesAndDestination) {
    struct Case {
        const char* szLabel;
        int nSize;
        const char* szSource;
        int nCount;
        int nExpected;
        const char* szDestAfter;
    } const cases[] = {
        {"count equal to size empties", 5, "abcdef", 5, kSafeInvalid, ""},
        {"count one below size", 5, "abcdef", 4, kSafeOk, "abcd"},
        {"count 0", 5, "abcdef", 0, kSafeInvalid, "old"},
        {"negative count", 5, "abcdef", -1, kSafeInvalid, "old"},
        {"null source", 5, nullptr, 2, kSafeInvalid, "old"},
        {"size 0", 0, "abc", 2, kSafeInvalid, "old"},
        {"shorter source", 8, "ab", 4, kSafeOk, "ab"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szLabel);
        Buffer dest("old");
        EXPECT_EQ(c.nExpected, SafeCopyN(dest.m_ach, c.nSize, c.szSource, c.nCount));
        EXPECT_EQ(c.szDestAfter, dest.Text());
        EXPECT_TRUE(dest.UntouchedFrom(c.nSize > 0 ? c.nSize : 4));
    }
}

TEST(SafeCopyN, ZeroFillsTheRestOfTheCount) {
    Buffer dest("xxxxxxx");
    ASSERT_EQ(kSafeOk, SafeCopyN(dest.m_ach, 8, "ab", 5));
    EXPECT_EQ(0, memcmp(dest.m_ach, "ab\0\0\0\0", 6));
    EXPECT_EQ('x', dest.m_ach[6]);
}

int FormatThroughTable(char* szBuffer, int nSize, int nCount, const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    int nResult = SafeStringRoutines.pfnSafeFormatV(szBuffer, nSize, nCount, szFormat, &args);
    va_end(args);
    return nResult;
}

TEST(SafeFormatV, CutsTerminatesAndRefuses) {
    struct Case {
        const char* szLabel;
        int nSize;
        int nCount;
        const char* szFormat;
        const char* szText;
        int nExpected;  // 1 stands for "negative"
        const char* szAfter;
    } const cases[] = {
        {"10 characters into 8 bytes", 8, -1, "%s", "0123456789", 1, "0123456"},
        {"count above the room", 8, 50, "%s", "0123456789", 1, "0123456"},
        {"count below the room", 8, 3, "%s", "abcdef", 1, "abc"},
        {"exactly fills the count", 8, 3, "%s", "abc", 3, "abc"},
        {"fits", 8, -1, "%s", "abc", 3, "abc"},
        {"count 0", 8, 0, "%s", "abc", -1, "old"},
        {"count -2", 8, -2, "%s", "abc", -1, "old"},
        {"size 0", 0, -1, "%s", "abc", -1, "old"},
        {"null format", 8, -1, nullptr, "abc", -1, "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szLabel);
        Buffer buffer("old");
        int nResult = FormatThroughTable(buffer.m_ach, c.nSize, c.nCount, c.szFormat, c.szText);
        if (c.nExpected == 1) {
            EXPECT_LT(nResult, 0);
        } else {
            EXPECT_EQ(c.nExpected, nResult);
        }
        EXPECT_EQ(c.szAfter, buffer.Text());
        EXPECT_TRUE(buffer.UntouchedFrom(c.nSize > 0 ? c.nSize : 4));
    }
}

TEST(SafeFormatV, RefusesAMissingArgumentList) {
    Buffer buffer("old");
    EXPECT_EQ(-1, SafeFormatV(buffer.m_ach, 8, -1, "abc", nullptr));
    EXPECT_EQ("old", buffer.Text());
}

TEST(FormatBounded, LimitIsTheSmallerOfRoomAndCount) {
    struct Case {
        const char* szLabel;
        int nSize;
        int nCount;
        int nExpected;  // 1 stands for "negative"
        const char* szAfter;
    } const cases[] = {
        {"count -1 is refused", 8, -1, -1, "old"}, {"count 0 is refused", 8, 0, -1, "old"},
        {"size 0 is refused", 0, 5, -1, "old"},    {"room is smaller", 8, 100, 1, "0123456"},
        {"count is smaller", 8, 3, 1, "012"},      {"fits", 20, 19, 10, "0123456789"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szLabel);
        Buffer buffer("old");
        int nResult = FormatBounded(buffer.m_ach, c.nSize, c.nCount, "%d%s", 0, "123456789");
        if (c.nExpected == 1) {
            EXPECT_LT(nResult, 0);
        } else {
            EXPECT_EQ(c.nExpected, nResult);
        }
        EXPECT_EQ(c.szAfter, buffer.Text());
        EXPECT_TRUE(buffer.UntouchedFrom(c.nSize > 0 ? c.nSize : 4));
    }
}

TEST(IsShorterThan, ComparesTheLengthUnsigned) {
    EXPECT_EQ(0, IsShorterThan(nullptr, 10));
    EXPECT_EQ(1, IsShorterThan("abc", 4));
    EXPECT_EQ(0, IsShorterThan("abc", 3));
    EXPECT_EQ(0, IsShorterThan("", 0));
    // A size of -1 handed over as a limit becomes the largest unsigned value.
    EXPECT_EQ(1, IsShorterThan("abc", static_cast<uint32_t>(-1)));
}

TEST(CopyIfFits, DoneOrUntouched) {
    const CopyCase cases[] = {
        {"fits", "old", 5, "abcd", 1, "abcd"},
        {"one too long", "old", 5, "abcde", 0, "old"},
        {"null source", "old", 5, nullptr, 0, "old"},
        {"null destination", nullptr, 5, "ab", 0, nullptr},
        {"size 0", "old", 0, "", 0, "old"},
        {"negative size", "old", -3, "ab", 0, "old"},
    };
    RunCopyCases(CopyIfFits, cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(AppendIfFits, DoneOrUntouched) {
    const CopyCase cases[] = {
        {"lengths add up to size - 1", "ab", 5, "cd", 1, "abcd"},
        {"lengths add up to size", "ab", 4, "cd", 0, "ab"},
        {"empty source", "ab", 3, "", 1, "ab"},
        {"null source", "ab", 5, nullptr, 0, "ab"},
        {"size 0", "ab", 0, "c", 0, "ab"},
        {"unterminated destination", "abcdefgh", 4, "", 0, "abcdefgh"},
    };
    RunCopyCases(AppendIfFits, cases, sizeof(cases) / sizeof(cases[0]));
}

TEST(CopyPrefix, DoneOrUntouched) {
    struct Case {
        const char* szLabel;
        int nSize;
        const char* szSource;
        int nLength;
        int nExpected;
        const char* szAfter;
    } const cases[] = {
        {"size equal to length", 4, "abcdef", 4, 0, "old"},
        {"size one above length", 5, "abcdef", 4, 1, "abcd"},
        {"shorter source", 8, "ab", 4, 1, "ab"},
        {"length 0", 8, "abc", 0, 0, "old"},
        {"null source", 8, nullptr, 2, 0, "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szLabel);
        Buffer dest("old");
        EXPECT_EQ(c.nExpected, CopyPrefix(dest.m_ach, c.nSize, c.szSource, c.nLength));
        EXPECT_EQ(c.szAfter, dest.Text());
        EXPECT_TRUE(dest.UntouchedFrom(c.nSize));
    }
}

// The wrappers reach the bounded routines only through the table, so replacing an entry must
// reroute them.
int g_nTableCalls = 0;
int CountingCopy(char* szDest, int nSize, const char* szSource) {
    ++g_nTableCalls;
    return SafeCopy(szDest, nSize, szSource);
}
int CountingConcat(char* szDest, int nSize, const char* szSource) {
    ++g_nTableCalls;
    return SafeConcat(szDest, nSize, szSource);
}
int CountingCopyN(char* szDest, int nSize, const char* szSource, int nCount) {
    ++g_nTableCalls;
    return SafeCopyN(szDest, nSize, szSource, nCount);
}

TEST(SafeStringRoutines, WrappersCallThroughTheTable) {
    const SafeStringRoutineTable saved = SafeStringRoutines;
    EXPECT_EQ(&SafeFormatV, saved.pfnSafeFormatV);
    EXPECT_EQ(&SafeConcat, saved.pfnSafeConcat);
    EXPECT_EQ(&SafeCopyN, saved.pfnSafeCopyN);
    EXPECT_EQ(&SafeCopy, saved.pfnSafeCopy);

    SafeStringRoutines.pfnSafeCopy = CountingCopy;
    SafeStringRoutines.pfnSafeConcat = CountingConcat;
    SafeStringRoutines.pfnSafeCopyN = CountingCopyN;
    char szDest[16] = {0};
    g_nTableCalls = 0;
    EXPECT_EQ(1, CopyIfFits(szDest, sizeof(szDest), "ab"));
    EXPECT_EQ(1, g_nTableCalls);
    EXPECT_EQ(1, AppendIfFits(szDest, sizeof(szDest), "cd"));
    EXPECT_EQ(2, g_nTableCalls);
    EXPECT_EQ(1, CopyPrefix(szDest, sizeof(szDest), "efgh", 2));
    EXPECT_EQ(3, g_nTableCalls);
    EXPECT_STREQ("ef", szDest);
    SafeStringRoutines = saved;
}

}  // namespace
